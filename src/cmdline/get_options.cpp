#include "get_options.hpp"

#include "option_table.hpp"

#include <cstring>
#include <varkit/host.hpp>

namespace varkit::cmdline {

namespace py = pybind11;

namespace {

py::object build_parser(const host::Globals &globals) {
    py::object argparse = globals.get("argparse");
    py::object parser = argparse.attr("ArgumentParser")(
        py::arg("description") = "Check the compatibility of libs and rpms");
    py::object general = parser.attr("add_argument_group")("General options");
    py::object abi = parser.attr("add_argument_group")("--checkabi Operations",
                                                       "Options for ABI check operations");
    py::object exec = parser.attr("add_argument_group")("--checkexec options");

    for (const OptionSpec &option : kOptions) {
        py::object group = option.group == Group::General ? general
                           : option.group == Group::Abi   ? abi
                                                          : exec;
        py::list flags;
        if (option.short_flag != nullptr) {
            flags.append(option.short_flag);
        }
        flags.append(option.long_flag);

        py::dict kwargs;
        if (option.dest != nullptr) {
            kwargs["dest"] = option.dest;
        }
        switch (option.kind) {
        case Kind::Switch: kwargs["action"] = "store_true"; break;
        case Kind::Version:
            kwargs["action"] = "version";
            kwargs["version"] = globals.conf("varkit_ver");
            break;
        case Kind::Store:
        case Kind::Positional: break;
        }
        if (option.nargs != nullptr) {
            kwargs["nargs"] = option.nargs;
        }
        if (option.metavar != nullptr) {
            kwargs["metavar"] = option.metavar;
        }
        if (std::strcmp(option.long_flag, "--search-remote") == 0) {
            kwargs["const"] = globals.conf("remote_url");
        } else if (std::strcmp(option.long_flag, "--format") == 0) {
            kwargs["choices"] = py::make_tuple("json", "table");
            kwargs["default"] = "json";
        }
        kwargs["help"] = option.help;
        group.attr("add_argument")(*flags, **kwargs);
    }
    return parser;
}

// A destination counts as set when it is a true switch or a non-empty value.
bool is_set(const py::object &options, const char *dest) { return py::bool_(options.attr(dest)); }

bool any_set(const py::object &options, std::initializer_list<const char *> dests) {
    for (const char *dest : dests) {
        if (is_set(options, dest)) {
            return true;
        }
    }
    return false;
}

}  // namespace

py::object get_options(const host::Globals &globals, py::object args) {
    py::object parser = build_parser(globals);
    py::object options = parser.attr("parse_args")(args);
    auto report = [&parser](const py::object &message) { parser.attr("error")(message); };

    if (!any_set(options, {"checkabi", "checkconf", "checkexec"}) &&
        any_set(options,
                {"check_local", "search_local", "multi_packages", "local", "search_remote"})) {
        report(
            py::str("--check-local, --search-local, --multi-packages, --search-remote and --local "
                    "can only be used with --checkabi/--checkconf/--checkexec"));
    }
    if (!is_set(options, "checkabi") && is_set(options, "with_symbol")) {
        report(py::str("--with-symbol can only be used with --checkabi"));
    }
    if (is_set(options, "search_local")) {
        py::object isdir = globals.get("os").attr("path").attr("isdir");
        if (!py::bool_(isdir(options.attr("search_local")))) {
            report(py::str("search-local must be a directory"));
        }
        if (!is_set(options, "with_symbol")) {
            report(py::str("--search-local can only be used with --with-symbol"));
        }
    }
    if (is_set(options, "search_remote")) {
        py::object search_remote = options.attr("search_remote");
        if (is_set(options, "search_local")) {
            report(py::str("--search-local and --search-remote can not be used at the same time"));
        }
        if (is_set(options, "checkabi") && !is_set(options, "with_symbol")) {
            report(py::str("--search-remote with --checkabi can only be used with --with-symbol"));
        }
        if (!py::bool_(globals.get("is_valid_url")(search_remote))) {
            report(py::str("remote-url: ") + py::str(search_remote) +
                   py::str(" must be a valid url"));
        }
    }
    if (!any_set(options,
                 {"checkability", "checkconf", "checkfile", "checkabi", "scan_dep", "checkexec"})) {
        report(py::str("One of --checkabi, --checkability, --checkexec, --checkfile, --scan-dep or "
                       "--checkconf must be specified"));
    }
    return options;
}

}  // namespace varkit::cmdline
