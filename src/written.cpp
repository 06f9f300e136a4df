#include "written.hpp"

#include "way.hpp"

#include <sys/stat.h>
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

// The kernel copies what a file is given into its page cache, from the
// block: pieces that start near the block's start keep their source in the
// cache, where pieces of the whole block fetch it from memory at each write.
constexpr std::size_t file_reach = std::size_t { 256 } << 10;
constexpr std::size_t file_span = std::size_t { 64 } << 10;

bool regular_file(int fd) noexcept
{
    struct stat st { };
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

} // namespace

WrittenOutput::WrittenOutput(int fd, OutputKind kind, std::size_t page) noexcept
    : fd_(fd)
{
    if (kind == OutputKind::tcp) {
        shape_.reach = socket_reach;
        // Where pages are larger, the socket's pages are too.
        shape_.grain = std::max(socket_grain, page);
    } else if (regular_file(fd)) {
        shape_.reach = reach_in_pages(file_reach, page);
        shape_.span = span_in_pages(file_span, page);
    }
}

Put WrittenOutput::put(const char* data, std::size_t size) noexcept
{
    return Put::of(write(fd_, data, size));
}

} // namespace floodout
