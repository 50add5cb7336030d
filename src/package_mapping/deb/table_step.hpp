// The table step: runs the module's get_data, then writes the table from the
// four indexes, one append per index.
#pragma once

#include <varkit/host.hpp>

namespace varkit::lineage {

void process(const host::Globals &globals);

}  // namespace varkit::lineage
