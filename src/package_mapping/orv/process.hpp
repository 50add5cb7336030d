// process(): the source-to-files table from the two input tables.
#pragma once

#include <varkit/host.hpp>

namespace varkit::provenance {

inline constexpr const char *kSourcePackagesPath = "./orv/rpm_res/rpm_source_packages_mapping.json";
inline constexpr const char *kPackageFilesPath = "./orv/rpm_res/rpm_package_files_mapping.json";
inline constexpr const char *kResultPath = "./orv/rpm_res/provenance.json";

void process(const host::Globals &globals);

}  // namespace varkit::provenance
