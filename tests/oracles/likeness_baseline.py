"""Plain-Python rendering of varkit.package_mapping.calculate_simility.likeness, written
from the behaviour's own loops: every remaining distribution path against every remaining
Ubuntu path, each pair tried under the eleven rewrites. It is the benchmark's baseline and
the tests' oracle; the package never imports it.

The overall line reads "total simility: n/a" while total_count is 0, as in the module.
"""

import json
import re

orv_filters = [
    "/usr/lib/.build-id/",
    "README",
    "/ReadMe",
    "ChangeLog",
    "COPYING",
    "NEWS",
    "LICENSE",
    "License",
    "AUTHORS",
    "TODO",
    "HISTORY",
    "changelog",
    "copyright",
    "COPYRIGHT",
    "CHANGES",
    "CONTRIBUTING",
    "CHANGELOG",
    "GPL-2.0",
    "GPL-3.0",
    "LicenseRef",
    "LGPL-2",
    "LGPL-3",
    "CC0-1.0",
    "GFDL-1",
    "BSD-3",
    "/THANKS",
    "/FAQ",
    "/BUGS",
    "PKG-INFO",
    "CREDITS",
    ".gitmodules",
    "PROBLEMS",
    "COMPAT",
    ".html",
    "METADATA",
    "INSTALLER",
]
ubuntu_filters = [
    "copyright",
    "changelog",
    "NEWS.gz",
    "README",
    "LICENSE",
    "AUTHORS",
    "TODO",
    "HISTORY",
    "COPYING",
    "CHANGES",
    "CONTRIBUTING",
    "CHANGELOG",
    "/usr/share/lintian/overrides/",
    ".cargo_vcs_info.json",
    ".gitignore",
    "debian/patches/series",
    "/.github/",
    "/debian/patches/",
    "/THANKS",
    "/FAQ",
    "/BUGS",
    "PKG-INFO",
    "CREDITS",
    ".gitmodules",
    ".rustfmt.toml",
    "PROBLEMS",
    "COMPAT",
    ".html",
    "METADATA",
    "INSTALLER",
]
REWRITES = [
    ("x86_64-linux-gnu/", ""),
    ("/x86_64-linux-gnu", "64"),
    ("lib", "libexec"),
    ("games", "bin"),
    ("/usr/bin", "/usr/sbin"),
    ("/bin", "/usr/bin"),
    ("/lib", "/usr/lib"),
    ("/lib", "/lib64"),
    ("python3/dist-packages", "python3.11/site-packages"),
    ("dev/", "devel/"),
    ("/examples/", "/"),
]

total_common = 0
total_count = 0


def filter_files(files, filters):
    return [file for file in files if any(marker in file for marker in filters)]


def process_files_same_name(file_name1, file_name2):
    return file_name1.split("/")[-1] == file_name2.split("/")[-1]


def handle_single_file(file_name1, file_name2):
    file_name1 = re.sub(r"-\d+\.\d+\.\d+", "", file_name1)
    file_name2 = re.sub(r"-\d+\.\d+\.\d+", "", file_name2)
    for old, new in REWRITES:
        if file_name2.replace(old, new) == file_name1:
            return True
    return False


def handling_single_package(orv_diff, ubuntu_diff, common_files_set):
    orv_remove = set()
    ubuntu_remove = set()
    for file1 in orv_diff:
        for file2 in ubuntu_diff:
            if handle_single_file(file1, file2):
                orv_remove.add(file1)
                ubuntu_remove.add(file2)
                common_files_set.add(file1 + "  ------>  " + file2)
    return (
        sorted(set(orv_diff) - orv_remove),
        sorted(set(ubuntu_diff) - ubuntu_remove),
        common_files_set,
    )


def calculate_similarity(orv_files, ubuntu_files, common_files_set):
    global total_common, total_count
    orv_set = set(orv_files)
    ubuntu_set = set(ubuntu_files)
    if orv_set == ubuntu_set:
        return 100
    total_common += 2 * len(common_files_set)
    total_count += len(orv_set) + len(ubuntu_set) + 2 * len(common_files_set)
    return (
        len(common_files_set)
        / (len(orv_set) + len(ubuntu_set) + 2 * len(common_files_set))
        * 2
        * 100
    )


def process():
    with open("same_name.json") as file:
        data = json.load(file)
    output = {}
    filtered = {}
    for key, value in data.items():
        print(
            "==============================",
            "processing package:",
            key,
            "==============================",
        )
        orv_files = value["orv"]
        ubuntu_files = value["ubuntu"]
        orv_filtered = sorted(set(orv_files) - set(filter_files(orv_files, orv_filters)))
        ubuntu_filtered = sorted(
            set(ubuntu_files) - set(filter_files(ubuntu_files, ubuntu_filters))
        )
        filtered[key] = {
            "orv_filtered_files": filter_files(orv_files, orv_filters),
            "ubuntu_filetered_files": filter_files(ubuntu_files, ubuntu_filters),
        }
        common_files_set = set(orv_filtered) & set(ubuntu_filtered)
        orv_diff = sorted(set(orv_filtered) - common_files_set)
        ubuntu_diff = sorted(set(ubuntu_filtered) - common_files_set)
        orv_diff, ubuntu_diff, common_files_set = handling_single_package(
            orv_diff, ubuntu_diff, common_files_set
        )
        similarity = calculate_similarity(orv_diff, ubuntu_diff, common_files_set)
        if similarity == 100:
            output[key] = {"similarity": similarity, "common_files": sorted(common_files_set)}
        else:
            output[key] = {
                "similarity": similarity,
                "common_files": sorted(common_files_set),
                "orv_files": orv_diff,
                "ubuntu_files": ubuntu_diff,
            }
    sorted_output = dict(
        sorted(output.items(), key=lambda item: item[1]["similarity"], reverse=True)
    )
    with open("output.json", "w") as file:
        json.dump(output, file, indent=4)
    with open("output_sort.json", "w") as file:
        json.dump(sorted_output, file, indent=4)
    with open("filtered.json", "w") as file:
        json.dump(filtered, file, indent=4)
    if total_count == 0:
        print("total simility: n/a")
        return
    total_simility = total_common / total_count * 100
    print("total simility:", total_simility, "%")


if __name__ == "__main__":
    process()
