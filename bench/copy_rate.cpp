// The CPU's copy rate, in GB/s, of 4 KiB pages with (destination - source)
// mod 64 at each offset given: rep movsb, as the kernel copies to and from
// user memory. Some CPUs copy many times slower at some offsets; this tells
// tables from different machines apart.
//   bench_copy_rate OFFSET...        from a 1 MiB source into a 1 MiB destination
//   bench_copy_rate limit OFFSET...  from a cache-hot 64 KiB source, as a pipe's
//                                    pages are, into a 1 MiB destination, as a
//                                    reader's buffer: what any reader of a
//                                    pipe can take at most
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void copy(char* to, const char* from, std::size_t n)
{
#if defined(__x86_64__) || defined(__i386__)
    asm volatile("rep movsb" : "+D"(to), "+S"(from), "+c"(n) : : "memory");
#else
    std::memcpy(to, from, n);
#endif
}

} // namespace

int main(int argc, char** argv)
{
    constexpr std::size_t page = 4096;
    constexpr std::size_t size = std::size_t { 1 } << 20;
    auto* from = static_cast<char*>(std::aligned_alloc(page, size + 2 * page));
    auto* to = static_cast<char*>(std::aligned_alloc(page, size + 2 * page));
    std::memset(from, 1, size + 2 * page);
    std::memset(to, 2, size + 2 * page);
    const bool limit = argc > 1 && std::strcmp(argv[1], "limit") == 0;
    // The source pages cycled through: all of it, or 64 KiB that stay in the cache.
    const std::size_t source = limit ? std::size_t { 64 } << 10 : size;
    for (int a = limit ? 2 : 1; a < argc; ++a) {
        const std::size_t shift = std::strtoul(argv[a], nullptr, 0);
        double best = 0;
        for (int round = 0; round < 5; ++round) {
            const auto start = std::chrono::steady_clock::now();
            for (int i = 0; i < 50; ++i) {
                for (std::size_t p = 0; p < size; p += page) {
                    copy(to + p + shift, from + p % source, page);
                }
            }
            const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
            best = std::max(best, 50.0 * static_cast<double>(size) / took.count() / 1e9);
        }
        std::printf("%s%zu:%.1f", a > (limit ? 2 : 1) ? " " : "", shift, best);
    }
    std::printf("\n");
    std::free(from);
    std::free(to);
    return 0;
}
