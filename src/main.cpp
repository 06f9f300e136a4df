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

#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

// The most an unprivileged process may ask for by default; larger pipes
// measured no faster.
constexpr std::size_t pipe_bytes = std::size_t { 1 } << 20;
// What a Unix stream socket's send buffer is made to hold, where the system
// lets it and the reader can run beside the writer: the more the writer
// hands over before the reader wakes, the faster, up to this; the default of
// about 200 KiB carried a fifth as much. Writer and reader that share one
// CPU take turns whatever it holds, and a larger one measured slower.
constexpr std::size_t send_buffer_bytes = std::size_t { 8 } << 20;

#ifdef FLOODOUT_REPORT_WAY
// Bench builds only: the pipe's chosen way when the run ends (not a probe
// that the end happened to meet), on stderr.
const floodout::PipeOutput* reported = nullptr;

void report_way() noexcept
{
    if (reported == nullptr) {
        return;
    }
    const floodout::Way way = reported->chosen();
    const char* const waiting[] = { "asleep", "fast", "emptied", "paced" };
    const char* const window[] = { "wide", "narrow", "deep" };
    char line[32] = "way teed\n";
    if (way.source == floodout::Source::teed && way.waiting == floodout::Waiting::paced) {
        std::snprintf(line, sizeof line, "way teed-paced\n");
    } else if (way.source == floodout::Source::pages) {
        std::snprintf(line, sizeof line, "way %s-%s\n", waiting[static_cast<int>(way.waiting)],
            window[static_cast<int>(way.window)]);
    }
    (void)!write(STDERR_FILENO, line, std::strlen(line));
}
#endif

// Everything produced is already in the kernel's hands, so there is nothing
// to flush: end at once, without touching state the loop may be using.
void handler(int /*signal*/)
{
#ifdef FLOODOUT_REPORT_WAY
    report_way();
#endif
    _exit(0);
}

// A first piece before the larger block is laid, so that the reader need
// not wait for that: into a pipe the least block's pages, which stay as they
// are for the life of the process, as vmspliced pages must; to files and
// terminals by write(2). At most a page, which any pipe takes at once.
// Sockets keep their rules from the first byte (datagrams, TCP's grain, a
// Unix socket's spliced pages) and wait for the block. The bytes that went.
std::uint64_t first_piece(floodout::OutputKind kind, const floodout::Block& least)
{
    const std::size_t size = std::min(least.layout().size, least.page());
    if (kind == floodout::OutputKind::pipe) {
        const ssize_t n = floodout::hand_pages(STDOUT_FILENO, least.data(), size, 0);
        if (n >= 0 || !floodout::refuses_the_call(errno)) {
            return floodout::Put::of(n).bytes;
        }
    } else if (kind != floodout::OutputKind::other) {
        return 0;
    }
    return floodout::Put::of(write(STDOUT_FILENO, least.data(), size)).bytes;
}

// The write loop and its preparation, which may take milliseconds (the block
// can be megabytes, on huge pages the kernel may first have to compact):
// only after the alarm is armed, so that a SIGALRM meanwhile finds its
// handler and ends the run. `least`: the text's private copy, one text's
// pages, kept for the life of the process as every block is.
[[noreturn]] void write_for_ever(const floodout::Block& least)
{
    if (least.empty()) {
        for (;;) {
            pause(); // an empty text
        }
    }
    const floodout::OutputKind kind = floodout::classify_output(STDOUT_FILENO);
    const std::uint64_t written = first_piece(kind, least);
    // A reader it woke may share this CPU: let it read before the block is
    // laid, which takes a while.
    sched_yield();
    const floodout::Allowance allowance = floodout::read_allowance();
    const std::size_t size = least.text_size();
    const floodout::Block larger
        = floodout::Block::make(std::string_view(least.data(), size), least.page(), allowance.memory);
    // Where nothing larger fits, the least goes on alone.
    const floodout::Block& block = larger.empty() ? least : larger;
    switch (kind) {
    case floodout::OutputKind::pipe: {
        // What a pipe holds is charged to this process where it is written
        // rather than spliced into.
        const std::size_t pipe_room = std::min(pipe_bytes, allowance.memory);
        floodout::enlarge_pipe(STDOUT_FILENO, pipe_room);
        floodout::Load load(allowance.online_cpus);
        floodout::PipeOutput out(STDOUT_FILENO, block, pipe_room, allowance.several_cpus ? &load : nullptr);
#ifdef FLOODOUT_REPORT_WAY
        // The loop below never returns: `out` lives as long as the process.
        // cppcheck-suppress danglingLifetime
        reported = &out;
#endif
        floodout::Writer(block, out, written).run();
    }
    case floodout::OutputKind::udp:
    case floodout::OutputKind::datagram: {
        floodout::DatagramOutput out(STDOUT_FILENO, size, kind == floodout::OutputKind::udp);
        floodout::Writer(block, out).run();
    }
    case floodout::OutputKind::unix_stream: {
        // Should the socket refuse splice, what it holds is written there.
        const std::size_t send_room = allowance.several_cpus
            ? std::min({ send_buffer_bytes, allowance.send_buffer, allowance.memory })
            : 0;
        floodout::SplicedOutput out(STDOUT_FILENO, block.page(), send_room);
        floodout::Writer(block, out, written).run();
    }
    case floodout::OutputKind::tcp:
    case floodout::OutputKind::other:
        break;
    }
    floodout::WrittenOutput out(STDOUT_FILENO, kind, block.page());
    floodout::Writer(block, out, written).run();
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

    // A private copy of the text, laid out in its own pages as the least
    // block that works; status 1 when not even that fits.
    const char* text = argc > 2 ? argv[2] : "X";
    const std::size_t size = std::strlen(text);
    const long page = sysconf(_SC_PAGESIZE);
    const floodout::Block least = floodout::Block::least(
        std::string_view(text, size), page > 0 ? static_cast<std::size_t>(page) : 4096);
    if (size > 0 && least.empty()) {
        return EXIT_FAILURE;
    }

    // Always called: a count of 0 cancels an alarm inherited across exec.
    alarm(floodout::alarm_seconds(seconds));

    // Write for ever; only a signal ends the run.
    write_for_ever(least);
}
