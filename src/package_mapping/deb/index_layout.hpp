// Where the noble package indexes come from and where they are filed,
// relative to the working directory.
#pragma once

#include <array>
#include <string>

namespace varkit::lineage {

// The Ubuntu archive mirror the indexes are fetched from.
inline constexpr const char *kMirrorHost = "archive.ubuntu.com";
inline constexpr const char *kRoot = "./deb/noble";
inline constexpr const char *kTablePath = "package_source_mapping.txt";

// Table order; the download step may visit them in any order.
inline constexpr std::array<const char *, 4> kComponents = {"main", "multiverse", "restricted",
                                                            "universe"};

inline std::string component_dir(const std::string &component) {
    return std::string(kRoot) + "/" + component + "/";
}
inline std::string index_name(const std::string &component) { return "Packages_" + component; }
inline std::string index_path(const std::string &component) {
    return component_dir(component) + index_name(component);
}
inline std::string index_url(const std::string &component) {
    return std::string("https://") + kMirrorHost + "/ubuntu/dists/noble/" + component +
           "/binary-amd64/Packages.gz";
}

}  // namespace varkit::lineage
