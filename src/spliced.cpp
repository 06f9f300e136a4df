#include "spliced.hpp"

#include "pipe_fd.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace floodout {
namespace {

// As large as an unprivileged process may make it: the pipe holds only
// references to the block's pages, not copies.
constexpr std::size_t private_pipe_bytes = std::size_t { 1 } << 20;

// What a socket's send buffer holds; 0 where it is no socket.
std::size_t send_buffer_of(int fd) noexcept
{
    int held = 0;
    socklen_t length = sizeof held;
    if (getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &held, &length) != 0 || held < 0) {
        return 0;
    }
    return static_cast<std::size_t>(held);
}

} // namespace

std::size_t enlarge_send_buffer(int fd, std::size_t bytes) noexcept
{
    const std::size_t held = send_buffer_of(fd);
    if (held == 0 || held >= bytes) {
        return held;
    }
    // The kernel holds twice what is asked, for its own bookkeeping.
    const int asked = static_cast<int>(std::min<std::size_t>(bytes / 2, INT_MAX));
    (void)setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &asked, sizeof asked);
    return send_buffer_of(fd);
}

SplicedOutput::SplicedOutput(int fd, std::size_t page, std::size_t send_bytes) noexcept
    : fd_(fd)
{
    enlarge_send_buffer(fd, send_bytes);
    if (pipe2(pipe_, O_CLOEXEC) != 0) {
        return;
    }
    const std::size_t capacity = enlarge_pipe(pipe_[1], private_pipe_bytes);
    if (capacity == 0) {
        return;
    }
    splicing_ = true;
    // A piece from a mark to a mark covers one page more than its length.
    shape_.reach = capacity > page ? capacity - page : capacity;
}

SplicedOutput::~SplicedOutput()
{
    for (const int end : pipe_) {
        if (end >= 0) {
            close(end);
        }
    }
}

Put SplicedOutput::move_on() noexcept
{
    const ssize_t moved = splicing_ ? splice(pipe_[0], nullptr, fd_, nullptr, pending_, SPLICE_F_MOVE)
                                    : write(fd_, pending_at_, pending_);
    if (moved > 0) {
        pending_ -= static_cast<std::size_t>(moved);
        pending_at_ += moved;
        return Put::moved(static_cast<std::size_t>(moved));
    }
    if (moved < 0 && splicing_ && refuses_the_call(errno)) {
        // The block never changes: what the private pipe holds can be
        // written from it instead, and the pipe forgotten.
        splicing_ = false;
        return Put::again();
    }
    return moved < 0 ? Put::after(errno) : Put::again();
}

Put SplicedOutput::put(const char* data, std::size_t size) noexcept
{
    if (pending_ > 0) {
        // Nothing new is taken until what was taken has reached the socket.
        const Put moved = move_on();
        return moved.status == Put::Status::done ? Put::again() : moved;
    }
    if (splicing_) {
        const ssize_t n = hand_pages(pipe_[1], data, size, 0);
        if (n > 0) {
            pending_ = static_cast<std::size_t>(n);
            pending_at_ = data;
            // Taken, whatever the socket said: it goes out before anything else.
            (void)move_on();
            return Put::moved(static_cast<std::size_t>(n));
        }
        if (n < 0 && errno == EINTR) {
            return Put::again();
        }
        splicing_ = false;
    }
    return Put::of(write(fd_, data, size));
}

} // namespace floodout
