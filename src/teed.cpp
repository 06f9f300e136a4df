#include "teed.hpp"

#include "output.hpp"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace floodout {
namespace {

bool transient(int error) noexcept
{
    return error == EAGAIN || error == EINTR || error == EPIPE;
}

} // namespace

TeedOutput::TeedOutput(int fd, const Block& block, std::size_t pipe_bytes) noexcept
    : fd_(fd)
    , block_(block)
    , pipe_bytes_(pipe_bytes)
{
}

TeedOutput::~TeedOutput()
{
    for (const int end : { full_[0], full_[1], between_[0], between_[1] }) {
        if (end >= 0) {
            close(end);
        }
    }
}

bool TeedOutput::make() noexcept
{
    if (pipe2(full_, O_CLOEXEC) != 0 || pipe2(between_, O_CLOEXEC) != 0) {
        return false;
    }
    enlarge_pipe(full_[1], pipe_bytes_);
    enlarge_pipe(between_[1], pipe_bytes_);
    const int full = fcntl(full_[1], F_GETPIPE_SZ);
    const int between = fcntl(between_[1], F_GETPIPE_SZ);
    if (full <= 0 || between <= 0) {
        return false;
    }
    // Whole repetitions from the block's start, which is a repetition's.
    const std::size_t text = block_.text_size();
    const std::size_t room = std::min(
        { static_cast<std::size_t>(full), static_cast<std::size_t>(between), block_.layout().size });
    const std::size_t want = room / text * text;
    if (want == 0) {
        return false; // the text is longer than a pipe
    }
    // The block's own pages, by reference: no memory of its own, and tee
    // duplicates references to huge pages (8 to 12% faster than to pages
    // written into the pipe, on an AMD EPYC).
    for (std::size_t at = 0; at < want;) {
        // vmsplice only reads the pages, but its iovec is not const.
        iovec piece { const_cast<char*>(block_.data() + at), want - at }; // NOLINT
        const ssize_t n = vmsplice(full_[1], &piece, 1, 0);
        if (n <= 0 && errno != EINTR) {
            return false;
        }
        at += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    filled_ = want;
    return true;
}

ssize_t TeedOutput::put(const char* data, std::size_t size, bool nonblocking) noexcept
{
    if (state_ == State::unmade) {
        state_ = make() ? State::ready : State::refused;
    }
    if (state_ == State::refused || (!splice_ && pending_ == 0)) {
        state_ = State::refused;
        return -ENOTSUP;
    }
    const unsigned flags = nonblocking ? SPLICE_F_NONBLOCK : 0U;
    if (pending_ == 0) {
        const std::size_t text = block_.text_size();
        const auto offset = static_cast<std::size_t>(data - block_.data()) % text;
        if (offset != 0) {
            // Up to the next repetition's start, from the block itself.
            // vmsplice only reads the pages, but its iovec is not const.
            iovec piece { const_cast<char*>(data), std::min(size, text - offset) }; // NOLINT
            const ssize_t n = vmsplice(fd_, &piece, 1, flags);
            if (n >= 0 || transient(errno)) {
                return n >= 0 ? n : -errno;
            }
            const ssize_t written = write(fd_, data, piece.iov_len);
            return written >= 0 ? written : -errno;
        }
        // The go-between is empty: it takes all of the private pipe, which
        // stays full, since tee only copies references to its pages.
        const ssize_t copied = tee(full_[0], between_[1], filled_, 0);
        if (copied <= 0) {
            if (copied < 0 && errno == EINTR) {
                return -EINTR;
            }
            state_ = State::refused;
            return -ENOTSUP;
        }
        pending_ = static_cast<std::size_t>(copied);
    }
    const std::size_t most = std::min(pending_, size);
    if (splice_) {
        const ssize_t moved = splice(between_[0], nullptr, fd_, nullptr, most, flags);
        if (moved > 0) {
            pending_ -= static_cast<std::size_t>(moved);
            return moved;
        }
        if (moved == 0 || transient(errno)) {
            return moved == 0 ? -EINTR : -errno;
        }
        // Refused: the go-between holds the stream's next bytes, and so does
        // the block from `data` on; write them from there, then leave.
        splice_ = false;
    }
    const ssize_t written = write(fd_, data, most);
    if (written > 0) {
        pending_ -= static_cast<std::size_t>(written);
    }
    return written >= 0 ? written : -errno;
}

} // namespace floodout
