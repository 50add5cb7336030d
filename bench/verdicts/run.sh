#!/usr/bin/env bash
# Verdicts of the ABI check against Debian's abicompat on a corpus of real
# library version pairs (see corpus.py); prints the agreement table.
#
#   bench/verdicts/run.sh [OUT]        (default: bench/out/verdicts[-ARCH]; root: it
#                                       installs the old libraries in a private
#                                       mount namespace through examples/with_libraries.sh)
#
# VERDICT_ARCH=aarch64 builds the corpus for AArch64 (clang, Debian's cross
# libc and binutils) and runs the programs under qemu-user.
#
# Needs gcc, g++, abi-compliance-checker and abicompat (abigail-tools).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
arch="${VERDICT_ARCH:-x86_64}"
suffix=""; [ "$arch" = x86_64 ] || suffix="-$arch"
out="$(realpath -m "${1:-$root/bench/out/verdicts$suffix}")"
python="${PYTHON:-$root/.venv/bin/python}"
tools="gcc g++ c++filt readelf abi-compliance-checker abicompat unshare"
[ "$arch" = x86_64 ] || tools="$tools clang clang++ $arch-linux-gnu-readelf qemu-$arch abi-dumper"
for tool in $tools; do
    command -v "$tool" >/dev/null || { echo "$0: $tool is missing" >&2; exit 2; }
done
# Start afresh, but never empty a directory this script did not make.
if [ -e "$out" ]; then
    [ -e "$out/.verdicts-out" ] || { echo "$0: $out exists and is not an output of this script" >&2; exit 2; }
    rm -rf "$out"
fi
mkdir -p "$out"
touch "$out/.verdicts-out"
VERDICT_ARCH="$arch" PYTHON="$python" exec "$python" "$here/harness.py" run "$out"
