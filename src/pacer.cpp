#include "pacer.hpp"

#include "pipe_fd.hpp"

#include <poll.h>
#include <sys/prctl.h>

#include <algorithm>
#include <cstddef>
#include <ctime>

namespace floodout {

Pacer::Pacer() noexcept
{
    // Naps of tens of microseconds: the default slack of 50 us would let
    // a fast reader empty the pipe and wait.
    prctl(PR_SET_TIMERSLACK, 1UL);
}

bool Pacer::wait(int fd) noexcept
{
    timespec nap {};
    nap.tv_nsec = static_cast<decltype(nap.tv_nsec)>(nap_ns_); // under a second: fits 32 bits too
    nanosleep(&nap, nullptr); // the alarm ends it too
    const int unread = unread_in(fd);
    const std::size_t capacity = capacity_of(fd);
    if (unread >= 0 && capacity > 0) {
        const auto left = static_cast<std::size_t>(unread);
        if (2 * left > capacity) {
            nap_ns_ = std::min(nap_ns_ * 3 / 2 + 1'000, most_nap_ns);
        } else if (4 * left < capacity) {
            nap_ns_ = std::max(nap_ns_ * 2 / 3, least_nap_ns);
        }
        if (left < capacity) {
            return left == 0;
        }
    }
    pollfd p { fd, POLLOUT, 0 };
    poll(&p, 1, -1);
    return false;
}

} // namespace floodout
