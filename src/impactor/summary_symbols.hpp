// Removed symbols and soname changes of a library, from the summary document.
#pragma once

#include <pybind11/pybind11.h>
#include <varkit/host/globals.hpp>

namespace varkit::impactor {

// (set of removed symbol names, found); ([], False) when there is no summary.
// Soname changes of the library are appended to library_dict.
pybind11::object get_removed_symbols_from_summary(const host::Globals &g,
                                                  pybind11::object summary_path,
                                                  pybind11::object library_name,
                                                  pybind11::object library_dict);

}  // namespace varkit::impactor
