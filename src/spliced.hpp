#pragma once

#include "output.hpp"

#include <cstddef>

namespace floodout {

// A Unix stream socket as the writer's output. The block's pages go into a
// private pipe by vmsplice and from there into the socket by splice, which
// hands the socket the pages themselves: the reader's copy is the only one.
// That is safe because the block is never changed after start. Where either
// call is refused, plain write(2) takes over, from the first byte the socket
// has not had.
class SplicedOutput {
public:
    SplicedOutput(int fd, std::size_t page) noexcept;
    SplicedOutput(const SplicedOutput&) = delete;
    SplicedOutput& operator=(const SplicedOutput&) = delete;
    ~SplicedOutput();

    Put put(const char* data, std::size_t size) noexcept;
    [[nodiscard]] bool wait_writable() const noexcept { return wait_until_writable(fd_); }
    [[nodiscard]] Shape shape() const noexcept { return shape_; }
    static void back_off() noexcept { pause_after_failure(); }

    // Whether the pages still go by splice.
    [[nodiscard]] bool splicing() const noexcept { return splicing_; }

private:
    // Moves what was taken on to the socket, by splice from the private pipe
    // or, once that is refused, by write(2) from the block.
    Put move_on() noexcept;

    int fd_;
    int pipe_[2] = { -1, -1 };
    bool splicing_ = false;
    std::size_t pending_ = 0; // bytes taken from the writer, not yet in the socket
    const char* pending_at_ = nullptr; // where they are in the block
    Shape shape_;
};

} // namespace floodout
