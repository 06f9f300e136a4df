// A benchmark reference, not floodout: writes "TEXT\n" for ever the way
// uutils yes does, as its sources are described: it fills a pipe with whole
// lines once, then tee(2)s that pipe into a go-between pipe and splices the
// go-between to stdout; all three pipes as large as they may be. Where that
// is refused, write(2).
#include "peer_common.hpp"

#include <fcntl.h>

int main(int argc, char** argv)
{
    const std::string line = peer::line_of(argc, argv);
    int full[2] = { -1, -1 };
    int between[2] = { -1, -1 };
    std::size_t filled = 0;
    if (pipe(full) != 0 || pipe(between) != 0) {
        char* buffer = peer::whole_lines(line, 8192, filled);
        peer::write_for_ever(buffer, filled, 0);
    }
    // Both, and stdout where it is a pipe, as large as an unprivileged
    // process may make them.
    fcntl(full[1], F_SETPIPE_SZ, 1 << 20);
    fcntl(STDOUT_FILENO, F_SETPIPE_SZ, 1 << 20); // fails harmlessly elsewhere
    const int size = fcntl(full[1], F_GETPIPE_SZ);
    fcntl(between[1], F_SETPIPE_SZ, size);
    char* buffer = peer::whole_lines(line, static_cast<std::size_t>(size), filled);
    for (std::size_t at = 0; at < filled;) {
        const ssize_t n = write(full[1], buffer + at, filled - at);
        if (n <= 0) {
            return 1;
        }
        at += static_cast<std::size_t>(n);
    }
    for (;;) {
        // The go-between is empty: it takes all of the full pipe.
        const ssize_t copied = tee(full[0], between[1], filled, 0);
        if (copied != static_cast<ssize_t>(filled)) {
            peer::write_for_ever(buffer, filled, 0);
        }
        for (ssize_t left = copied; left > 0;) {
            const ssize_t moved = splice(
                between[0], nullptr, STDOUT_FILENO, nullptr, static_cast<std::size_t>(left), SPLICE_F_MOVE);
            if (moved <= 0) {
                if (left == copied) {
                    peer::write_for_ever(buffer, filled, 0);
                }
                return 1;
            }
            left -= moved;
        }
    }
}
