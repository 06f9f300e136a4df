#include "output.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <ctime>

namespace floodout {

Put Put::of(ssize_t n) noexcept
{
    if (n > 0) {
        return moved(static_cast<std::size_t>(n));
    }
    // Nothing taken and no error: as good as a failure, or it would spin.
    return n == 0 ? Put { Status::failed, 0, 0 } : after(errno);
}

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
    return inet && type == SOCK_STREAM ? OutputKind::tcp : OutputKind::other;
}

bool wait_until_writable(int fd) noexcept
{
    pollfd p { fd, POLLOUT, 0 };
    poll(&p, 1, -1);
    return false;
}

void pause_after_failure() noexcept
{
    const timespec pause { 0, 20'000'000 };
    nanosleep(&pause, nullptr);
}

} // namespace floodout
