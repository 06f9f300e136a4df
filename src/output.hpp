#pragma once

#include <sys/types.h>

#include <cstddef>

namespace floodout {

// A file descriptor as the writer's output.
class FdOutput {
public:
    explicit FdOutput(int fd) noexcept
        : fd_(fd)
    {
    }

    ssize_t put(const char* data, std::size_t size) noexcept;
    void wait_writable() const noexcept;
    static void back_off() noexcept;

private:
    int fd_;
};

} // namespace floodout
