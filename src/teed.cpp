#include "teed.hpp"

#include "pipe_fd.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>

namespace floodout {

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
    const std::size_t full = enlarge_pipe(full_[1], pipe_bytes_);
    const std::size_t between = enlarge_pipe(between_[1], pipe_bytes_);
    const std::size_t room = std::min({ full, between, block_.layout().size });
    // Whole periods from the block's start, where one fits: each tee then
    // starts at a stream position that is a multiple of 64, as the block's
    // start is, and every byte leaves at its cache-line offset. Else whole
    // repetitions, whose offsets shift from one tee to the next.
    const std::size_t period = block_.layout().period;
    unit_ = room >= period ? period : block_.text_size();
    const std::size_t want = room / unit_ * unit_;
    if (want == 0) {
        return false; // no pipe, or the text is longer than one
    }
    // The block's own pages, by reference: no memory of its own, and tee
    // duplicates references to huge pages faster than to pages written in.
    for (std::size_t at = 0; at < want;) {
        const ssize_t n = hand_pages(full_[1], block_.data() + at, want - at, 0);
        if (n <= 0 && errno != EINTR) {
            return false;
        }
        at += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    filled_ = want;
    return true;
}

Put TeedOutput::put(const char* data, std::size_t size, bool nonblocking) noexcept
{
    assert(block_.holds(data, size));
    if (state_ == State::unmade) {
        state_ = make() ? State::ready : State::refused;
    }
    if (state_ == State::refused || (!splices_ && pending_ == 0)) {
        state_ = State::refused;
        return Put::refused();
    }
    if (filled_up_) {
        // Not again at once for the page or two the reader freed since:
        // that takes the pipe's lock from it at every read. The wait paces.
        filled_up_ = false;
        return Put::after(EAGAIN);
    }
    const unsigned flags = nonblocking ? SPLICE_F_NONBLOCK : 0U;
    if (pending_ == 0) {
        const auto offset = static_cast<std::size_t>(data - block_.data()) % unit_;
        if (offset != 0) {
            // Up to where a tee may start, from the block itself.
            const std::size_t most = std::min(size, unit_ - offset);
            const ssize_t n = hand_pages(fd_, data, most, flags);
            return n >= 0 || !refuses_the_call(errno) ? Put::of(n) : Put::of(write(fd_, data, most));
        }
        // The go-between is empty: it takes all of the private pipe, which
        // stays full, since tee only copies references to its pages.
        const ssize_t copied = tee(full_[0], between_[1], filled_, 0);
        if (copied <= 0) {
            if (copied < 0 && errno == EINTR) {
                return Put::again();
            }
            state_ = State::refused;
            return Put::refused();
        }
        pending_ = static_cast<std::size_t>(copied);
    }
    const std::size_t most = std::min(pending_, size);
    if (splices_) {
        const ssize_t moved = splice(between_[0], nullptr, fd_, nullptr, most, flags);
        if (moved > 0) {
            pending_ -= static_cast<std::size_t>(moved);
            filled_up_ = nonblocking && static_cast<std::size_t>(moved) < most;
            return Put::moved(static_cast<std::size_t>(moved));
        }
        if (moved == 0 || !refuses_the_call(errno)) {
            return moved == 0 ? Put::again() : Put::after(errno);
        }
        // Refused: the go-between holds the stream's next bytes, and so does
        // the block from `data` on; write them from there, then leave.
        splices_ = false;
    }
    const Put written = Put::of(write(fd_, data, most));
    pending_ -= written.bytes;
    return written;
}

} // namespace floodout
