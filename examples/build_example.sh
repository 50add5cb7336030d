#!/usr/bin/env bash
# Builds the example libraries in both versions and the user programs against
# version 1.0, as an administrator's machine holds them before the upgrade.
#
#   examples/build_example.sh [BUILD_DIR]      (default: build/examples)
#
# BUILD_DIR/lib/<name>/<version>/   headers, the library, a descriptor for the ABI checker
# BUILD_DIR/installed/              the libraries as installed before the upgrade (1.0),
#                                   with the packages owning them (for with_libraries.sh)
# BUILD_DIR/apps/                   the user's programs and scripts
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(realpath -m "${1:-$here/../build/examples}")"

# name  source  soname(1.0)  soname(2.0)  compiler
LIBRARIES=(
  "libgreet greet.c libgreet.so.1 libgreet.so.1 gcc"
  "libtally tally.cpp libtally.so.1 libtally.so.1 g++"
  "libfmtx fmtx.c libfmtx.so.1 libfmtx.so.2 gcc"
)

build_library() {  # name version source soname compiler
    local out="$build/lib/$1/$2"
    mkdir -p "$out"
    cp "$here/src/$1/$2"/*.h "$out/"
    "$5" -g -Og -shared -fPIC -Wl,-soname,"$4" -o "$out/$4" "$here/src/$1/$2/$3"
    printf '<version>%s</version>\n<headers>%s</headers>\n<libs>%s</libs>\n' \
        "$2" "$out" "$out/$4" > "$out/descriptor.xml"
}

for entry in "${LIBRARIES[@]}"; do
    read -r name source old_soname new_soname compiler <<<"$entry"
    build_library "$name" 1.0 "$source" "$old_soname" "$compiler"
    build_library "$name" 2.0 "$source" "$new_soname" "$compiler"
done

installed="$build/installed"
rm -rf "$installed"
mkdir -p "$installed"
for entry in "${LIBRARIES[@]}"; do
    read -r name _ old_soname _ <<<"$entry"
    cp "$build/lib/$name/1.0/$old_soname" "$installed/"
    echo "$old_soname $name" >> "$installed/owners"
done

apps="$build/apps"
mkdir -p "$apps"
old="$build/lib"
gcc -o "$apps/greeter" "$here/src/apps/greeter.c" -I"$old/libgreet/1.0" "$old/libgreet/1.0/libgreet.so.1"
g++ -o "$apps/tallyapp" "$here/src/apps/tallyapp.cpp" -I"$old/libtally/1.0" "$old/libtally/1.0/libtally.so.1"
gcc -o "$apps/hexdump" "$here/src/apps/hexdump.c" -I"$old/libfmtx/1.0" "$old/libfmtx/1.0/libfmtx.so.1"
cp "$here/src/apps/greet-report.sh" "$apps/"
