// A lab writer, not floodout: floodout's block and writer into a pipe, with
// one way of writing fixed by its options, so that variants that differ in
// one respect at a time can be measured side by side.
//   bench_lab [NAME=VALUE...] SECONDS TEXT
//     pipe=BYTES     the pipe's size (1 MiB)
//     reach=BYTES    the longest piece (the pipe's size less a page); 0: to the
//                    block's end, the pipe taking what fits
//     span=BYTES     how far past the block's start bound a piece may begin
//                    (no bound)
//     marks=0        pieces end anywhere, not at the block's mark
//     wait=sleep     inside vmsplice (the default); poll: never inside
//                    vmsplice, asleep in poll; fast: awake while the reader
//                    outpaces wake-ups, as floodout's awake way; emptied: awake
//                    after a piece that filled 3/4 of the pipe or more
//     spin=US        the longest wait awake (100)
#include "block.hpp"
#include "output.hpp"
#include "pipe_fd.hpp"
#include "writer.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

enum class Wait { sleep, poll, fast, emptied };

struct Options {
    std::size_t pipe = std::size_t { 1 } << 20;
    std::size_t reach = floodout::unbounded; // unbounded: the pipe less a page
    std::size_t span = floodout::unbounded;
    bool marks = true;
    Wait wait = Wait::sleep;
    std::int64_t spin_ns = 100'000;
};

class LabOutput {
public:
    LabOutput(const Options& options, std::size_t page)
        : options_(options)
        , capacity_(floodout::capacity_of(STDOUT_FILENO))
    {
        shape_.reach = options.reach == floodout::unbounded ? capacity_ - page
            : options.reach == 0                            ? floodout::unbounded
                                                            : options.reach;
        shape_.shortest = options.reach == 0 ? 1 : 0;
        shape_.span = options.span;
        shape_.grain = options.marks ? 0 : 1;
    }

    floodout::Put put(const char* data, std::size_t size)
    {
        const bool inside = options_.wait == Wait::sleep || (options_.wait == Wait::fast && !fast_);
        const ssize_t n = floodout::hand_pages(STDOUT_FILENO, data, size, inside ? 0U : SPLICE_F_NONBLOCK);
        if (n > 0) {
            const std::int64_t now = floodout::now_ns();
            if (inside) {
                note(now - last_ns_, static_cast<std::size_t>(n));
            }
            last_ns_ = now;
            last_ = static_cast<std::size_t>(n);
        }
        return floodout::Put::of(n);
    }

    bool wait_writable()
    {
        const std::int64_t start = floodout::now_ns();
        pollfd p { STDOUT_FILENO, POLLOUT, 0 };
        const bool awake = (options_.wait == Wait::fast && fast_)
            || (options_.wait == Wait::emptied && 4 * last_ >= 3 * capacity_);
        bool ready = false;
        while (awake && !ready && floodout::now_ns() - start < options_.spin_ns) {
            ready = poll(&p, 1, 0) == 1;
        }
        if (!ready) {
            poll(&p, 1, -1);
        }
        const int unread = floodout::unread_in(STDOUT_FILENO);
        const std::size_t left = unread > 0 ? static_cast<std::size_t>(unread) : 0;
        note(floodout::now_ns() - start, capacity_ > left ? capacity_ - left : 0);
        return unread == 0;
    }

    [[nodiscard]] floodout::Shape shape() const { return shape_; }
    static void back_off() { floodout::pause_after_failure(); }

private:
    void note(std::int64_t interval_ns, std::size_t freed)
    {
        fast_ = interval_ns <= options_.spin_ns && freed >= 2 * static_cast<std::size_t>(interval_ns);
    }

    Options options_;
    std::size_t capacity_;
    floodout::Shape shape_;
    bool fast_ = false;
    std::size_t last_ = 0;
    std::int64_t last_ns_ = 0;
};

void handler(int /*signal*/)
{
    _exit(0);
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    int at = 1;
    for (; at < argc && std::strchr(argv[at], '=') != nullptr; ++at) {
        const std::string arg = argv[at];
        const std::string name = arg.substr(0, arg.find('='));
        const std::string value = arg.substr(arg.find('=') + 1);
        const std::size_t number = std::strtoul(value.c_str(), nullptr, 0);
        if (name == "pipe") {
            options.pipe = number;
        } else if (name == "reach") {
            options.reach = number;
        } else if (name == "span") {
            options.span = number;
        } else if (name == "marks") {
            options.marks = number != 0;
        } else if (name == "spin") {
            options.spin_ns = static_cast<std::int64_t>(number) * 1000;
        } else if (name == "wait") {
            options.wait = value == "poll" ? Wait::poll
                : value == "fast"          ? Wait::fast
                : value == "emptied"       ? Wait::emptied
                                           : Wait::sleep;
        } else {
            std::fprintf(stderr, "bench_lab: what is %s?\n", argv[at]);
            return 2;
        }
    }
    if (argc - at != 2) {
        std::fprintf(stderr, "usage: bench_lab [NAME=VALUE...] SECONDS TEXT\n");
        return 2;
    }
    signal(SIGALRM, handler);
    alarm(static_cast<unsigned>(std::atoi(argv[at])));
    const floodout::Block block
        = floodout::Block::make(argv[at + 1], static_cast<std::size_t>(sysconf(_SC_PAGESIZE)));
    if (block.empty() || fcntl(STDOUT_FILENO, F_SETPIPE_SZ, static_cast<int>(options.pipe)) < 0) {
        return 1;
    }
    LabOutput out(options, block.page());
    floodout::Writer(block, out).run();
}
