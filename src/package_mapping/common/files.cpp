#include "varkit/pm/files.hpp"

#include <varkit/host/errors.hpp>
#include <varkit/host/fd.hpp>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <simdjson.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace varkit::pm::files {

namespace host = varkit::host;

namespace {

// The path as the file system takes it (os.fsencode).
py::bytes fs_path(py::handle path) {
    PyObject *converted = nullptr;
    if (PyUnicode_FSConverter(path.ptr(), static_cast<void *>(&converted)) == 0) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::bytes>(converted);
}

[[noreturn]] void raise_errno(int errnum) {
    errno = errnum;
    PyErr_SetFromErrno(PyExc_OSError);
    throw py::error_already_set();
}

int open_path(py::handle path, int flags) {
    py::bytes encoded = fs_path(path);
    int fd;
    do {
        fd = ::open(PyBytes_AS_STRING(encoded.ptr()), flags | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        host::raise_os_error(errno, path);
    }
    return fd;
}

using host::Fd;

// The open file's status; a directory is refused with EISDIR, as Python's open() does.
struct stat readable_status(const Fd &file, py::handle path) {
    struct stat info{};
    if (::fstat(file.get(), &info) != 0) {
        host::raise_os_error(errno, path);
    }
    if (S_ISDIR(info.st_mode)) {
        host::raise_os_error(EISDIR, path);
    }
    if (!S_ISREG(info.st_mode)) {
        // A FIFO or a device: an input table is a file that ends.
        host::raise_not_regular_file(path);
    }
    return info;
}

}  // namespace

std::string read_bytes(py::handle path) {
    // O_NONBLOCK: opening a FIFO returns at once, and the status check refuses it.
    Fd file{open_path(path, O_RDONLY | O_NONBLOCK)};
    const struct stat info = readable_status(file, path);
    std::string data;
    std::size_t capacity = info.st_size > 0 ? static_cast<std::size_t>(info.st_size) : 4096;
    data.resize(capacity);
    std::size_t filled = 0;
    for (;;) {
        if (filled == data.size()) {
            data.resize(data.size() * 2);
        }
        ssize_t got = ::read(file.get(), &data[filled], data.size() - filled);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            raise_errno(errno);
        }
        if (got == 0) {
            break;
        }
        filled += static_cast<std::size_t>(got);
    }
    data.reserve(filled + simdjson::SIMDJSON_PADDING);
    data.resize(filled);
    return data;
}

void check_utf8(std::string_view bytes) {
    if (simdjson::validate_utf8(bytes.data(), bytes.size())) {
        return;
    }
    // Let Python's decoder say what and where, as a text-mode read would.
    PyObject *decoded =
        PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "strict");
    if (decoded == nullptr) {
        throw py::error_already_set();
    }
    Py_DECREF(decoded);
}

void translate_newlines(std::string &text) {
    std::size_t read = text.find('\r');
    if (read == std::string::npos) {
        return;
    }
    std::size_t write = read;
    const std::size_t size = text.size();
    while (read < size) {
        char c = text[read++];
        if (c == '\r') {
            c = '\n';
            if (read < size && text[read] == '\n') {
                ++read;
            }
        }
        text[write++] = c;
    }
    text.resize(write);
}

Mapped::Mapped(py::handle path) {
    Fd file{open_path(path, O_RDONLY | O_NONBLOCK)};
    const struct stat info = readable_status(file, path);
    if (S_ISREG(info.st_mode) && info.st_size > 0) {
        void *address = ::mmap(nullptr, static_cast<std::size_t>(info.st_size), PROT_READ,
                               MAP_PRIVATE | MAP_POPULATE, file.get(), 0);
        if (address != MAP_FAILED) {
            address_ = static_cast<char *>(address);
            size_ = static_cast<std::size_t>(info.st_size);
            return;
        }
    }
    read_ = read_bytes(path);
}

bool Mapped::readable_past_end(std::size_t spare) const {
    if (address_ == nullptr) {
        return read_.capacity() >= read_.size() + spare;
    }
    const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const std::size_t tail = size_ % page;
    return tail != 0 && page - tail >= spare;
}

Mapped::~Mapped() {
    if (address_ != nullptr) {
        ::munmap(address_, size_);
    }
}

Text::Text(py::handle path) : mapped_(path) {
    std::string_view bytes = mapped_.view();
    check_utf8(bytes);
    if (bytes.find('\r') != std::string_view::npos) {
        copy_.assign(bytes);
        translate_newlines(copy_);
        translated_ = true;
    }
}

// A file written whole goes to a temporary file beside it, renamed over it on
// close(): a run killed half way leaves the previous complete file, never a cut one.
Writer::Writer(py::handle path, bool append) {
    if (append) {
        fd_ = open_path(path, O_WRONLY | O_CREAT | O_APPEND);
        return;
    }
    path_ = py::reinterpret_borrow<py::object>(path);
    py::bytes encoded = fs_path(path);
    target_ = std::string(PyBytes_AS_STRING(encoded.ptr()),
                          static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.ptr())));
    struct stat link{};
    if (::lstat(target_.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
        // Written through the link, as open(path, "w") writes: the link stays.
        if (char *real = ::realpath(target_.c_str(), nullptr)) {
            target_ = real;
            std::free(real);
        }
    }
    const auto slash = target_.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : target_.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target_ : target_.substr(slash + 1);
    std::string pattern =
        (slash == std::string::npos ? std::string() : directory) + "." + name + ".XXXXXX";
    fd_ = ::mkstemp(pattern.data());
    if (fd_ < 0) {
        host::raise_os_error(errno, path);
    }
    temporary_ = pattern;
    struct stat old{};
    mode_t mode = 0;
    if (::stat(target_.c_str(), &old) == 0) {
        mode = old.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    ::fchmod(fd_, mode);
}

Writer::~Writer() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    if (!temporary_.empty()) {
        ::unlink(temporary_.c_str());
    }
}

void Writer::write(std::string_view data) {
    while (!data.empty()) {
        ssize_t put = ::write(fd_, data.data(), data.size());
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            raise_errno(errno);
        }
        data.remove_prefix(static_cast<std::size_t>(put));
    }
}

namespace {

Written identity(const struct stat &info) {
    return {static_cast<unsigned long long>(info.st_dev),
            static_cast<unsigned long long>(info.st_ino), static_cast<long long>(info.st_size),
            static_cast<long long>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec};
}

}  // namespace

bool still_written(py::handle path, const Written &written) {
    py::bytes encoded = fs_path(path);
    struct stat info{};
    if (written.size < 0 || ::stat(PyBytes_AS_STRING(encoded.ptr()), &info) != 0) {
        return false;
    }
    const Written now = identity(info);
    return now.device == written.device && now.inode == written.inode && now.size == written.size &&
           now.modified_ns == written.modified_ns;
}

void Writer::close() {
    int fd = fd_;
    fd_ = -1;
    struct stat info{};
    if (fd >= 0 && ::fstat(fd, &info) == 0) {
        written_ = identity(info);
    }
    if (fd >= 0 && ::close(fd) != 0) {
        raise_errno(errno);
    }
    if (!temporary_.empty()) {
        if (::rename(temporary_.c_str(), target_.c_str()) != 0) {
            const int error = errno;
            ::unlink(temporary_.c_str());
            temporary_.clear();
            host::raise_os_error(error, path_);
        }
        temporary_.clear();
    }
}

void write_bytes(py::handle path, std::string_view data, bool append) {
    Writer writer(path, append);
    writer.write(data);
    writer.close();
}

}  // namespace varkit::pm::files
