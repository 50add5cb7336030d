"""Package file-list tables for the package-mapping benchmarks, built from this
machine's real package file lists (dpkg's /var/lib/dpkg/info/*.list).

The Ubuntu side is the lists as installed. The distribution side is made from them
the way an RPM build lays the same files out: documentation goes to a versioned
directory, multiarch library paths become lib64 or plain lib, python3/dist-packages
becomes python3.11/site-packages, /usr/games and /bin move under /usr/bin, example
files move up, "-dev" documentation directories become "-devel", some private helpers
go to libexec and some version numbers differ; a few files are missing or extra, and
build-id links and licence files are added. Package names are the same but for case
variants, haskell -> ghc names and "-devel" packages.
"""

import glob
import json
import os
import random
import re
import sys

VERSION = re.compile(r"-(\d+)\.(\d+)\.(\d+)")
SNAPSHOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "out", "installed_lists.json")


def installed_lists(saved=None):
    """{package: [file paths]} in name order, directories left out: from `saved` (a
    JSON file of that shape) when given, else from dpkg. What dpkg gives is kept in
    bench/out/installed_lists.json, which stands in when dpkg's lists are gone."""
    if saved:
        with open(saved) as f:
            return dict(sorted(json.load(f).items()))
    packages = read_dpkg_lists()
    if packages:
        os.makedirs(os.path.dirname(SNAPSHOT), exist_ok=True)
        with open(SNAPSHOT, "w") as f:
            json.dump(packages, f)
        return packages
    if os.path.exists(SNAPSHOT):
        print(f"(dpkg's file lists are missing: using the snapshot {SNAPSHOT})", file=sys.stderr)
        with open(SNAPSHOT) as f:
            return json.load(f)
    sys.exit("no package file lists: /var/lib/dpkg/info/*.list is empty and there is no snapshot")


def read_dpkg_lists():
    packages = {}
    for list_path in sorted(glob.glob("/var/lib/dpkg/info/*.list")):
        name = os.path.basename(list_path)[: -len(".list")].split(":")[0]
        with open(list_path, encoding="utf-8", errors="surrogateescape") as f:
            paths = [line.rstrip("\n") for line in f]
        files = [p for p in paths if p.startswith("/") and p != "/." and not os.path.isdir(p)]
        if files:
            packages.setdefault(name, []).extend(files)
    return dict(sorted(packages.items()))


def rpm_name(name, rng):
    if "haskell" in name:
        return name.replace("haskell", "ghc")
    roll = rng.random()
    if roll < 0.05:
        return name[:1].upper() + name[1:]
    if roll < 0.08 and name.endswith("-dev"):
        return name + "el"
    return name


def rpm_path(path, rng, doc_dir, versioned_doc_dir):
    """The distribution side's paths for one Ubuntu path (none, one or two)."""
    roll = rng.random()
    if roll < 0.03:
        return []
    if path.startswith(doc_dir):
        return [versioned_doc_dir + path[len(doc_dir) :]]
    if "/x86_64-linux-gnu" in path:
        if rng.random() < 0.5:
            return [path.replace("/x86_64-linux-gnu", "64")]
        return [path.replace("x86_64-linux-gnu/", "")]
    if "python3/dist-packages" in path:
        return [path.replace("python3/dist-packages", "python3.11/site-packages")]
    if path.startswith("/usr/games/"):
        return [path.replace("games", "bin")]
    if path.startswith("/bin/"):
        return [path.replace("/bin", "/usr/bin")]
    if path.startswith("/lib/"):
        return [path.replace("/lib", "/usr/lib")]
    if "/examples/" in path:
        return [path.replace("/examples/", "/")]
    if "-dev/" in path:
        return [path.replace("dev/", "devel/")]
    if path.startswith("/usr/lib/") and roll < 0.08:
        return [path.replace("lib", "libexec")]
    if roll < 0.10 and VERSION.search(path):
        return [VERSION.sub(lambda m: "-%s.%s.%d" % (m[1], m[2], int(m[3]) + 1), path)]
    if roll < 0.12:
        return [path, path + ".orig"]
    return [path]


def rpm_side(name, paths):
    rng = random.Random(name)
    # documentation in a versioned directory, as older RPM layouts keep it
    version = "%d.%d.%d" % (rng.randrange(1, 10), rng.randrange(20), rng.randrange(20))
    doc_dir = "/usr/share/doc/%s/" % name
    files = []
    for path in paths:
        files.extend(rpm_path(path, rng, doc_dir, "/usr/share/doc/%s-%s/" % (name, version)))
    for path in paths[:200]:
        if ".so" in path or "/bin/" in path:
            files.append(
                "/usr/lib/.build-id/%02x/%s" % (rng.randrange(256), "%032x" % rng.getrandbits(128))
            )
    files.append("/usr/share/licenses/%s/COPYING" % name)
    files.sort()  # as rpm lists a package's files
    return rpm_name(name, rng), files


def tables(stride, saved=None):
    """(distribution side, Ubuntu side) for every stride-th installed package in name
    order, starting from the middle of the first stride (all of them for stride 1)."""
    ubuntu = {}
    orv = {}
    for index, (name, paths) in enumerate(installed_lists(saved).items()):
        if index % stride != stride // 2:
            continue
        ubuntu[name] = paths
        orv_name, orv_files = rpm_side(name, paths)
        orv[orv_name] = orv_files
    return orv, ubuntu


def same_name_table(stride, saved=None):
    """The pairing table likeness reads: every package with both sides' full lists."""
    orv, ubuntu = tables(stride, saved)
    by_lower = {name.lower(): name for name in orv}
    table = {}
    for name, paths in ubuntu.items():
        partner = by_lower.get(name.lower()) or by_lower.get(name.replace("haskell", "ghc").lower())
        if partner is not None:
            key = name if partner == name else partner + "->" + name
            table[key] = {"orv": orv[partner], "ubuntu": paths, "mapping": []}
    return table
