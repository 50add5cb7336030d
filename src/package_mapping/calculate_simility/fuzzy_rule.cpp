#include "fuzzy_rule.hpp"

#include <varkit/pm/decimal_digits.hpp>

namespace varkit::likeness {

namespace {

// End of the non-empty run of digits at `at`, or npos when there is none.
std::size_t digits_end(std::string_view text, std::size_t at) {
    const std::size_t end = pm::skip_digits(text, at);
    return end == at ? std::string_view::npos : end;
}

// End of a "-N.N.N" starting at `at`, or npos.
std::size_t version_end(std::string_view text, std::size_t at) {
    std::size_t end = at + 1;
    for (int group = 0; group < 3; ++group) {
        if (group > 0) {
            if (end >= text.size() || text[end] != '.') {
                return std::string_view::npos;
            }
            ++end;
        }
        end = digits_end(text, end);
        if (end == std::string_view::npos) {
            return end;
        }
    }
    return end;
}

}  // namespace

std::string strip_versions(std::string_view path) {
    std::string stripped;
    stripped.reserve(path.size());
    std::size_t from = 0;
    for (std::size_t at = path.find('-'); at != std::string_view::npos;) {
        std::size_t end = version_end(path, at);
        if (end == std::string_view::npos) {
            at = path.find('-', at + 1);
            continue;
        }
        stripped.append(path, from, at - from);
        from = end;
        at = path.find('-', end);
    }
    stripped.append(path, from, std::string_view::npos);
    return stripped;
}

bool same_file(std::string_view orv_path, std::string_view ubuntu_path) {
    const std::string orv = strip_versions(orv_path);
    const std::string ubuntu = strip_versions(ubuntu_path);
    std::string image;
    for (const auto &[old_text, new_text] : kRewrites) {
        // A rewrite whose text does not occur leaves the path as it is.
        if (FuzzyIndex::rewrite_into(ubuntu, old_text, new_text, image) ? image == orv
                                                                        : ubuntu == orv) {
            return true;
        }
    }
    return false;
}

bool FuzzyIndex::rewrite_into(std::string_view text, std::string_view old_text,
                              std::string_view new_text, std::string &out) {
    std::size_t at = text.find(old_text);
    if (at == std::string_view::npos) {
        return false;
    }
    out.clear();
    std::size_t from = 0;
    for (; at != std::string_view::npos; at = text.find(old_text, from)) {
        out.append(text, from, at - from);
        out.append(new_text);
        from = at + old_text.size();
    }
    out.append(text, from, std::string_view::npos);
    return true;
}

FuzzyIndex::FuzzyIndex(const std::vector<std::string_view> &orv_paths)
    : next_(orv_paths.size(), kEnd) {
    stripped_.reserve(orv_paths.size());
    for (std::string_view path : orv_paths) {
        stripped_.push_back(strip_versions(path));
    }
    first_.reserve(orv_paths.size());
    // Filled from the back so that every chain runs in ascending position order.
    for (std::size_t i = orv_paths.size(); i-- > 0;) {
        auto [slot, fresh] = first_.emplace(stripped_[i], static_cast<std::uint32_t>(i));
        if (!fresh) {
            next_[i] = slot->second;
            slot->second = static_cast<std::uint32_t>(i);
        }
    }
}

}  // namespace varkit::likeness
