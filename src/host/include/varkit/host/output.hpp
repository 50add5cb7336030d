// Standard output as the host sees it: text goes to whatever `sys.stdout` is
// when the buffer is flushed, so redirect_stdout, pytest's capture and
// suppress_stdout all work. Flush before calling anything that may print.
#pragma once

#include <pybind11/pybind11.h>
#include <string>
#include <string_view>

namespace varkit::host {

class Output {
public:
    Output() = default;
    // discard: everything written is dropped (a caller that wants only the result).
    explicit Output(bool discard) : discard_(discard) {}
    Output(const Output &) = delete;
    Output &operator=(const Output &) = delete;
    // Writes what is still buffered; errors at this point are dropped.
    ~Output();

    void write(std::string_view text);
    // print(line): the text and a line break.
    void print(std::string_view line);
    // Writes a Python str as it is, after what is buffered.
    void write_str(pybind11::handle text);
    // Hands the buffered text to the current sys.stdout (dropped when it is None).
    void flush();
    bool empty() const { return buffer_.empty(); }
    bool discarding() const { return discard_; }

private:
    static constexpr std::size_t kChunk = std::size_t{1} << 20;
    std::string buffer_;
    bool discard_ = false;
};

}  // namespace varkit::host
