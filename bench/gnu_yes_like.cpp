// A benchmark reference, not floodout: writes "TEXT\n" for ever the way GNU
// yes 9.11 does, as its release notes describe it. Into a pipe it enlarges
// the pipe to 512 KiB and vmsplices a page-aligned buffer of a quarter of
// that; elsewhere it vmsplices into a private pipe and splices that to
// stdout. Where either is refused, write(2).
#include "peer_common.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>

int main(int argc, char** argv)
{
    constexpr int pipe_size = 512 << 10;
    const std::string line = peer::line_of(argc, argv);
    struct stat st { };
    const bool into_pipe = fstat(STDOUT_FILENO, &st) == 0 && S_ISFIFO(st.st_mode);
    int private_pipe[2] = { -1, -1 };
    int target = STDOUT_FILENO;
    if (into_pipe) {
        fcntl(STDOUT_FILENO, F_SETPIPE_SZ, pipe_size);
    } else if (pipe(private_pipe) == 0) {
        fcntl(private_pipe[1], F_SETPIPE_SZ, pipe_size);
        target = private_pipe[1];
    }
    const int size = fcntl(target, F_GETPIPE_SZ);
    std::size_t filled = 0;
    char* buffer = peer::whole_lines(line, size > 0 ? static_cast<std::size_t>(size) / 4 : 8192, filled);
    std::size_t offset = 0;
    bool spliced = false;
    for (;;) {
        iovec piece { buffer + offset, filled - offset };
        const ssize_t n = size > 0 ? vmsplice(target, &piece, 1, 0) : -1;
        if (n <= 0) {
            peer::write_for_ever(buffer, filled, offset);
        }
        if (!into_pipe) {
            for (ssize_t left = n; left > 0;) {
                const ssize_t moved = splice(private_pipe[0], nullptr, STDOUT_FILENO, nullptr,
                    static_cast<std::size_t>(left), SPLICE_F_MOVE);
                if (moved <= 0 && !spliced) {
                    peer::write_for_ever(buffer, filled, offset); // nothing reached stdout yet
                }
                if (moved <= 0) {
                    return 1;
                }
                spliced = true;
                left -= moved;
            }
        }
        offset = (offset + static_cast<std::size_t>(n)) % filled;
    }
}
