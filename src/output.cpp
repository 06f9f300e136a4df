#include "output.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace floodout {

ssize_t FdOutput::put(const char* data, std::size_t size) noexcept
{
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
