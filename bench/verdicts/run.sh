#!/usr/bin/env bash
# Verdicts of the ABI check against Debian's abicompat on a corpus of real
# library version pairs (see corpus.py); prints the agreement table.
#
#   bench/verdicts/run.sh [OUT]        (default: bench/out/verdicts; root: it
#                                       installs the old libraries in a private
#                                       mount namespace through examples/with_libraries.sh)
#
# Needs gcc, g++, abi-compliance-checker and abicompat (abigail-tools).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
out="$(realpath -m "${1:-$root/bench/out/verdicts}")"
python="${PYTHON:-$root/.venv/bin/python}"
for tool in gcc g++ c++filt readelf abi-compliance-checker abicompat unshare; do
    command -v "$tool" >/dev/null || { echo "$0: $tool is missing" >&2; exit 2; }
done
# Start afresh, but never empty a directory this script did not make.
if [ -e "$out" ]; then
    [ -e "$out/.verdicts-out" ] || { echo "$0: $out exists and is not an output of this script" >&2; exit 2; }
    rm -rf "$out"
fi
mkdir -p "$out"
touch "$out/.verdicts-out"
PYTHON="$python" exec "$python" "$here/harness.py" run "$out"
