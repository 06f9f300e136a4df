// A benchmark reference, not floodout: writes "TEXT\n" for ever the way a
// plain lab writer that beat floodout alone did. Whole lines, laid out so
// that the byte at stream position P sits at an address congruent to P mod
// 64, fill a ring of one 2 MiB huge page plus one period (lcm(line, 64));
// into a 1 MiB pipe it vmsplices, without blocking, from where it stopped to
// the ring's end, and the pipe takes what fits. A full pipe is waited for
// awake, up to 60 us, only while its last piece filled three quarters of the
// pipe or more (the reader had emptied it); otherwise asleep in poll.
// Elsewhere, or where vmsplice is refused, write(2).
#include "peer_common.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>

#include <cerrno>
#include <chrono>
#include <numeric>

int main(int argc, char** argv)
{
    constexpr std::size_t huge = std::size_t { 2 } << 20;
    constexpr int pipe_size = 1 << 20;
    constexpr auto spin = std::chrono::microseconds(60);
    const std::string line = peer::line_of(argc, argv);
    const std::size_t period = std::lcm(line.size(), std::size_t { 64 });
    // The ring's start keeps its phase when a piece wraps past `wrap`.
    const std::size_t wrap = huge / period * period > 0 ? huge / period * period : period;
    const std::size_t end = wrap + period;
    const std::size_t mapped = (end + huge - 1) / huge * huge;
    void* memory = mmap(nullptr, mapped + huge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        return 1;
    }
    auto* ring = reinterpret_cast<char*>((reinterpret_cast<std::uintptr_t>(memory) + huge - 1) / huge * huge);
    madvise(ring, mapped, MADV_HUGEPAGE);
    for (std::size_t i = 0; i < end; ++i) {
        ring[i] = line[i % line.size()];
    }
    struct stat st { };
    if (fstat(STDOUT_FILENO, &st) != 0 || !S_ISFIFO(st.st_mode)) {
        peer::write_for_ever(ring, wrap, 0);
    }
    fcntl(STDOUT_FILENO, F_SETPIPE_SZ, pipe_size);
    const int capacity = fcntl(STDOUT_FILENO, F_GETPIPE_SZ);
    std::size_t at = 0;
    ssize_t last = 0;
    for (;;) {
        iovec piece { ring + at, end - at };
        const ssize_t n = vmsplice(STDOUT_FILENO, &piece, 1, SPLICE_F_NONBLOCK);
        if (n > 0) {
            at += static_cast<std::size_t>(n);
            at = at >= wrap ? at - wrap : at;
            last = n;
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n == 0 || errno != EAGAIN) {
            peer::write_for_ever(ring, wrap, at);
        }
        pollfd p { STDOUT_FILENO, POLLOUT, 0 };
        bool ready = false;
        if (4 * last >= 3 * capacity) {
            const auto until = std::chrono::steady_clock::now() + spin;
            while (!ready && std::chrono::steady_clock::now() < until) {
                ready = poll(&p, 1, 0) == 1;
            }
        }
        if (!ready) {
            poll(&p, 1, -1);
        }
    }
}
