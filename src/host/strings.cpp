// Small text helpers shared by the modules (see strings.hpp).
#include "varkit/host/strings.hpp"

namespace varkit::host {

void replace_all(std::string &text, std::string_view needle, std::string_view value) {
    if (needle.empty()) {
        return;
    }
    std::size_t pos = text.find(needle);
    if (pos == std::string::npos) {
        return;
    }
    thread_local std::string scratch;  // swapped with `text`: both keep their storage
    scratch.clear();
    std::size_t start = 0;
    while (pos != std::string::npos) {
        scratch.append(text, start, pos - start);
        scratch.append(value);
        start = pos + needle.size();
        pos = text.find(needle, start);
    }
    scratch.append(text, start, std::string::npos);
    text.swap(scratch);
}

std::string last_component(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

}  // namespace varkit::host
