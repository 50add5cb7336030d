#!/usr/bin/env bash
# The impact check on the bundled example, end to end:
#
#   1. build the example libraries (1.0 and 2.0) and the user's programs,
#      linked against 1.0 as on a machine before the upgrade;
#   2. check those programs against the committed result tree of the upgrade
#      check (examples/results), first as a local directory, then served over
#      HTTP on 127.0.0.1.
#
# The check finds the libraries a program requires where the system installs
# them, under /lib64 and /lib. The demo shows that without writing into this
# machine's /lib64: with_libraries.sh installs the example libraries in a
# private mount namespace (root, `unshare -m`) for the duration of the demo.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/.." && pwd)"
build="$(realpath -m "${BUILD:-$root/build/examples}")"
varkit="${VARKIT:-$root/.venv/bin/varkit}"
python="${PYTHON:-$root/.venv/bin/python}"
apps="$build/apps"

if [ -z "${VARKIT_PRIVATE_MOUNTS:-}" ]; then
    "$here/build_example.sh" "$build"
    exec env BUILD="$build" "$here/with_libraries.sh" "$build/installed" "$0" "$@"
fi
trap 'kill "${server:-0}" 2>/dev/null || true' EXIT

show() {
    printf '\n$ %s\n' "$*"
    local status=0 meaning=()
    "$@" || status=$?
    if [ "$status" = 0 ]; then meaning=("nothing affected")
    elif [ "$status" = 2 ]; then meaning=("usage error")
    else
        (( status & 8 )) && meaning+=("affected")
        (( status & 4 )) && meaning+=("maybe affected")
        (( status & 1 )) && meaning+=("not checked or failed")
    fi
    printf '(exit status %s: %s)\n' "$status" "$(IFS=,; echo "${meaning[*]}")"
}

echo "== ABI check of the user's programs against a local result tree"
show "$varkit" --checkabi --with-symbol --search-local "$here/results" --check-local "$apps" --format table

echo
echo "== the same tree served over HTTP: the clean program alone, then the executable check of a script"
port="$("$python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
"$python" -m http.server --bind 127.0.0.1 --directory "$here/results" "$port" >/dev/null 2>&1 &
server=$!
for _ in $(seq 50); do
    "$python" -c "import socket; socket.create_connection(('127.0.0.1', $port), 0.2)" 2>/dev/null && break
    sleep 0.1
done
url="http://127.0.0.1:$port/"
show "$varkit" --checkabi --with-symbol --search-remote "$url" --check-local "$apps/tallyapp"
show "$varkit" --checkexec --search-remote "$url" --check-local "$apps/greet-report.sh" --format table
