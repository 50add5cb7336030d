// Raising the Python exceptions the equivalent Python code would raise.
#pragma once

#include <pybind11/pybind11.h>
#include <string>

namespace varkit::host {

// Sets `type(message)` and throws error_already_set.
[[noreturn]] void raise(PyObject *type, const std::string &message);
// OSError for `errnum` on `filename` (the path object as the caller gave it), of the
// subclass open() would choose (FileNotFoundError, IsADirectoryError, PermissionError, ...).
[[noreturn]] void raise_os_error(int errnum, pybind11::handle filename);
// OSError(EINVAL, "not a regular file", filename): a FIFO, device or socket where a
// file to read (or append to) belongs.
[[noreturn]] void raise_not_regular_file(pybind11::handle filename);

}  // namespace varkit::host
