// A module's namespace, read at call time.
//
// Every sibling function, host facility and configuration value is looked up in
// the module's own dict when a call needs it, never cached, so a caller that
// replaces `module.name` sees the effect on the next call.
#pragma once

#include <initializer_list>
#include <pybind11/pybind11.h>
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

    const py::dict &dict() const { return dict_; }

private:
    py::dict dict_;
};

// `import dotted as alias` in the module's namespace.
void bind_module(py::module_ &module, const char *alias, const char *dotted);
// `from dotted import name, ...`; a missing name raises ImportError.
void bind_from(py::module_ &module, const char *dotted, std::initializer_list<const char *> names);

// Defines `name` in `module` as a Python function whose C++ body receives the
// module's namespace first: `Ret fn(const Globals &, Args...)`.
template <typename Ret, typename... Args, typename... Extra>
void def(py::module_ &module, const char *name, Ret (*fn)(const Globals &, Args...),
         const Extra &...extra) {
    Globals globals = Globals::of(module);
    module.def(
        name,
        [globals, fn](Args... args) -> Ret { return fn(globals, std::forward<Args>(args)...); },
        extra...);
    globals.remember_native(name);
}

}  // namespace varkit::host
