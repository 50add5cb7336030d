#!/usr/bin/env bash
# Runs a command on this machine as if some libraries were installed:
#
#   examples/with_libraries.sh LIBDIR COMMAND [ARG...]
#
# Every file of LIBDIR appears under /lib64, and LIBDIR/owners (lines
# "FILE PACKAGE") makes those packages own them in dpkg's file lists. The
# machine's own shared libraries from its multiarch directories
# (/lib/x86_64-linux-gnu, ...) appear in /lib64 as well, which is where the
# RPM-based target distribution keeps them. It all happens in a private mount
# namespace (root, `unshare -m`): a directory
# holding this machine's own /lib64 entries (the dynamic loader among them; an
# empty /lib64 would break every program) plus the libraries is bind-mounted
# over /lib64, and the same for /var/lib/dpkg/info. Nothing outside the
# namespace changes; the mounts vanish with it.
set -euo pipefail
if [ $# -lt 2 ]; then
    echo "usage: $0 LIBDIR COMMAND [ARG...]" >&2
    exit 2
fi
libdir="$(realpath "$1")"
shift
if [ -z "${VARKIT_PRIVATE_MOUNTS:-}" ]; then
    exec env VARKIT_PRIVATE_MOUNTS=1 unshare -m --propagation private "$0" "$libdir" "$@"
fi

scratch="$(mktemp -d)"
mkdir "$scratch/lib64"
cp -a /lib64/. "$scratch/lib64/"
find "$libdir" -maxdepth 1 -type f ! -name owners -exec cp {} "$scratch/lib64/" \;
for multiarch in /lib/*-linux-gnu*/; do
    [ -d "$multiarch" ] || continue
    for library in "$multiarch"*.so*; do
        # A directory without libraries (a cross toolchain's) leaves the pattern as is.
        [ -e "$library" ] || continue
        [ -e "$scratch/lib64/${library##*/}" ] || ln -s "$library" "$scratch/lib64/"
    done
done
mount --bind "$scratch/lib64" /lib64

if [ -d /var/lib/dpkg/info ] && [ -f "$libdir/owners" ]; then
    # Copies, not links: a link into /var/lib/dpkg/info would point into the
    # mount that hides it.
    mkdir "$scratch/dpkg-info"
    find /var/lib/dpkg/info -maxdepth 1 -name '*.list' -exec cp -t "$scratch/dpkg-info/" {} +
    while read -r file package; do
        [ -n "$file" ] || continue
        printf '/lib64/%s\n/usr/lib64/%s\n' "$file" "$file" >> "$scratch/dpkg-info/$package.list"
    done < "$libdir/owners"
    mount --bind "$scratch/dpkg-info" /var/lib/dpkg/info
fi

status=0
"$@" || status=$?
umount /var/lib/dpkg/info 2>/dev/null || true
umount /lib64
rm -rf "$scratch"
exit "$status"
