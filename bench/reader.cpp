// Drains stdin until EOF and prints "<bytes> <seconds from first byte to EOF>".
//   bench_reader read SIZE OFFSET   read(2) of SIZE bytes into a buffer that
//                                   starts OFFSET bytes past a page boundary
//   bench_reader splice             splice(2) into /dev/null, 1 MiB a call
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv)
{
    const bool use_splice = argc > 1 && std::strcmp(argv[1], "splice") == 0;
    const std::size_t piece
        = !use_splice && argc > 2 ? std::strtoul(argv[2], nullptr, 0) : std::size_t { 1 } << 20;
    const std::size_t offset = !use_splice && argc > 3 ? std::strtoul(argv[3], nullptr, 0) : 0;
    const long page = sysconf(_SC_PAGESIZE);
    void* map = mmap(nullptr, piece + offset + static_cast<std::size_t>(page), PROT_READ | PROT_WRITE,
        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED) {
        return 1;
    }
    char* buffer = static_cast<char*>(map) + offset;
    const int devnull = open("/dev/null", O_WRONLY);
    long long bytes = 0;
    std::chrono::steady_clock::time_point first;
    for (;;) {
        const ssize_t n = use_splice ? splice(STDIN_FILENO, nullptr, devnull, nullptr, piece, SPLICE_F_MOVE)
                                     : read(STDIN_FILENO, buffer, piece);
        if (n <= 0) {
            break;
        }
        if (bytes == 0) {
            first = std::chrono::steady_clock::now();
        }
        bytes += n;
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - first;
    std::printf("%lld %.6f\n", bytes, took.count());
    return 0;
}
