// Defining an extension module with multi-phase initialisation (PEP 489).
//
// Unlike PYBIND11_MODULE, no module object is cached across imports: after
// `del sys.modules[name]` a new import creates a fresh module and runs the init
// body again, so it binds whatever siblings are in sys.modules at that moment.
#pragma once

#include <pybind11/pybind11.h>

namespace varkit::host {

using ModuleInit = void (*)(pybind11::module_ &);

// Runs `init` on the new module object; returns 0, or -1 with a Python error set.
int exec_module(PyObject *module, ModuleInit init) noexcept;

}  // namespace varkit::host

#if defined(Py_mod_multiple_interpreters)
#define VARKIT_MODULE_INTERPRETER_SLOT                                                             \
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define VARKIT_MODULE_INTERPRETER_SLOT
#endif

#define VARKIT_MODULE(name, variable)                                                              \
    static void varkit_init_##name(::pybind11::module_ &);                                         \
    static int varkit_exec_##name(PyObject *module) {                                              \
        return ::varkit::host::exec_module(module, &varkit_init_##name);                           \
    }                                                                                              \
    extern "C" PYBIND11_EXPORT PyObject *PyInit_##name() {                                         \
        static PyModuleDef_Slot slots[] = {                                                        \
            {Py_mod_exec, reinterpret_cast<void *>(&varkit_exec_##name)},                          \
            VARKIT_MODULE_INTERPRETER_SLOT{0, nullptr}};                                           \
        static PyModuleDef def = {                                                                 \
            PyModuleDef_HEAD_INIT, #name, nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr};  \
        return PyModuleDef_Init(&def);                                                             \
    }                                                                                              \
    static void varkit_init_##name(::pybind11::module_ &variable)
