// Where no C++ exception may pass: a module's initialisation and the destructors
// that call into Python. What goes wrong there becomes a Python error instead.
#pragma once

#include <exception>
#include <pybind11/pybind11.h>

namespace varkit::host {

// Makes `error` the pending Python error.
void set_pending(pybind11::error_already_set &error) noexcept;
// Sets RuntimeError(what) as the pending Python error.
void set_pending(const char *what) noexcept;
// Reports the pending Python error through sys.unraisablehook ("Exception
// ignored in: <where>") and clears it.
void write_unraisable(const char *where) noexcept;

// Runs `step` from a destructor: an error already pending (the destructor may run
// while one unwinds) is kept as it was, and whatever `step` raises is reported as
// unraisable under `where`, never thrown.
template <class Step>
void run_in_destructor(const char *where, Step &&step) noexcept {
    PyObject *type = nullptr;
    PyObject *value = nullptr;
    PyObject *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    try {
        step();
    } catch (pybind11::error_already_set &error) {
        set_pending(error);
        write_unraisable(where);
    } catch (const std::exception &error) {
        set_pending(error.what());
        write_unraisable(where);
    } catch (...) {
        set_pending("unknown C++ exception");
        write_unraisable(where);
    }
    PyErr_Restore(type, value, traceback);
}

}  // namespace varkit::host
