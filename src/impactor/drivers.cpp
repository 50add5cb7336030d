#include "drivers.hpp"

#include "facilities.hpp"

namespace varkit::impactor {

namespace {

// Pseudo file systems never walked when the whole machine ("/") is checked.
constexpr const char *kSkippedAtRoot[] = {"proc", "sys", "dev", "run"};

// One file through the per-file check; its map joins the overall result.
bool check_one_file(const Globals &g, const py::object &search, const py::object &path,
                    const py::object &result, const py::object &check_type) {
    py::dict file_map;
    py::object passed = g.get("search_source_for_dest_file")(search, path, file_map, check_type);
    result[py::str("library")].attr("append")(file_map);
    return truthy(passed);
}

void prune_pseudo_filesystems(py::handle subdirectories) {
    py::list kept;
    for (py::handle name : subdirectories) {
        bool skipped = false;
        for (const char *pseudo : kSkippedAtRoot) {
            skipped = skipped || py::reinterpret_borrow<py::object>(name).equal(py::str(pseudo));
        }
        if (!skipped) {
            kept.append(name);
        }
    }
    // In place: the walk reads this very list to choose where to descend.
    subdirectories[py::slice(py::none(), py::none(), py::none())] = kept;
}

}  // namespace

bool search_source_for_dest_dir(const Globals &g, py::object search_local,
                                py::object check_local_dir, py::object result,
                                py::object check_type) {
    const FetchRun run(g);  // one fetch of each document for the whole call
    py::object os_path = g.get("os").attr("path");
    py::object top = os_path.attr("abspath")(check_local_dir);
    bool compat = true;
    for (py::handle step : g.get("os").attr("walk")(check_local_dir)) {
        py::object directory = step[py::int_(0)];
        py::object subdirectories = step[py::int_(1)];
        py::object files = step[py::int_(2)];
        py::object absolute = os_path.attr("abspath")(directory);
        if (absolute.equal(top) && absolute.equal(py::str("/"))) {
            prune_pseudo_filesystems(subdirectories);
        }
        for (py::handle name : files) {
            py::object path = path_join(g, directory, name);
            compat = check_one_file(g, search_local, path, result, check_type) && compat;
        }
    }
    return compat;
}

bool use_local_result_check_local(const Globals &g, py::object search_local, py::object check_local,
                                  py::object result, py::object check_type) {
    const FetchRun run(g);  // one fetch of each document for the whole call
    if (!truthy(search_local)) {
        search_local = g.conf("default_compat_search_dir");
    }
    // A regular file is no result tree: every lookup in it would find nothing
    // and every file would pass unchecked.
    if (!is_dir(g, search_local)) {
        log(g, 0,
            concat(py::str("Search local data for checking "), check_local, py::str(" failed. "),
                   search_local, py::str(" is not a valid dir!")));
        return false;
    }
    if (!path_exists(g, check_local)) {
        log(g, 0,
            concat(py::str("Search local data for checking "), check_local, py::str(" failed. "),
                   check_local, py::str(" not exist!")));
        return false;
    }
    if (is_dir(g, check_local)) {
        return truthy(
            g.get("search_source_for_dest_dir")(search_local, check_local, result, check_type));
    }
    return check_one_file(g, search_local, check_local, result, check_type);
}

bool use_remote_result_check_local(const Globals &g, py::object search_remote,
                                   py::object check_local, py::object result,
                                   py::object check_type) {
    const FetchRun run(g);  // one fetch of each document for the whole call
    if (!truthy(g.get("is_valid_url")(search_remote))) {
        log(g, 0,
            concat(py::str("Search remote data for checking "), check_local, py::str(" failed. "),
                   search_remote, py::str(" is not a valid URL!")));
        return false;
    }
    if (!is_url_reachable(g, search_remote)) {
        log(g, 0,
            concat(py::str("Search remote data for checking "), check_local, py::str(" failed. "),
                   search_remote, py::str(" is not reachable!")));
        return false;
    }
    py::list targets;
    if (truthy(check_local.attr("__contains__")(py::str(",")))) {
        targets = check_local.attr("split")(py::str(","));
    } else {
        targets.append(check_local);
    }
    bool compat = true;
    for (py::handle target_handle : targets) {
        auto target = py::reinterpret_borrow<py::object>(target_handle);
        if (is_dir(g, target)) {
            compat = truthy(g.get("search_source_for_dest_dir")(search_remote, target, result,
                                                                check_type)) &&
                     compat;
        } else {
            compat = check_one_file(g, search_remote, target, result, check_type) && compat;
        }
    }
    return compat;
}

}  // namespace varkit::impactor
