#include "block.hpp"
#include "count.hpp"
#include "output.hpp"
#include "writer.hpp"

#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

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

} // namespace

int main(int argc, char** argv)
{
    // 1-2. The count of seconds; an empty argument vector counts as none.
    const std::int32_t seconds = argc > 1 ? floodout::parse_count(argv[1]) : 0;

    // 3. The private copy of the text, laid out as the block of repetitions.
    const char* text = argc > 2 ? argv[2] : "X";
    const bool nothing_to_write = *text == '\0';
    const long page = sysconf(_SC_PAGESIZE);
    const floodout::Block block
        = floodout::Block::make(text, page > 0 ? static_cast<std::size_t>(page) : 4096);
    if (block.empty() && !nothing_to_write) {
        return EXIT_FAILURE;
    }

    // 4. The handler, before the alarm can fire.
    struct sigaction action { };
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGALRM, &action, nullptr);

    // 5. Always called: a count of 0 cancels an alarm inherited across exec.
    alarm(floodout::alarm_seconds(seconds));

    // 6. Write for ever; only a signal ends the run.
    if (nothing_to_write) {
        for (;;) {
            pause();
        }
    }
    const floodout::OutputKind kind = floodout::classify_output(STDOUT_FILENO);
    if (kind == floodout::OutputKind::pipe) {
        floodout::enlarge_pipe(STDOUT_FILENO, pipe_bytes);
    }
    floodout::FdOutput out(STDOUT_FILENO, kind, block.page(), floodout::several_cpus());
    floodout::Writer writer(block, out);
    writer.run();
}
