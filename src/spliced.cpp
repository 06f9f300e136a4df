#include "spliced.hpp"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

namespace floodout {
namespace {

// As large as an unprivileged process may make it: the pipe holds only
// references to the block's pages, not copies.
constexpr std::size_t private_pipe_bytes = std::size_t { 1 } << 20;

// Errors that say splice or vmsplice will not work here at all.
bool refusal(int error) noexcept
{
    return error == EINVAL || error == ENOSYS || error == EPERM || error == EACCES || error == EOPNOTSUPP
        || error == EFAULT || error == ENOMEM || error == EBADF;
}

} // namespace

SplicedOutput::SplicedOutput(int fd, std::size_t page) noexcept
    : fd_(fd)
{
    if (pipe2(pipe_, O_CLOEXEC) != 0) {
        return;
    }
    enlarge_pipe(pipe_[1], private_pipe_bytes);
    const int capacity = fcntl(pipe_[1], F_GETPIPE_SZ);
    if (capacity <= 0) {
        return;
    }
    splice_ = true;
    const auto bytes = static_cast<std::size_t>(capacity);
    // A piece from a mark to a mark covers one page more than its length.
    reach_ = bytes > page ? bytes - page : bytes;
}

SplicedOutput::~SplicedOutput()
{
    for (const int end : pipe_) {
        if (end >= 0) {
            close(end);
        }
    }
}

ssize_t SplicedOutput::move_on() noexcept
{
    const ssize_t moved = splice_ ? splice(pipe_[0], nullptr, fd_, nullptr, pending_, SPLICE_F_MOVE)
                                  : write(fd_, pending_at_, pending_);
    if (moved > 0) {
        pending_ -= static_cast<std::size_t>(moved);
        pending_at_ += moved;
        return moved;
    }
    if (moved < 0 && splice_ && refusal(errno)) {
        // The block never changes: what the private pipe holds can be
        // written from it instead, and the pipe forgotten.
        splice_ = false;
        return -EINTR;
    }
    return moved < 0 ? -errno : -EINTR;
}

ssize_t SplicedOutput::put(const char* data, std::size_t size) noexcept
{
    if (pending_ > 0) {
        // Nothing new is taken until what was taken has reached the socket.
        const ssize_t moved = move_on();
        return moved > 0 ? -EINTR : moved;
    }
    if (splice_) {
        // vmsplice only reads the pages, but its iovec is not const.
        iovec piece { const_cast<char*>(data), size }; // NOLINT(cppcoreguidelines-pro-type-const-cast)
        const ssize_t n = vmsplice(pipe_[1], &piece, 1, 0);
        if (n > 0) {
            pending_ = static_cast<std::size_t>(n);
            pending_at_ = data;
            // Taken, whatever the socket said: it goes out before anything else.
            (void)move_on();
            return n;
        }
        if (n < 0 && errno == EINTR) {
            return -EINTR;
        }
        splice_ = false;
    }
    const ssize_t n = write(fd_, data, size);
    return n < 0 ? -errno : n;
}

} // namespace floodout
