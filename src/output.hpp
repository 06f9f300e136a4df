#pragma once

#include "chooser.hpp"

#include <sys/types.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace floodout {

// What stdout is, as far as the way of writing to it goes: a pipe, a TCP
// socket, a Unix stream socket, a datagram socket (UDP, or a Unix
// SOCK_DGRAM or SOCK_SEQPACKET), or anything else a plain write(2) serves.
enum class OutputKind { pipe, inet_socket, unix_stream, udp, datagram, other };

OutputKind classify_output(int fd) noexcept;

// Makes a pipe hold up to `bytes`, never more (fewer where the system refuses
// that many); a bigger pipe means fewer wake-ups for writer and reader alike.
void enlarge_pipe(int fd, std::size_t bytes) noexcept;

// Long enough to cost no CPU, short enough to resume soon when the output
// takes bytes again.
void pause_after_failure() noexcept;

// Until `fd` has room; whatever poll says, the next write tells the truth.
void wait_until_writable(int fd) noexcept;

// The monotonic clock, which every process shares, in nanoseconds; -1
// without one.
std::int64_t now_ns() noexcept;

// A file descriptor as the writer's output. Into a pipe the block's pages are
// handed over by vmsplice, without a copy; that is safe because the block is
// never changed after start. Elsewhere, and wherever vmsplice is refused,
// plain write(2).
class FdOutput {
public:
    FdOutput(int fd, OutputKind kind, std::size_t page) noexcept;

    // Into a pipe, one of the ways that hand it the block's pages (not teed,
    // which is an output of its own); Way::asleep until told otherwise.
    void use(Way way) noexcept;
    ssize_t put(const char* data, std::size_t size) noexcept;
    // After -EAGAIN. In the awake way, stays awake for a bounded time while
    // the reader is faster than a wake-up; sleeps otherwise.
    void wait_writable() noexcept;
    // True when the last wait found a pipe with nothing unread, so that the
    // next piece starts the reader's next read.
    bool drained() noexcept;
    // The longest piece worth handing over at once: for a pipe, one that an
    // empty pipe takes whole.
    [[nodiscard]] std::size_t reach() const noexcept
    {
        return narrow_ ? std::min(reach_, narrow_reach_) : reach_;
    }
    // How far past the block's starts pieces may begin.
    [[nodiscard]] std::size_t span() const noexcept { return narrow_ ? narrow_span_ : ~std::size_t { 0 }; }
    // When not 0, pieces should end at stream positions that are multiples
    // of it, instead of at the block's mark.
    [[nodiscard]] std::size_t grain() const noexcept { return grain_; }
    static void back_off() noexcept;

private:
    void after_wait(std::int64_t now, std::int64_t waited, std::size_t freed) noexcept;
    void fit_pipe(std::int64_t now) noexcept;

    int fd_;
    bool splice_;
    bool nonblocking_ = false; // the file is O_NONBLOCK: vmsplice must not block
    bool may_wait_awake_ = false; // the awake way
    bool awake_ = false; // the reader outpaces wake-ups: wait without sleeping
    // The narrow way: what the reader copies from and into stays small, for
    // a reader that shares a CPU's cache with the writer.
    bool narrow_ = false;
    std::size_t capacity_ = 0; // of the pipe, in bytes
    std::size_t full_capacity_ = 0; // as found at start
    std::size_t narrow_reach_;
    std::size_t narrow_span_;
    std::int64_t next_fit_ns_ = 0;
    std::size_t reach_;
    std::size_t grain_ = 0;
    std::int64_t last_put_ns_ = 0;
    int unread_after_wait_ = -1; // what the last wait saw, until drained() asks
};

} // namespace floodout
