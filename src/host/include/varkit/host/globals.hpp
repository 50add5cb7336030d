// A module's namespace, read at call time.
//
// Every sibling function, host facility and configuration value is looked up in
// the module's own dict when a call needs it, never cached, so a caller that
// replaces `module.name` sees the effect on the next call.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <pybind11/pybind11.h>
#include <string>
#include <type_traits>
#include <utility>

namespace varkit::host {

namespace py = pybind11;

class Globals {
public:
    explicit Globals(py::dict dict) : dict_(std::move(dict)) {}
    static Globals of(const py::module_ &module);

    // The current binding of `name`; raises NameError when it is gone.
    py::object get(const char *name) const;
    // `conf.<attribute>` as the configuration object holds it now.
    py::object conf(const char *attribute) const;
    // True while `name` is still bound to the function this module defined
    // under that name (nobody replaced it), so C++ may call it directly.
    bool is_native(const char *name) const;
    // Records the function defined under `name` for is_native().
    void remember_native(const char *name) const;
    // The builtin `name` as the module's own code would see it: a binding of
    // the name in the module wins.
    py::object builtin(const char *name) const;

    const py::dict &dict() const { return dict_; }

private:
    py::dict dict_;
};

// `import dotted as alias` in the module's namespace.
void bind_module(py::module_ &module, const char *alias, const char *dotted);
// `from dotted import name, ...`; a missing name raises ImportError.
void bind_from(py::module_ &module, const char *dotted, std::initializer_list<const char *> names);

namespace signature {

template <typename T>
inline constexpr bool is_doc = std::is_convertible_v<const T &, const char *>;

template <typename T>
void add_parameter(std::string &parameters, const T &extra) {
    std::string parameter;
    if constexpr (std::is_same_v<T, py::arg_v>) {
        parameter = std::string(extra.name) + "=" + static_cast<std::string>(py::repr(extra.value));
    } else if constexpr (std::is_base_of_v<py::arg, T>) {
        parameter = extra.name;
    } else if constexpr (std::is_same_v<T, py::kw_only>) {
        parameter = "*";
    } else if constexpr (std::is_same_v<T, py::pos_only>) {
        parameter = "/";
    } else {
        return;
    }
    parameters += parameters.empty() ? parameter : ", " + parameter;
}

template <typename T>
void add_doc(std::string &doc, const T &extra) {
    if constexpr (is_doc<T>) {
        doc += static_cast<const char *>(extra);
    }
}

// The docstring in place of the one given, everything else as given.
template <typename T>
decltype(auto) with_doc(const T &extra, const char *doc) {
    if constexpr (is_doc<T>) {
        return doc;
    } else {
        return (extra);
    }
}

}  // namespace signature

// Defines `name` in `module` as a Python function whose C++ body receives the
// module's namespace first: `Ret fn(const Globals &, Args...)`.
//
// The docstring gains a first line "name(parameters)\n--\n\n", from which the
// interpreter answers `__text_signature__` (so inspect.signature() works) while
// `__doc__` stays exactly the text given.
template <typename Ret, typename... Args, typename... Extra>
void def(py::module_ &module, const char *name, Ret (*fn)(const Globals &, Args...),
         const Extra &...extra) {
    constexpr std::size_t named = ((std::is_base_of_v<py::arg, Extra> ? 1 : 0) + ... + 0);
    static_assert(named == 0 || named == sizeof...(Args), "name every parameter or none");
    static_assert(((signature::is_doc<Extra> ? 1 : 0) + ... + 0) <= 1, "one docstring at most");
    std::string parameters;
    std::string doc;
    (signature::add_parameter(parameters, extra), ...);
    (signature::add_doc(doc, extra), ...);
    if (named == 0 && sizeof...(Args) > 0) {
        // Unnamed parameters can only be passed by position.
        for (std::size_t i = 0; i < sizeof...(Args); ++i) {
            parameters += (i == 0 ? "arg" : ", arg") + std::to_string(i);
        }
        parameters += ", /";
    }
    const std::string documented = std::string(name) + "(" + parameters + ")\n--\n\n" + doc;
    Globals globals = Globals::of(module);
    auto body = [globals, fn](Args... args) -> Ret {
        return fn(globals, std::forward<Args>(args)...);
    };
    if constexpr (((signature::is_doc<Extra> ? 1 : 0) + ... + 0) == 1) {
        module.def(name, body, signature::with_doc(extra, documented.c_str())...);
    } else {
        module.def(name, body, extra..., documented.c_str());
    }
    globals.remember_native(name);
}

}  // namespace varkit::host
