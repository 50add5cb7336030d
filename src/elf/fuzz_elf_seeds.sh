#!/bin/sh
# Seeds for fuzz_elf in DIR: a library and a user of it (DT_NEEDED, RUNPATH, a
# copied variable) for each machine clang and lld can link, and /bin/true.
#   src/elf/fuzz_elf_seeds.sh DIR
set -eu
dir=$1
mkdir -p "$dir"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf 'int dep_value;\nint dep(void) { return 2; }\n' > "$work/dep.c"
printf 'extern int dep_value;\nint dep(void);\nint use(void) { return dep() + dep_value; }\n' > "$work/use.c"
for target in x86_64-linux-gnu i386-linux-gnu aarch64-linux-gnu arm-linux-gnueabihf \
  powerpc64-linux-gnu powerpc64le-linux-gnu mips-linux-gnu mips64-linux-gnuabi64 riscv64-linux-gnu; do
  link="clang --target=$target -fPIC -shared -nostdlib -fuse-ld=lld"
  $link -Wl,-soname,libdep.so.1 -o "$dir/libdep-$target.so" "$work/dep.c"
  $link -Wl,-soname,libuse.so.1 -Wl,--enable-new-dtags,-rpath,'$ORIGIN' \
    -o "$dir/libuse-$target.so" "$work/use.c" "$dir/libdep-$target.so"
done
cp /bin/true "$dir/true"
