#!/usr/bin/env bash
# Writes the result tree an upgrade check of the example libraries leaves
# behind: one ABI compliance report per library (written by Debian's
# abi-compliance-checker), the summary log, the configuration diff and the
# executable-diff report.
#
#   examples/make_results.sh [BUILD_DIR]      (default: build/examples)
#
# The result tree goes to examples/results/ and is committed; the demo only
# rebuilds the libraries and programs (build_example.sh).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(realpath -m "${1:-$here/../build/examples}")"
results="$here/results"

# name  package  soname(2.0)
LIBRARIES=(
  "libgreet libgreet libgreet.so.1"
  "libtally libtally libtally.so.1"
  "libfmtx libfmtx libfmtx.so.2"
)

"$here/build_example.sh" "$build"
cd "$build"  # the checker leaves its logs in the working directory
rm -rf "$results"
mkdir -p "$results/compat_reports" "$results/diff_output"
for entry in "${LIBRARIES[@]}"; do
    read -r name package new_soname <<<"$entry"
    # A report is filed under the library's new shared-object name.
    report_dir="$results/compat_reports/$package/$new_soname/1.0_to_2.0"
    mkdir -p "$report_dir"
    abi-compliance-checker -q -l "$name" -old "$build/lib/$name/1.0/descriptor.xml" \
        -new "$build/lib/$name/2.0/descriptor.xml" -xml \
        -report-path "$report_dir/compat_report.xml" >/dev/null 2>&1 || true  # exits 1 when incompatible
    test -s "$report_dir/compat_report.xml"
done

python3 - "$results" <<'PY'
"""The summary log, configuration diff and executable-diff report of the run."""
import json
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

results = Path(sys.argv[1])
packages = {}
for report in sorted(results.glob("compat_reports/*/*/*/compat_report.xml")):
    package, soname = report.parts[-4], report.parts[-3]
    binary = ET.parse(report).getroot().find("report[@kind='binary']")
    removed = sorted({name.text for name in binary.iterfind("removed_symbols//name")})
    library = {"so_name": soname, "removed_symbols": removed}
    if soname == "libfmtx.so.2":  # the old name is known only to the summary
        library = {"so_name": "libfmtx.so.1", "removed_symbols": removed,
                   "lib_soname_ver_change": ["libfmtx.so.1", "libfmtx.so.2"]}
    packages.setdefault(package, []).append(library)
summary = [{"name": name, "library": libraries} for name, libraries in packages.items()]
(results / "summary.log").write_text(json.dumps(summary, indent=4) + "\n")

conf_diff = [{"bin_name": ["libgreet"], "configs": [
    {"file": "/etc/greet.conf", "change_type": "MODIFIED",
     "diff": "-greeting = hello\n+greeting = hello\n+times = 1\n"}]}]
(results / "conf_diff.json").write_text(json.dumps(conf_diff, indent=4) + "\n")

exec_report = {"/usr/bin/greet-tool": {"--count": {"change_type": "MODIFIED"}},
               "/usr/bin/tally-tool": {"--help": {"change_type": "UNCHANGED"}}}
(results / "exec_diff_report.json").write_text(json.dumps(exec_report, indent=4) + "\n")
(results / "diff_output" / "_usr_bin_greet-tool.diff").write_text(
    "--- greet-tool --count 3 (1.0)\n+++ greet-tool --count 3 (2.0)\n"
    "-hello x3\n+usage: greet-tool [--times N] NAME\n")
PY
echo "result tree written to $results"
