#include "vmspliced.hpp"

#include "pipe_fd.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace floodout {
namespace {

// Long enough to cover a reader's copy of a whole 1 MiB pipe, several times
// shorter than the pause of a reader that sleeps between reads.
constexpr std::int64_t max_spin_ns = 100'000;
// After the reader emptied the pipe it is in the middle of its next read: as
// long as a copy of a whole pipe takes at the copy rate of a fast CPU.
constexpr std::int64_t emptied_spin_ns = 60'000;
// After an emptied spin that the reader did not end, waits are slept for at
// least the first of these, doubling up to the second: a reader that pauses
// between reads costs a spin of 60 us in 64 ms at most, a fast reader that
// missed one loses a few milliseconds of waiting awake.
constexpr std::int64_t least_backoff_ns = 4'000'000;
constexpr std::int64_t most_backoff_ns = 64'000'000;
// A reader at least this fast, in bytes a nanosecond, outpaces wake-ups.
constexpr std::size_t fast_reader_bytes_per_ns = 2;
// The kernel refuses to shrink a pipe below what it holds: try again after this.
constexpr std::int64_t fit_interval_ns = 1'000'000;

} // namespace

VmsplicedOutput::VmsplicedOutput(int fd, std::size_t page) noexcept
    : fd_(fd)
    , nonblocking_(is_nonblocking(fd))
    , capacity_(capacity_of(fd))
    , start_capacity_(capacity_)
    // A piece from a mark to a mark covers one page more than its length.
    , reach_(capacity_ == 0      ? unbounded
              : capacity_ > page ? capacity_ - page
                                 : capacity_)
{
}

void VmsplicedOutput::use(const PipeSettings& settings) noexcept
{
    settings_ = settings;
    filled_up_ = filled_up_ && settings.waiting == Waiting::paced;
    if (settings.waiting != Waiting::fast) {
        reader_fast_ = false;
    }
    // At once, whenever the last try was: the teed way never tries again,
    // and would write into a pipe that a narrow way had just shrunk.
    next_fit_ns_ = 0;
    fit_pipe(now_ns());
}

bool VmsplicedOutput::waits_awake() const noexcept
{
    switch (settings_.waiting) {
    case Waiting::fast:
        return reader_fast_;
    case Waiting::emptied:
        // The clock only while backing off.
        return emptied_ && (backoff_ns_ == 0 || now_ns() >= spin_again_ns_);
    case Waiting::asleep:
    case Waiting::paced:
        break;
    }
    return false;
}

void VmsplicedOutput::note_refill(ssize_t moved, std::size_t offered) noexcept
{
    refill_ += moved > 0 ? static_cast<std::size_t>(moved) : 0;
    const bool most = 4 * refill_ >= 3 * capacity_;
    // A short put, or EAGAIN, leaves the pipe full: the refill ends there.
    // Asleep inside vmsplice the end of a refill may go unseen, so one that
    // already filled most of the pipe counts at once; if that was two
    // refills, the next put, awake, finds out.
    const bool full = moved < 0 ? errno == EAGAIN : static_cast<std::size_t>(moved) < offered;
    if (full && refill_ > 0) {
        emptied_ = most;
        refill_ = 0;
    } else if (most) {
        emptied_ = true;
    }
}

Shape VmsplicedOutput::shape() const noexcept
{
    Shape shape;
    shape.reach = std::min(reach_, settings_.reach);
    shape.span = settings_.span;
    return shape;
}

Put VmsplicedOutput::put(const char* data, std::size_t size) noexcept
{
    if (hands_pages_) {
        const bool paced = settings_.waiting == Waiting::paced;
        if (filled_up_) {
            // Not again at once for the page the reader just freed: the wait paces.
            filled_up_ = false;
            return Put::after(EAGAIN);
        }
        // Asleep, the kernel waits for room within the call: one system call
        // a refill. Awake, a full pipe says EAGAIN and wait_writable() spins.
        const bool sleep_inside = !nonblocking_ && !waits_awake() && !paced;
        const ssize_t n = hand_pages(fd_, data, size, sleep_inside ? 0U : SPLICE_F_NONBLOCK);
        note_refill(n, size);
        filled_up_ = paced && n > 0 && static_cast<std::size_t>(n) < size;
        if (n > 0 && sleep_inside) {
            // Since the last put: the reader's pace, sleep included.
            const std::int64_t now = now_ns();
            note_pace(now, now - last_put_ns_, static_cast<std::size_t>(n));
            last_put_ns_ = now;
        }
        if (n >= 0 || !refuses_the_call(errno)) {
            return Put::of(n);
        }
        hands_pages_ = false;
    }
    return Put::of(write(fd_, data, size));
}

bool VmsplicedOutput::wait_writable() noexcept
{
    const std::int64_t start = now_ns();
    pollfd p { fd_, POLLOUT, 0 };
    bool ready = false;
    // poll, unlike a vmsplice attempt, does not take the pipe's lock from the reader.
    const std::int64_t spin = settings_.waiting == Waiting::emptied ? emptied_spin_ns : max_spin_ns;
    const bool awake = waits_awake();
    std::int64_t spun_to = start;
    while (awake && !ready && spun_to - start < spin) {
        ready = poll(&p, 1, 0) == 1;
        spun_to = now_ns();
    }
    if (!ready) {
        // Whatever poll says, the next put tells the truth.
        poll(&p, 1, -1);
    }
    const std::int64_t woke = ready ? spun_to : now_ns();
    if (awake && settings_.waiting == Waiting::emptied) {
        // A reader that pauses between reads is not worth a CPU: counted
        // from the end of the wait, which took the reader's pause.
        backoff_ns_ = ready ? 0 : std::clamp(2 * backoff_ns_, least_backoff_ns, most_backoff_ns);
        spin_again_ns_ = woke + backoff_ns_;
    }
    if (!hands_pages_) {
        return false;
    }
    const int unread = unread_in(fd_);
    if (unread < 0) {
        reader_fast_ = false;
        return false;
    }
    const auto left = static_cast<std::size_t>(unread);
    note_pace(woke, woke - start, capacity_ > left ? capacity_ - left : 0);
    return unread == 0;
}

void VmsplicedOutput::note_pace(std::int64_t now, std::int64_t interval_ns, std::size_t freed) noexcept
{
    fit_pipe(now);
    // Faster than 2 GB/s over a short interval: the reader waits for us more
    // than we for it. Not after a long one, which means a reader that pauses
    // between reads.
    reader_fast_ = settings_.waiting == Waiting::fast && interval_ns <= max_spin_ns
        && freed >= fast_reader_bytes_per_ns * static_cast<std::size_t>(interval_ns);
}

void VmsplicedOutput::fit_pipe(std::int64_t now) noexcept
{
    const std::size_t want = std::min(start_capacity_, settings_.pipe);
    if (!hands_pages_ || want == capacity_ || want == 0 || now < next_fit_ns_) {
        return;
    }
    next_fit_ns_ = now + fit_interval_ns;
    const std::size_t after = resize_pipe(fd_, want);
    capacity_ = after > 0 ? after : capacity_;
}

} // namespace floodout
