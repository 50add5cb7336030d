// The main program of varkit.reportscan (the console script varkit-reportscan).
#pragma once

#include <varkit/host.hpp>

namespace varkit::reportscan {

// _main(): reportscan(sys.argv[1]), or the usage line and exit status 1.
pybind11::object main_program(const host::Globals &g);

}  // namespace varkit::reportscan
