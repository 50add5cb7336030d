// The inputs of the SAX engine: a document in memory, or a regular file.
#include "sax_engine.hpp"
#include "scan.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <varkit/host/fd.hpp>

namespace varkit::reportscan {

namespace {

struct MemorySource {
    const char *data;
    std::size_t size;
    std::size_t pos = 0;
};
int read_memory(void *context, char *buffer, int len) {
    auto *source = static_cast<MemorySource *>(context);
    std::size_t n = std::min(static_cast<std::size_t>(len), source->size - source->pos);
    std::memcpy(buffer, source->data + source->pos, n);
    source->pos += n;
    return static_cast<int>(n);
}
struct FileSource {
    int fd;  // not owned
    bool failed = false;
};
int read_file(void *context, char *buffer, int len) {
    auto *source = static_cast<FileSource *>(context);
    for (;;) {
        ssize_t n = ::read(source->fd, buffer, static_cast<std::size_t>(len));
        if (n >= 0) {
            return static_cast<int>(n);
        }
        if (errno != EINTR) {
            source->failed = true;
            return -1;
        }
    }
}

}  // namespace

ScanOutcome scan_memory(const char *data, std::size_t size, Printing printing) {
    MemorySource source{data, size};
    return run(read_memory, &source, nullptr, printing);
}

ScanOutcome scan_file(const char *path, Printing printing) {
    ScanOutcome delegate;
    delegate.status = ScanOutcome::Status::Delegate;
    // Non-blocking: a FIFO put in the report's place must not hold the open.
    const host::Fd file(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!file.valid()) {
        return delegate;
    }
    struct stat info;
    if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return delegate;
    }
    FileSource source{file.get()};
    return run(read_file, &source, &source.failed, printing);
}

}  // namespace varkit::reportscan
