"""Plain-Python rendering of varkit.package_mapping.include.twinmatch, written from the
behaviour's own loops: every orv name against every Ubuntu name, and within a pair every
orv path against the Ubuntu list. It is the benchmark's baseline and the tests' oracle;
the package never imports it.

Two departures from a word-for-word rendering, shared with the module: a pair remembers
its two package names instead of splitting its key at "->" again, and a matched path
leaves both file lists itself instead of through the parts of its mapping entry, so names
and paths that contain "->" neither fail nor stay listed as unmatched.
"""

import json
import re


def read_json(file_path):
    with open(file_path) as file:
        return json.load(file)


def save_results_to_json(results, output_file):
    with open(output_file, "w") as file:
        json.dump(results, file, indent=4)


def match_same_package(orv_name, ubuntu_name):
    if orv_name == ubuntu_name:
        return False
    if orv_name.lower() == ubuntu_name.lower():
        return True
    if orv_name.replace("ghc", "haskell").lower() == ubuntu_name.lower():
        return True
    return False


def match_include(path1, path2):
    return path1 == path2


def truncate_so_version(so_name):
    match = re.search(r"\.so(\.\d+)+$", so_name)
    if match:
        return so_name[: match.start() + 3]
    return so_name


def count_so_combinations(lib_name):
    return len(re.findall(r"\.\d+[a-zA-Z]*", lib_name.split(".so")[-1]))


def main(json_file1, json_file2, output_file):
    data1 = read_json(json_file1)
    data2 = read_json(json_file2)

    common_packages = set(data1.keys()) & set(data2.keys())
    unique_to_data1 = set(data1.keys()) - common_packages
    unique_to_data2 = set(data2.keys()) - common_packages
    names = {key: (key, key) for key in common_packages}
    for key1 in data1:
        for key2 in data2:
            if match_same_package(key1, key2):
                names.setdefault(key1 + "->" + key2, (key1, key2))
                unique_to_data1.discard(key1)
                unique_to_data2.discard(key2)

    same_name_results = {}
    for key, (name1, name2) in names.items():
        same_name_results[key] = {"orv": data1[name1], "ubuntu": data2[name2], "mapping": []}
    left_data1_results = {key: data1[key] for key in unique_to_data1}
    left_data2_results = {key: data2[key] for key in unique_to_data2}

    for value in same_name_results.values():
        matched = []
        for path1 in value["orv"]:
            for path2 in value["ubuntu"]:
                if match_include(path1, path2):
                    entry = path1 + "->" + path2
                    if entry not in value["mapping"]:
                        value["mapping"].append(entry)
                    matched.append((path1, path2))
                    break
        orv_set = set(value["orv"])
        ubuntu_set = set(value["ubuntu"])
        for path1, path2 in matched:
            orv_set.discard(path1)
            ubuntu_set.discard(path2)
        value["orv"] = sorted(orv_set)
        value["ubuntu"] = sorted(ubuntu_set)

    same_name_results = dict(sorted(same_name_results.items()))
    left_data1_results = dict(sorted(left_data1_results.items()))
    left_data2_results = dict(sorted(left_data2_results.items()))
    save_results_to_json(same_name_results, output_file)
    save_results_to_json(left_data1_results, "./left" + json_file1.split("/")[-1])
    save_results_to_json(left_data2_results, "./left" + json_file2.split("/")[-1])


if __name__ == "__main__":
    main(
        "./include_provenance.json", "./include_source_files_mapping.json", "include_same_name.json"
    )
