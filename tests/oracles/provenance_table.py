"""Plain-Python rendering of the provenance table, for the benchmark only."""

import json
from collections import defaultdict

SOURCES = "./orv/rpm_res/rpm_source_packages_mapping.json"
PACKAGE_FILES = "./orv/rpm_res/rpm_package_files_mapping.json"
RESULT = "./orv/rpm_res/provenance.json"


def read_json(file_path):
    with open(file_path) as f:
        return json.load(f)


def process():
    src_packages_data = read_json(SOURCES)
    package_files_data = read_json(PACKAGE_FILES)
    src_files_data = defaultdict(list)
    for item in src_packages_data:
        srcname = item["srcname"]
        packages = item["packages"]
        for package in packages:
            if package in package_files_data:
                src_files_data[srcname].extend(sorted(package_files_data[package]))
    sorted_src_files_data = dict(sorted(src_files_data.items(), key=lambda x: x[0]))
    with open(RESULT, "w") as f:
        json.dump(sorted_src_files_data, f, indent=4)
    data = read_json(RESULT)
    for key in data:
        data[key] = sorted(set(data[key]))
    with open(RESULT, "w") as f:
        json.dump(data, f, indent=4)
