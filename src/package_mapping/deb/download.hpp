// The download step: fetch, unpack and file the four component indexes with
// curl, gunzip and mv (through the module's `subprocess`, without a shell).
#pragma once

#include <varkit/host.hpp>

namespace varkit::lineage {

void get_data(const host::Globals &globals);

}  // namespace varkit::lineage
