// likeness.process(): scores every package of "same_name.json" and writes the reports.
#pragma once

#include <cstddef>
#include <varkit/host/globals.hpp>

namespace varkit::likeness {

void process(const host::Globals &g);

// total_common += common_count; total_count += file_count, on the module's attributes.
void add_to_totals(const host::Globals &g, std::size_t common_count, std::size_t file_count);

}  // namespace varkit::likeness
