// The check drivers: walk the user's files, run the per-file check on each
// with a fresh per-file record, gather the records and reduce the answers to one.
#pragma once

#include <pybind11/pybind11.h>
#include <varkit/host/globals.hpp>

namespace varkit::impactor {

bool search_source_for_dest_dir(const host::Globals &g, pybind11::object search_local,
                                pybind11::object check_local_dir, pybind11::object result,
                                pybind11::object check_type);

bool use_local_result_check_local(const host::Globals &g, pybind11::object search_local,
                                  pybind11::object check_local, pybind11::object result,
                                  pybind11::object check_type);

bool use_remote_result_check_local(const host::Globals &g, pybind11::object search_remote,
                                   pybind11::object check_local, pybind11::object result,
                                   pybind11::object check_type);

}  // namespace varkit::impactor
