#pragma once

#include "output.hpp"

#include <cstddef>

namespace floodout {

// Makes a socket's send buffer hold `bytes` where it holds less; what it
// holds after, 0 where it is no socket. Beyond what the system lets a
// process ask (Allowance::send_buffer) the kernel would quietly hold less,
// even less than before. What the buffer holds is what the writer can hand
// over before the reader wakes: spliced pages fill the kernel's default of
// about 200 KiB in a few tens of microseconds.
std::size_t enlarge_send_buffer(int fd, std::size_t bytes) noexcept;

// A Unix stream socket as the writer's output. The block's pages go into a
// private pipe by vmsplice and from there into the socket by splice, which
// hands the socket the pages themselves: the reader's copy is the only one.
// That is safe because the block is never changed after start. Where either
// call is refused, plain write(2) takes over, from the first byte the socket
// has not had.
class SplicedOutput {
public:
    // `send_bytes`: the most the socket's send buffer is made to hold.
    SplicedOutput(int fd, std::size_t page, std::size_t send_bytes = 0) noexcept;
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
