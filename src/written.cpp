#include "written.hpp"

#include <unistd.h>

#include <algorithm>

namespace floodout {
namespace {

// The kernel copies what a TCP socket is given into pages of its own, 32 KiB
// here (docs/performance.md): a write that ends where one ends lets the next
// start a fresh one, so the stream keeps the block's alignment there. A
// larger write only waits longer for room.
constexpr std::size_t socket_grain = std::size_t { 32 } << 10;
constexpr std::size_t socket_reach = std::size_t { 2 } << 20;

} // namespace

WrittenOutput::WrittenOutput(int fd, OutputKind kind, std::size_t page) noexcept
    : fd_(fd)
{
    if (kind == OutputKind::tcp) {
        shape_.reach = socket_reach;
        // Where pages are larger, the socket's pages are too.
        shape_.grain = std::max(socket_grain, page);
    }
}

Put WrittenOutput::put(const char* data, std::size_t size) noexcept
{
    return Put::of(write(fd_, data, size));
}

} // namespace floodout
