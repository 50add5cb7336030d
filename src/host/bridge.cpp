#include "varkit/host/globals.hpp"
#include "varkit/host/module.hpp"
#include "varkit/host/unthrown.hpp"
#include "varkit/host/values.hpp"

#include <string>

namespace varkit::host {

namespace {
constexpr const char *kNativesKey = "_varkit_natives";
}

int exec_module(PyObject *module, ModuleInit init) noexcept {
    try {
        py::detail::ensure_internals();
        auto m = py::reinterpret_borrow<py::module_>(module);
        py::options options;
        // Docstrings are exactly what the module sets, without a generated signature line.
        options.disable_function_signatures();
        init(m);
        return 0;
    } catch (py::error_already_set &e) {
        set_pending(e);
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_ImportError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_ImportError, "unknown error while initialising the module");
    }
    return -1;
}

Globals Globals::of(const py::module_ &module) {
    return Globals(py::reinterpret_borrow<py::dict>(module.attr("__dict__")));
}

py::object Globals::get(const char *name) const {
    PyObject *value = PyDict_GetItemString(dict_.ptr(), name);  // borrowed
    if (value == nullptr) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(value);
}

py::object Globals::conf(const char *attribute) const { return get("conf").attr(attribute); }

py::object Globals::builtin(const char *name) const {
    return dict_.contains(name) ? get(name) : host::builtin(name);
}

bool Globals::is_native(const char *name) const {
    PyObject *natives = PyDict_GetItemString(dict_.ptr(), kNativesKey);
    PyObject *current = PyDict_GetItemString(dict_.ptr(), name);
    if (natives == nullptr || current == nullptr || !PyDict_Check(natives)) {
        return false;
    }
    return PyDict_GetItemString(natives, name) == current;
}

void Globals::remember_native(const char *name) const {
    if (!dict_.contains(kNativesKey)) {
        dict_[kNativesKey] = py::dict();
    }
    dict_[kNativesKey][name] = dict_[name];
}

void bind_module(py::module_ &module, const char *alias, const char *dotted) {
    module.attr(alias) = py::module_::import(dotted);
}

void bind_from(py::module_ &module, const char *dotted, std::initializer_list<const char *> names) {
    py::module_ source = py::module_::import(dotted);
    for (const char *name : names) {
        if (!py::hasattr(source, name)) {
            PyErr_SetString(
                PyExc_ImportError,
                ("cannot import name '" + std::string(name) + "' from '" + dotted + "'").c_str());
            throw py::error_already_set();
        }
        module.attr(name) = source.attr(name);
    }
}

}  // namespace varkit::host
