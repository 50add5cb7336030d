// Whole-file reads and writes that fail like Python's open(): paths may be
// str, bytes or os.PathLike, and errors are the OSError subclass open() would
// raise with the same filename (FileNotFoundError, IsADirectoryError, ...).
// All need the GIL. One open, one read or write, one close per call.
#pragma once

#include <pybind11/pybind11.h>
#include <string>
#include <string_view>

namespace varkit::pm::files {

namespace py = pybind11;

// The file's bytes, with spare capacity for simdjson's padding.
std::string read_bytes(py::handle path);

// A file's bytes, mapped read-only (a regular file) or read (anything else).
class Mapped {
public:
    explicit Mapped(py::handle path);
    Mapped(const Mapped &) = delete;
    Mapped &operator=(const Mapped &) = delete;
    ~Mapped();
    std::string_view view() const {
        return address_ != nullptr ? std::string_view(address_, size_) : read_;
    }
    // True when `spare` bytes past the end may be read too (the rest of the
    // last mapped page, or the read buffer's spare capacity).
    bool readable_past_end(std::size_t spare) const;

private:
    char *address_ = nullptr;
    std::size_t size_ = 0;
    std::string read_;
};

// The file as open(path).read() gives it, in UTF-8: strict decoding
// (UnicodeDecodeError like Python's), universal newlines ("\r\n" and "\r"
// become "\n"). Copies the file only when it holds a "\r".
class Text {
public:
    explicit Text(py::handle path);
    std::string_view view() const { return translated_ ? std::string_view(copy_) : mapped_.view(); }

private:
    Mapped mapped_;
    bool translated_ = false;
    std::string copy_;
};

// The checks and translation Text makes.
void check_utf8(std::string_view bytes);  // raises UnicodeDecodeError
void translate_newlines(std::string &text);

// An open file for writing (open(path, "w") or "a"). A file written whole ("w")
// is replaced by close() in one rename; destroyed without close(), it is left as it was.
// The file a Writer wrote, as the file system knows it.
struct Written {
    unsigned long long device = 0, inode = 0;
    long long size = -1, modified_ns = 0;
};

// True while the file at `path` is the one written: not replaced, not
// written to since (its device, inode, size and modification time unchanged).
bool still_written(py::handle path, const Written &written);

class Writer {
public:
    Writer(py::handle path, bool append);
    Writer(const Writer &) = delete;
    Writer &operator=(const Writer &) = delete;
    ~Writer();
    // Writes all of `data`; OSError on failure.
    void write(std::string_view data);
    // Closes now, raising what close() reports.
    void close();
    // What was written, once close() has returned.
    const Written &written() const { return written_; }

private:
    int fd_ = -1;
    Written written_;
    py::object path_;        // as the caller named it, for errors
    std::string target_;     // the file replaced, links resolved
    std::string temporary_;  // the file written, until close() renames it
};

void write_bytes(py::handle path, std::string_view data, bool append = false);

}  // namespace varkit::pm::files
