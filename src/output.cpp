#include "output.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

namespace floodout {

OutputKind classify_output(int fd) noexcept
{
    struct stat st { };
    return fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode) ? OutputKind::pipe : OutputKind::other;
}

void enlarge_pipe(int fd, std::size_t bytes) noexcept
{
    const int now = fcntl(fd, F_GETPIPE_SZ);
    // Above the system's limit the kernel says EPERM; try smaller sizes
    // rather than read the limit from /proc, which would open a file.
    constexpr std::size_t largest = std::size_t { 1 } << 30; // fits the int that fcntl takes
    for (std::size_t size = std::min(bytes, largest); now >= 0 && size > static_cast<std::size_t>(now);
         size /= 2) {
        if (fcntl(fd, F_SETPIPE_SZ, static_cast<int>(size)) >= 0 || errno != EPERM) {
            return;
        }
    }
}

FdOutput::FdOutput(int fd, OutputKind kind) noexcept
    : fd_(fd)
    , splice_(kind == OutputKind::pipe)
{
    // vmsplice may block on a pipe that is O_NONBLOCK unless told not to.
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK) != 0) {
        splice_flags_ = SPLICE_F_NONBLOCK;
    }
}

ssize_t FdOutput::put(const char* data, std::size_t size) noexcept
{
    if (splice_) {
        // vmsplice only reads the pages, but its iovec is not const.
        iovec piece { const_cast<char*>(data), size }; // NOLINT(cppcoreguidelines-pro-type-const-cast)
        const ssize_t n = vmsplice(fd_, &piece, 1, splice_flags_);
        if (n >= 0) {
            return n;
        }
        if (errno != EINVAL && errno != EBADF && errno != ENOSYS) {
            return -errno;
        }
        splice_ = false; // not a pipe after all: write from now on
    }
    const ssize_t n = write(fd_, data, size);
    return n < 0 ? -errno : n;
}

void FdOutput::wait_writable() const noexcept
{
    pollfd p { fd_, POLLOUT, 0 };
    // Whatever poll says, the next write tells the truth.
    poll(&p, 1, -1);
}

void FdOutput::back_off() noexcept
{
    // Long enough to cost no CPU, short enough to resume soon when the
    // output takes bytes again.
    const timespec pause { 0, 20'000'000 };
    nanosleep(&pause, nullptr);
}

} // namespace floodout
