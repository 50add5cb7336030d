// An open file descriptor and its one owner (plain C++, no Python).
#pragma once

#include <unistd.h>

namespace varkit::host {

// Closes the descriptor once, when the owner goes; -1 (a failed open) owns nothing.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;

    bool valid() const { return fd_ >= 0; }
    int get() const { return fd_; }

private:
    int fd_;
};

}  // namespace varkit::host
