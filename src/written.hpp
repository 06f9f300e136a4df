#pragma once

#include "output.hpp"

#include <cstddef>

namespace floodout {

// Any stdout that write(2) serves as well as anything: files, terminals,
// /dev/null, and TCP sockets, which get pieces that end at the kernel's own
// socket pages. Regular files get short pieces from near the block's start.
class WrittenOutput {
public:
    WrittenOutput(int fd, OutputKind kind, std::size_t page) noexcept;

    Put put(const char* data, std::size_t size) noexcept;
    [[nodiscard]] bool wait_writable() const noexcept { return wait_until_writable(fd_); }
    [[nodiscard]] Shape shape() const noexcept { return shape_; }
    static void back_off() noexcept { pause_after_failure(); }

private:
    int fd_;
    Shape shape_;
};

} // namespace floodout
