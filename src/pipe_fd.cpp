#include "pipe_fd.hpp"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/uio.h>

#include <algorithm>
#include <bit>
#include <cerrno>

namespace floodout {

int unread_in(int fd) noexcept
{
    int unread = 0;
    return ioctl(fd, FIONREAD, &unread) == 0 && unread >= 0 ? unread : -1;
}

std::size_t capacity_of(int fd) noexcept
{
    const int size = fcntl(fd, F_GETPIPE_SZ);
    return size > 0 ? static_cast<std::size_t>(size) : 0;
}

std::size_t resize_pipe(int fd, std::size_t bytes) noexcept
{
    // fcntl takes an int; the kernel caps a pipe far below that anyway.
    constexpr std::size_t largest = std::size_t { 1 } << 30;
    fcntl(fd, F_SETPIPE_SZ, static_cast<int>(std::min(bytes, largest)));
    return capacity_of(fd);
}

std::size_t enlarge_pipe(int fd, std::size_t bytes) noexcept
{
    const std::size_t now = capacity_of(fd);
    // Above the system's limit the kernel says EPERM; try smaller sizes
    // rather than read the limit from /proc, which would open a file. The
    // kernel rounds a size up to a power of two.
    constexpr std::size_t largest = std::size_t { 1 } << 30;
    for (std::size_t size = std::bit_floor(std::min(bytes, largest)); now > 0 && size > now; size /= 2) {
        if (fcntl(fd, F_SETPIPE_SZ, static_cast<int>(size)) >= 0 || errno != EPERM) {
            break;
        }
    }
    return capacity_of(fd);
}

bool is_nonblocking(int fd) noexcept
{
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && (flags & O_NONBLOCK) != 0;
}

ssize_t hand_pages(int fd, const char* data, std::size_t size, unsigned flags) noexcept
{
    // vmsplice only reads the pages, but its iovec is not const.
    iovec piece { const_cast<char*>(data), size }; // NOLINT(cppcoreguidelines-pro-type-const-cast)
    return vmsplice(fd, &piece, 1, flags);
}

bool refuses_the_call(int error) noexcept
{
    return error != EAGAIN && error != EWOULDBLOCK && error != EINTR && error != EPIPE;
}

} // namespace floodout
