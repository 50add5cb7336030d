// varkit._elf: an ELF object's dynamic-linking facts, the file mapped once.
#include "elf_reader.hpp"

#include <pybind11/pybind11.h>
#include <varkit/host/fd.hpp>

#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace py = pybind11;

namespace varkit::elf {
namespace {

using host::Fd;

class Mapping {
public:
    Mapping(int fd, std::size_t size) : size_(size) {
        data_ = size == 0 ? nullptr : ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    }
    ~Mapping() {
        if (data_ != nullptr && data_ != MAP_FAILED) {
            ::munmap(data_, size_);
        }
    }
    Mapping(const Mapping &) = delete;
    Mapping &operator=(const Mapping &) = delete;
    bool failed() const { return data_ == MAP_FAILED; }
    const std::uint8_t *data() const { return static_cast<const std::uint8_t *>(data_); }

private:
    void *data_;
    std::size_t size_;
};

py::str text(const std::string &text) {
    PyObject *value =
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    if (value == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::str>(value);
}

py::list strings(const std::vector<std::string> &values) {
    py::list list;
    for (const std::string &value : values) {
        list.append(text(value));
    }
    return list;
}

py::object to_py(const ReadOutcome &outcome) {
    if (outcome.status == ReadStatus::NotElf) {
        return py::bool_(false);
    }
    if (outcome.status == ReadStatus::Unusual) {
        return py::none();
    }
    const ElfFacts &f = outcome.facts;
    py::list undefined;
    for (const ImportedSymbol &symbol : f.undefined) {
        py::tuple versions(symbol.versions.size());
        for (std::size_t i = 0; i < symbol.versions.size(); ++i) {
            versions[i] = text(symbol.versions[i]);
        }
        undefined.append(py::make_tuple(text(symbol.name), versions));
    }
    return py::make_tuple(f.elfclass, f.machine, f.type, f.has_interpreter, f.pie_flag,
                          f.has_soname, text(f.soname), strings(f.needed), strings(f.rpath),
                          strings(f.runpath), undefined, strings(f.defined));
}

py::object read_file(const std::string &path) {
    ReadOutcome outcome;
    {
        py::gil_scoped_release unlocked;
        Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
        struct stat info{};
        if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0) {
            const int error = errno;
            py::gil_scoped_acquire locked;
            errno = error;
            PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
            throw py::error_already_set();
        }
        if (!S_ISREG(info.st_mode)) {
            outcome.status = ReadStatus::NotElf;
        } else {
            const auto size = static_cast<std::size_t>(info.st_size);
            Mapping map(fd.get(), size);
            if (map.failed()) {
                outcome.status = ReadStatus::Unusual;
            } else {
                outcome = read_elf(map.data(), size);
            }
        }
    }
    return to_py(outcome);
}

}  // namespace
}  // namespace varkit::elf

PYBIND11_MODULE(_elf, m) {
    py::options options;
    options.disable_function_signatures();  // the docstring gives the signature CPython reads
    m.doc() = "Dynamic-linking facts of ELF objects, read natively for varkit.common: file class,\n"
              "machine, type, interpreter, PIE flag, soname, needed libraries, search paths and\n"
              "the imported and defined dynamic symbols.";
    m.def("read", &varkit::elf::read_file, py::arg("path"),
          "read(path)\n--\n\n"
          "False for a file that is not ELF, None for an object this reader leaves to a "
          "general-purpose one, else (elfclass, e_machine, e_type, has_interpreter, pie_flag, "
          "has_soname, soname, needed, rpath, runpath, [(name, versions)], defined).");
}
