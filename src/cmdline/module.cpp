#include "get_options.hpp"

#include <varkit/host.hpp>

VARKIT_MODULE(cmdline, m) {
    m.doc() = "The checker's command line: get_options(args) builds the option parser, parses\n"
              "`args` (the process's arguments when None) and validates the combination of\n"
              "options, filling in the result locations from the configuration.";
    namespace host = varkit::host;
    host::bind_module(m, "argparse", "argparse");
    host::bind_module(m, "os", "os");
    host::bind_from(m, "varkit.common", {"is_valid_url"});
    host::bind_from(m, "varkit", {"conf"});

    host::def(m, "get_options", &varkit::cmdline::get_options, pybind11::arg("args"),
              "Parse and validate the checker's command line; return the option namespace.\n\n"
              "An invalid command line ends the process through the parser's error routine.");
}
