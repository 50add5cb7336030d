#include "varkit/pm/json_value.hpp"

namespace varkit::pm::json {

const Value *Value::find(std::string_view name) const {
    if (!is_object()) {
        return nullptr;
    }
    const Object &members = as_object();
    for (auto it = members.rbegin(); it != members.rend(); ++it) {
        if (it->first == name) {
            return &it->second;
        }
    }
    return nullptr;
}

bool Value::is_string_array() const {
    if (!is_array()) {
        return false;
    }
    for (const Value &element : as_array()) {
        if (!element.is_string()) {
            return false;
        }
    }
    return true;
}

}  // namespace varkit::pm::json
