#include "allowance.hpp"
#include "block.hpp"
#include "count.hpp"
#include "datagram.hpp"
#include "load.hpp"
#include "output.hpp"
#include "pipe.hpp"
#include "pipe_fd.hpp"
#include "spliced.hpp"
#include "writer.hpp"
#include "written.hpp"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

// The most an unprivileged process may ask for by default; larger pipes
// measured no faster.
constexpr std::size_t pipe_bytes = std::size_t { 1 } << 20;

// Everything produced is already in the kernel's hands, so there is nothing
// to flush: end at once, without touching state the loop may be using.
void handler(int /*signal*/)
{
    _exit(0);
}

// The write loop and its preparation, which may take milliseconds (the block
// can be megabytes, on huge pages the kernel may first have to compact):
// only after the alarm is armed, so that a SIGALRM meanwhile finds its
// handler and ends the run with nothing written.
[[noreturn]] void write_for_ever(char* copy, std::size_t size)
{
    if (size == 0) {
        for (;;) {
            pause();
        }
    }
    const floodout::Allowance allowance = floodout::read_allowance();
    const long page = sysconf(_SC_PAGESIZE);
    const floodout::Block block = floodout::Block::make(
        std::string_view(copy, size), page > 0 ? static_cast<std::size_t>(page) : 4096, allowance.memory);
    if (block.empty()) {
        _exit(EXIT_FAILURE); // not even one text fits; nothing was written
    }
    // The block holds the text from here on; in a tight container every
    // page counts.
    std::free(copy);
    const floodout::OutputKind kind = floodout::classify_output(STDOUT_FILENO);
    switch (kind) {
    case floodout::OutputKind::pipe: {
        // What a pipe holds is charged to this process where it is written
        // rather than spliced into.
        const std::size_t pipe_room = std::min(pipe_bytes, allowance.memory);
        floodout::enlarge_pipe(STDOUT_FILENO, pipe_room);
        floodout::Load load(allowance.online_cpus);
        floodout::PipeOutput out(STDOUT_FILENO, block, pipe_room, allowance.several_cpus ? &load : nullptr);
        floodout::Writer(block, out).run();
    }
    case floodout::OutputKind::udp:
    case floodout::OutputKind::datagram: {
        floodout::DatagramOutput out(STDOUT_FILENO, size, kind == floodout::OutputKind::udp);
        floodout::Writer(block, out).run();
    }
    case floodout::OutputKind::unix_stream: {
        floodout::SplicedOutput out(STDOUT_FILENO, block.page());
        floodout::Writer(block, out).run();
    }
    case floodout::OutputKind::tcp:
    case floodout::OutputKind::other:
        break;
    }
    floodout::WrittenOutput out(STDOUT_FILENO, kind, block.page());
    floodout::Writer(block, out).run();
}

} // namespace

int main(int argc, char** argv)
{
    // The count of seconds; an empty argument vector counts as none.
    const std::int32_t seconds = argc > 1 ? floodout::parse_count(argv[1]) : 0;

    // The handler before the copy of the text: reading and copying a long
    // argument into fresh pages took half a millisecond on our machines, a
    // window in which an early SIGALRM would kill the process. Nothing is
    // written before the alarm is armed, so the order is not seen otherwise.
    struct sigaction action { };
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGALRM, &action, nullptr);

    // A private copy of the text; status 1 when not even that fits.
    const char* text = argc > 2 ? argv[2] : "X";
    const std::size_t size = std::strlen(text);
    auto* copy = static_cast<char*>(std::malloc(size + 1));
    if (copy == nullptr) {
        return EXIT_FAILURE;
    }
    std::memcpy(copy, text, size + 1);

    // Always called: a count of 0 cancels an alarm inherited across exec.
    alarm(floodout::alarm_seconds(seconds));

    // Write for ever; only a signal ends the run.
    write_for_ever(copy, size);
}
