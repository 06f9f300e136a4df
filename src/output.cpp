#include "output.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <ctime>

namespace floodout {
namespace {

// Long enough to cover a reader's copy of a whole 1 MiB pipe, several times
// shorter than the pause of a reader that sleeps between reads.
constexpr std::int64_t max_spin_ns = 100'000;
// A reader at least this fast, in bytes a nanosecond, outpaces wake-ups.
constexpr std::size_t fast_reader_bytes_per_ns = 2;

// The narrow way, for a writer and a reader that take turns on one CPU and
// share its cache: pieces start within a narrow window of the block and the
// pipe holds half as much. On an Intel Xeon two floods on two CPUs, each
// read 1 MiB at a time, carried 1.8 times as much this way, four 1.3 times
// as much with a 64 KiB window as with 256 KiB; on an AMD EPYC it doubled
// the writer's CPU a GB.
constexpr std::size_t narrow_reach = std::size_t { 128 } << 10;
constexpr std::size_t narrow_span = std::size_t { 64 } << 10;
constexpr std::size_t narrow_pipe = std::size_t { 512 } << 10;
constexpr std::int64_t fit_interval_ns = 1'000'000;

// The kernel copies what a TCP socket is given into 32 KiB pages of its own.
// A write that ends where one of those ends lets the next start a fresh one,
// so that the stream keeps the same alignment there as in the block: writes
// that end elsewhere measured up to 1.7 times slower, mostly in the reader's
// copy. A larger write only waits longer for room in the socket. Unix
// sockets take whole pages of their own for each packet, and measured no
// faster this way.
constexpr std::size_t socket_grain = std::size_t { 32 } << 10;
constexpr std::size_t socket_reach = std::size_t { 2 } << 20;

} // namespace

std::int64_t now_ns() noexcept
{
    timespec t {};
    if (clock_gettime(CLOCK_MONOTONIC, &t) != 0) {
        return -1;
    }
    return std::int64_t { t.tv_sec } * 1'000'000'000 + t.tv_nsec;
}

OutputKind classify_output(int fd) noexcept
{
    struct stat st { };
    if (fstat(fd, &st) != 0) {
        return OutputKind::other;
    }
    if (S_ISFIFO(st.st_mode)) {
        return OutputKind::pipe;
    }
    int type = 0;
    socklen_t type_length = sizeof type;
    sockaddr_storage address {};
    socklen_t length = sizeof address;
    if (!S_ISSOCK(st.st_mode) || getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &type_length) != 0
        || getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) { // NOLINT
        return OutputKind::other;
    }
    const bool inet = address.ss_family == AF_INET || address.ss_family == AF_INET6;
    if (type == SOCK_DGRAM) {
        return inet ? OutputKind::udp : OutputKind::datagram;
    }
    if (type == SOCK_SEQPACKET) {
        return OutputKind::datagram;
    }
    if (type == SOCK_STREAM && address.ss_family == AF_UNIX) {
        return OutputKind::unix_stream;
    }
    return inet && type == SOCK_STREAM ? OutputKind::inet_socket : OutputKind::other;
}

void enlarge_pipe(int fd, std::size_t bytes) noexcept
{
    const int now = fcntl(fd, F_GETPIPE_SZ);
    // Above the system's limit the kernel says EPERM; try smaller sizes
    // rather than read the limit from /proc, which would open a file.
    // The kernel rounds a size up to a power of two.
    constexpr std::size_t largest = std::size_t { 1 } << 30; // fits the int that fcntl takes
    for (std::size_t size = std::bit_floor(std::min(bytes, largest));
         now >= 0 && size > static_cast<std::size_t>(now); size /= 2) {
        if (fcntl(fd, F_SETPIPE_SZ, static_cast<int>(size)) >= 0 || errno != EPERM) {
            return;
        }
    }
}

FdOutput::FdOutput(int fd, OutputKind kind, std::size_t page) noexcept
    : fd_(fd)
    , splice_(kind == OutputKind::pipe)
    , narrow_reach_(std::max(narrow_reach, page))
    , narrow_span_(std::max(narrow_span, 2 * page))
    , reach_(~std::size_t { 0 })
{
    const int flags = fcntl(fd, F_GETFL);
    nonblocking_ = flags >= 0 && (flags & O_NONBLOCK) != 0;
    if (kind == OutputKind::inet_socket) {
        reach_ = socket_reach;
        // Where pages are larger, the socket's pages are too.
        grain_ = std::max(socket_grain, page);
    }
    const int size = splice_ ? fcntl(fd, F_GETPIPE_SZ) : -1;
    if (size > 0) {
        capacity_ = static_cast<std::size_t>(size);
        full_capacity_ = capacity_;
        // A piece from a mark to a mark covers one page more than its length.
        reach_ = capacity_ > page ? capacity_ - page : capacity_;
    }
}

