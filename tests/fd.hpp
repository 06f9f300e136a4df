// A file descriptor closed at the end of its scope.
#pragma once

#include <unistd.h>

namespace harness {

class Fd {
public:
    explicit Fd(int descriptor = -1)
        : fd(descriptor)
    {
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    void reset()
    {
        if (fd >= 0) {
            close(fd);
        }
        fd = -1;
    }
    int fd;
};

} // namespace harness
