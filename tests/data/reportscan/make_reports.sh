#!/usr/bin/env bash
# Builds the test libraries of src/ in two versions each and lets Debian's
# abi-compliance-checker write its XML reports (binary and source) into reports/.
# Usage: tests/data/reportscan/make_reports.sh   (needs gcc, g++, abi-compliance-checker)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$here/reports"

build() {  # build NAME VERSION SONAME COMPILER SOURCE HEADER
    local name=$1 ver=$2 soname=$3 cc=$4 src=$5 hdr=$6
    local out="$work/$name/$ver"
    mkdir -p "$out/include" "$out/lib"
    cp "$here/src/$name/$ver/$hdr" "$out/include/"
    $cc -shared -fPIC -g -Og -o "$out/lib/$soname" -Wl,-soname,"$soname" \
        -I"$out/include" "$here/src/$name/$ver/$src" -lm
    cat > "$out/descriptor.xml" <<DESC
<version>$ver</version>
<headers>$out/include/$hdr</headers>
<libs>$out/lib/$soname</libs>
DESC
}

compare() {  # compare NAME: reports/NAME.xml (both kinds), NAME-binary.xml, NAME-source.xml
    local name=$1
    # Exit status 1 means "incompatible", which is what the test data is about.
    (cd "$work" && abi-compliance-checker -l "$name" -v1 1.0 -v2 2.0 \
        -old "$work/$name/v1/descriptor.xml" -new "$work/$name/v2/descriptor.xml" \
        -xml -report-path "$work/$name.xml" >"$work/$name.log" 2>&1) || true
    (cd "$work" && abi-compliance-checker -l "$name" -v1 1.0 -v2 2.0 -binary \
        -old "$work/$name/v1/descriptor.xml" -new "$work/$name/v2/descriptor.xml" \
        -xml -bin-report-path "$work/$name-binary.xml" >>"$work/$name.log" 2>&1) || true
    (cd "$work" && abi-compliance-checker -l "$name" -v1 1.0 -v2 2.0 -source \
        -old "$work/$name/v1/descriptor.xml" -new "$work/$name/v2/descriptor.xml" \
        -xml -src-report-path "$work/$name-source.xml" >>"$work/$name.log" 2>&1) || true
    for report in "$name" "$name-binary" "$name-source"; do
        if [ ! -s "$work/$report.xml" ]; then cat "$work/$name.log" >&2; exit 1; fi
        # Reports may name the temporary directory; keep them reproducible.
        sed -e "s#$work#/tmp/build#g" "$work/$report.xml" > "$here/reports/$report.xml"
    done
}

build libgeom v1 libgeom.so.1 gcc geom.c geom.h
build libgeom v2 libgeom.so.2 gcc geom.c geom.h
compare libgeom
build libqueue v1 libqueue.so.1 g++ queue.cpp queue.hpp
build libqueue v2 libqueue.so.1 g++ queue.cpp queue.hpp
compare libqueue
ls -l "$here/reports"
