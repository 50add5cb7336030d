// The per-file decision of the impact check: type the file, then run the
// check its kind asks for ("ABI", "CONF", "EXEC"), filling the per-file record.
#pragma once

#include <pybind11/pybind11.h>
#include <varkit/host/globals.hpp>

namespace varkit::impactor {

// True when the file passes (or there is nothing to check), false when affected.
bool search_source_for_dest_file(const host::Globals &g, pybind11::object search_local_or_url,
                                 pybind11::object search_dest_file, pybind11::object library_dict,
                                 pybind11::object check_type);

}  // namespace varkit::impactor
