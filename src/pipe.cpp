#include "pipe.hpp"

#include <fcntl.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace floodout {

PipeOutput::PipeOutput(
    int fd, const Block& block, std::size_t pipe_bytes, Load* load, const Schedule& schedule) noexcept
    : fd_(fd)
    , direct_(fd, OutputKind::pipe, block.page())
    , teed_(fd, block, pipe_bytes)
    , chooser_(load != nullptr ? Way::awake : Way::asleep, all_ways, schedule)
    // Waiting awake is bounded by the clock; without one, never wait awake.
    , load_(now_ns() >= 0 ? load : nullptr)
    , way_(chooser_.settled())
{
    const int flags = fcntl(fd, F_GETFL);
    nonblocking_ = flags >= 0 && (flags & O_NONBLOCK) != 0;
    direct_.use(way_);
}

std::uint64_t PipeOutput::taken() const noexcept
{
    int unread = 0;
    if (ioctl(fd_, FIONREAD, &unread) != 0 || unread < 0) {
        unread = 0;
    }
    const auto held = static_cast<std::uint64_t>(unread);
    return position_ > held ? position_ - held : 0;
}

void PipeOutput::allow(std::int64_t now) noexcept
{
    unsigned ways = all_ways;
    unsigned costly = 0;
    // Waiting awake takes a CPU: never with one. While other work waits for
    // a CPU, it may take one that work needs: other floods probe it at the
    // same moment, so their loss shows, but nothing else's does. It must
    // then win by more.
    if (load_ == nullptr) {
        ways &= ~way_bit(Way::awake);
    } else if (load_->crowded(now)) {
        costly = way_bit(Way::awake);
    }
    if (!teed_.usable()) {
        ways &= ~way_bit(Way::teed);
    }
    chooser_.allow(ways, costly);
}

void PipeOutput::change_to(Way way) noexcept
{
    way_ = way;
    // The teed way wants the pipe whole, as the asleep way has it.
    direct_.use(way == Way::teed ? Way::asleep : way);
}

ssize_t PipeOutput::put(const char* data, std::size_t size) noexcept
{
    const std::int64_t now = now_ns();
    allow(now);
    Way next = chooser_.at(now, [this] { return taken(); });
    if (way_ == Way::teed && teed_.holding()) {
        next = Way::teed; // what the go-between holds goes first
    }
    if (next != way_) {
        change_to(next);
    }
    if (way_ == Way::teed) {
        const ssize_t n = teed_.put(data, size, nonblocking_);
        if (n != -ENOTSUP) {
            position_ += n > 0 ? static_cast<std::uint64_t>(n) : 0;
            return n;
        }
        // Refused, with nothing moved: never again.
        allow(now);
        change_to(chooser_.settled());
    }
    const ssize_t n = direct_.put(data, size);
    position_ += n > 0 ? static_cast<std::uint64_t>(n) : 0;
    return n;
}

void PipeOutput::wait_writable() noexcept
{
    if (way_ == Way::teed) {
        wait_until_writable(fd_);
        return;
    }
    direct_.wait_writable();
}

bool PipeOutput::drained() noexcept
{
    return way_ != Way::teed && direct_.drained();
}

} // namespace floodout