ssize_t FdOutput::put(const char* data, std::size_t size) noexcept
{
    if (splice_) {
        // Asleep, the kernel waits for room within the call: one system call
        // a refill. Awake, a full pipe says EAGAIN and wait_writable() spins.
        const bool sleep_inside = !nonblocking_ && !awake_;
        // vmsplice only reads the pages, but its iovec is not const.
        iovec piece { const_cast<char*>(data), size }; // NOLINT(cppcoreguidelines-pro-type-const-cast)
        const ssize_t n = vmsplice(fd_, &piece, 1, sleep_inside ? 0U : SPLICE_F_NONBLOCK);
        if (n > 0 && sleep_inside) {
            // Since the last put: the reader's pace, sleep included.
            const std::int64_t now = now_ns();
            after_wait(now, now - last_put_ns_, static_cast<std::size_t>(n));
            last_put_ns_ = now;
        }
        if (n >= 0 || errno == EAGAIN || errno == EINTR || errno == EPIPE) {
            return n >= 0 ? n : -errno;
        }
        // Refused (not a pipe after all, a filter, no memory to pin the
        // pages, an old kernel): write from now on, and let write say.
        splice_ = false;
    }
    const ssize_t n = write(fd_, data, size);
    return n < 0 ? -errno : n;
}

void FdOutput::wait_writable() noexcept
{
    const std::int64_t start = now_ns();
    pollfd p { fd_, POLLOUT, 0 };
    bool ready = false;
    // poll, unlike a vmsplice attempt, does not take the pipe's lock from the reader.
    while (awake_ && !ready && now_ns() - start < max_spin_ns) {
        ready = poll(&p, 1, 0) == 1;
    }
    if (!ready) {
        // Whatever poll says, the next put tells the truth.
        poll(&p, 1, -1);
    }
    if (!splice_) {
        return;
    }
    int unread = 0;
    if (ioctl(fd_, FIONREAD, &unread) != 0 || unread < 0) {
        unread_after_wait_ = -1;
        awake_ = false;
        return;
    }
    unread_after_wait_ = unread;
    const auto left = static_cast<std::size_t>(unread);
    const std::int64_t now = now_ns();
    after_wait(now, now - start, capacity_ > left ? capacity_ - left : 0);
}

void FdOutput::use(Way way) noexcept
{
    may_wait_awake_ = way == Way::awake;
    awake_ = awake_ && may_wait_awake_;
    narrow_ = way == Way::narrow;
    fit_pipe(now_ns());
}

void FdOutput::after_wait(std::int64_t now, std::int64_t waited, std::size_t freed) noexcept
{
    // The reader took bytes faster than 2 GB/s over a short wait: it waits
    // for us more than we for it, so stay awake (pv taking 128 KiB a call
    // got 1.3 times as much this way). Not after a long wait, which means a
    // reader that pauses between reads.
    fit_pipe(now);
    awake_ = may_wait_awake_ && waited <= max_spin_ns
        && freed >= fast_reader_bytes_per_ns * static_cast<std::size_t>(waited);
}

void FdOutput::fit_pipe(std::int64_t now) noexcept
{
    const std::size_t want = narrow_ ? std::min(full_capacity_, narrow_pipe) : full_capacity_;
    if (!splice_ || want == capacity_ || want == 0 || now < next_fit_ns_) {
        return;
    }
    // The kernel refuses to shrink a pipe below what it holds (EBUSY): try
    // again later rather than at every piece.
    next_fit_ns_ = now + fit_interval_ns;
    if (fcntl(fd_, F_SETPIPE_SZ, static_cast<int>(want)) >= 0) {
        const int size = fcntl(fd_, F_GETPIPE_SZ);
        capacity_ = size > 0 ? static_cast<std::size_t>(size) : want;
    }
}

bool FdOutput::drained() noexcept
{
    const int unread = unread_after_wait_;
    unread_after_wait_ = -1;
    return unread == 0;
}

void wait_until_writable(int fd) noexcept
{
    pollfd p { fd, POLLOUT, 0 };
    poll(&p, 1, -1);
}

void pause_after_failure() noexcept
{
    const timespec pause { 0, 20'000'000 };
    nanosleep(&pause, nullptr);
}

void FdOutput::back_off() noexcept
{
    pause_after_failure();
}

} // namespace floodout
