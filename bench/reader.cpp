// Drains stdin until EOF, with read(2) into a 1 MiB buffer or splice(2) into
// /dev/null, and prints "<bytes> <seconds from first byte to EOF>".
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

int main(int argc, char** argv)
{
    const bool use_splice = argc > 1 && std::strcmp(argv[1], "splice") == 0;
    const std::size_t piece = std::size_t { 1 } << 20;
    std::vector<char> buffer(use_splice ? 0 : piece);
    const int devnull = open("/dev/null", O_WRONLY);
    long long bytes = 0;
    std::chrono::steady_clock::time_point first;
    for (;;) {
        const ssize_t n = use_splice ? splice(STDIN_FILENO, nullptr, devnull, nullptr, piece, SPLICE_F_MOVE)
                                     : read(STDIN_FILENO, buffer.data(), piece);
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
