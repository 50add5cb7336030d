#!/usr/bin/env bash
# Builds a generated C library (thousands of functions and types) in two versions,
# a good share of them changed, lets Debian's abi-compliance-checker write its XML
# report (binary + source in one document), and scales it to >= 50 MB by repeating
# the report elements inside one document. Outputs under bench/out/ (git-ignored):
#   bench/out/large/report.xml      the real report
#   bench/out/large/scaled.xml      the scaled document
# Usage: bench/make_large_report.sh [FUNCTIONS] [MIN_MB]   (defaults 6000, 52)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
functions=${1:-6000}
min_mb=${2:-52}
out="$here/out/large"
work="$out/work"
rm -rf "$work"
mkdir -p "$work"

python3 - "$work" "$functions" <<'PY'
import random, sys
from pathlib import Path
work, n = Path(sys.argv[1]), int(sys.argv[2])
types = n // 5
for version in (1, 2):
    rng = random.Random(42)  # the same decisions for both versions
    d = work / f"v{version}"
    (d / "include").mkdir(parents=True)
    h, c = [], ['#include "big.h"']
    h.append("#ifndef BIG_H\n#define BIG_H")
    for i in range(n // 10):
        changed = rng.random() < 0.2
        h.append(f"#define BIG_CONST_{i} {i + (1000 if changed and version == 2 else 0)}")
    for t in range(types):
        grow = rng.random() < 0.25
        retype = rng.random() < 0.1
        fields = ["int a;", ("long" if retype and version == 2 else "int") + " b;", "double c;"]
        if grow and version == 2:
            fields.insert(1, "int added;")
        h.append(f"struct big_s{t} {{ {' '.join(fields)} }};")
        h.append(f"typedef {'long' if (t % 17 == 0 and version == 2) else 'int'} big_t{t};")
    for i in range(n):
        roll = rng.random()
        t = rng.randrange(types)
        if roll < 0.08 and version == 2:
            continue                                  # removed
        if 0.08 <= roll < 0.16 and version == 1:
            continue                                  # added in v2
        ptype = "long" if (0.16 <= roll < 0.26 and version == 2) else "int"
        rtype = "double" if (0.26 <= roll < 0.31 and version == 2) else "int"
        extra = ", int extra" if (0.31 <= roll < 0.35 and version == 2) else ""
        sig = f"{rtype} big_f{i}(struct big_s{t} *p, {ptype} x, big_t{t} y{extra})"
        h.append(sig + ";")
        c.append(sig + " { return (" + rtype + ")(p->a + x + y); }")
    h.append("#endif")
    (d / "include" / "big.h").write_text("\n".join(h) + "\n")
    (d / "big.c").write_text("\n".join(c) + "\n")
PY

for v in 1 2; do
    d="$work/v$v"
    mkdir -p "$d/lib"
    gcc -shared -fPIC -g -O0 -I"$d/include" -o "$d/lib/libbig.so.$v" -Wl,-soname,"libbig.so.$v" "$d/big.c"
    printf '<version>%s.0</version>\n<headers>%s/include/big.h</headers>\n<libs>%s/lib/libbig.so.%s</libs>\n' \
        "$v" "$d" "$d" "$v" > "$d/descriptor.xml"
done
(cd "$work" && abi-compliance-checker -l libbig -old v1/descriptor.xml -new v2/descriptor.xml \
    -xml -report-path "$out/report.xml" > "$work/acc.log" 2>&1) || true   # 1 = incompatible
test -s "$out/report.xml" || { cat "$work/acc.log" >&2; exit 1; }

python3 - "$out/report.xml" "$out/scaled.xml" "$min_mb" <<'PY'
import sys
src, dst, min_mb = sys.argv[1], sys.argv[2], int(sys.argv[3])
text = open(src, encoding="utf-8").read()
body = text[text.index("<reports>") + len("<reports>"):text.rindex("</reports>")]
copies = max(1, -(-min_mb * 1_000_000 // len(body.encode())))
with open(dst, "w", encoding="utf-8") as out:
    out.write('<?xml version="1.0" encoding="utf-8"?>\n<reports>')
    for _ in range(copies):
        out.write(body)
    out.write("</reports>\n")
print(f"{src}: {len(text.encode()) / 1e6:.1f} MB; {dst}: {copies} copies")
PY
ls -l "$out"/*.xml
