#include "filters.hpp"

#include <algorithm>

namespace varkit::likeness {

const std::array<std::string_view, 36> kOrvFilters = {
    "/usr/lib/.build-id/",
    "README",
    "/ReadMe",
    "ChangeLog",
    "COPYING",
    "NEWS",
    "LICENSE",
    "License",
    "AUTHORS",
    "TODO",
    "HISTORY",
    "changelog",
    "copyright",
    "COPYRIGHT",
    "CHANGES",
    "CONTRIBUTING",
    "CHANGELOG",
    "GPL-2.0",
    "GPL-3.0",
    "LicenseRef",
    "LGPL-2",
    "LGPL-3",
    "CC0-1.0",
    "GFDL-1",
    "BSD-3",
    "/THANKS",
    "/FAQ",
    "/BUGS",
    "PKG-INFO",
    "CREDITS",
    ".gitmodules",
    "PROBLEMS",
    "COMPAT",
    ".html",
    "METADATA",
    "INSTALLER",
};

const std::array<std::string_view, 30> kUbuntuFilters = {
    "copyright",
    "changelog",
    "NEWS.gz",
    "README",
    "LICENSE",
    "AUTHORS",
    "TODO",
    "HISTORY",
    "COPYING",
    "CHANGES",
    "CONTRIBUTING",
    "CHANGELOG",
    "/usr/share/lintian/overrides/",
    ".cargo_vcs_info.json",
    ".gitignore",
    "debian/patches/series",
    "/.github/",
    "/debian/patches/",
    "/THANKS",
    "/FAQ",
    "/BUGS",
    "PKG-INFO",
    "CREDITS",
    ".gitmodules",
    ".rustfmt.toml",
    "PROBLEMS",
    "COMPAT",
    ".html",
    "METADATA",
    "INSTALLER",
};

SubstringFilter::SubstringFilter(std::vector<std::string> markers) : markers_(std::move(markers)) {
    for (std::size_t i = 0; i < markers_.size(); ++i) {
        const std::string &marker = markers_[i];
        if (marker.empty()) {
            has_empty_ = true;
        } else if (marker.size() == 1) {
            one_byte_[static_cast<unsigned char>(marker[0])] = true;
        } else {
            const unsigned key =
                static_cast<unsigned char>(marker[0]) << 8 | static_cast<unsigned char>(marker[1]);
            first_two_bytes_[key >> 6] |= std::uint64_t{1} << (key & 63);
            by_first_two_bytes_.emplace_back(static_cast<std::uint16_t>(key),
                                             static_cast<std::uint32_t>(i));
        }
    }
    std::sort(by_first_two_bytes_.begin(), by_first_two_bytes_.end());
}

bool SubstringFilter::caught(std::string_view path) const {
    if (has_empty_) {
        return true;
    }
    const std::size_t size = path.size();
    for (std::size_t at = 0; at < size; ++at) {
        const auto first = static_cast<unsigned char>(path[at]);
        if (one_byte_[first]) {
            return true;
        }
        if (at + 1 == size) {
            break;
        }
        const unsigned key = first << 8 | static_cast<unsigned char>(path[at + 1]);
        if ((first_two_bytes_[key >> 6] >> (key & 63) & 1) == 0) {
            continue;
        }
        auto candidate =
            std::lower_bound(by_first_two_bytes_.begin(), by_first_two_bytes_.end(),
                             std::make_pair(static_cast<std::uint16_t>(key), std::uint32_t{0}));
        for (; candidate != by_first_two_bytes_.end() && candidate->first == key; ++candidate) {
            const std::string &marker = markers_[candidate->second];
            if (marker.size() <= size - at && path.compare(at, marker.size(), marker) == 0) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace varkit::likeness
