// stdout as the writer's output, on real file descriptors.
#include "block.hpp"
#include "harness.hpp"
#include "pacer.hpp"
#include "pipe.hpp"
#include "pipe_fd.hpp"
#include "spliced.hpp"
#include "teed.hpp"
#include "vmspliced.hpp"
#include "writer.hpp"
#include "written.hpp"

#include <fcntl.h>
#include <pty.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <set>
#include <string>
#include <thread>

namespace {

using floodout::classify_output;
using floodout::OutputKind;
using floodout::Put;
using harness::Fd;
using harness::Pipe;

TEST(Output, EachKindOfStdoutIsToldApart)
{
    int primary = -1;
    int secondary = -1;
    ASSERT_EQ(openpty(&primary, &secondary, nullptr, nullptr, nullptr), 0);
    const Fd terminal[] = { Fd(primary), Fd(secondary) };
    int pair[2] = { -1, -1 };
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    const Fd stream[] = { Fd(pair[0]), Fd(pair[1]) };
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
    const Fd packets[] = { Fd(pair[0]), Fd(pair[1]) };
    const Pipe pipe;
    const Fd file(memfd_create("file", MFD_CLOEXEC));
    const Fd null(open("/dev/null", O_WRONLY | O_CLOEXEC));
    const Fd tcp(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const Fd udp(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    EXPECT_EQ(classify_output(pipe.write.fd), OutputKind::pipe);
    EXPECT_EQ(classify_output(file.fd), OutputKind::other);
    EXPECT_EQ(classify_output(null.fd), OutputKind::other);
    EXPECT_EQ(classify_output(terminal[1].fd), OutputKind::other);
    EXPECT_EQ(classify_output(-1), OutputKind::other);
    EXPECT_EQ(classify_output(stream[0].fd), OutputKind::unix_stream);
    EXPECT_EQ(classify_output(tcp.fd), OutputKind::tcp);
    EXPECT_EQ(classify_output(udp.fd), OutputKind::udp);
    EXPECT_EQ(classify_output(packets[0].fd), OutputKind::datagram);
}

TEST(Output, PipeIsEnlargedWithinTheLimitAndNeverShrunk)
{
    const Pipe pipe;
    // Refused at first, then a size that is allowed.
    const std::size_t enlarged = floodout::enlarge_pipe(pipe.write.fd, floodout::unbounded);
    EXPECT_GT(enlarged, 65536U);
    EXPECT_EQ(enlarged, floodout::capacity_of(pipe.write.fd));
    EXPECT_EQ(floodout::enlarge_pipe(pipe.write.fd, 65536 * 2), enlarged);
    // Not a pipe: no capacity to tell of, and nothing changed.
    const Fd file(memfd_create("file", MFD_CLOEXEC));
    EXPECT_EQ(floodout::enlarge_pipe(file.fd, std::size_t { 1 } << 20), 0U);
    EXPECT_EQ(lseek(file.fd, 0, SEEK_END), 0);
}

TEST(Output, FallsBackToWriteWhereVmspliceIsRefused)
{
    const Fd file(memfd_create("file", MFD_CLOEXEC));
    floodout::VmsplicedOutput out(file.fd, 4096); // not a pipe: vmsplice fails with EBADF
    const std::string text(10000, 'k');
    EXPECT_EQ(out.put(text.data(), text.size()).bytes, 10000U);
    EXPECT_FALSE(out.hands_pages());
    EXPECT_EQ(out.put(text.data(), 5).bytes, 5U);
    EXPECT_EQ(lseek(file.fd, 0, SEEK_END), 10005);
}

// A full O_NONBLOCK pipe says wait, and after the wait for room the pipe
// says whether the reader has taken everything.
TEST(Output, FullPipeSaysWaitAndTheWaitTellsWhenTheReaderTookAll)
{
    const Pipe pipe(O_NONBLOCK);
    const std::size_t capacity = floodout::capacity_of(pipe.write.fd);
    const std::string text(std::size_t { 1 } << 20, 'p');
    floodout::VmsplicedOutput out(pipe.write.fd, 4096);
    EXPECT_EQ(out.shape().reach, capacity - 4096);
    for (const bool read_all : { false, true }) {
        Put put = Put::again();
        std::size_t taken = 0;
        while ((put = out.put(text.data(), text.size())).status == Put::Status::done) {
            taken += put.bytes;
        }
        EXPECT_EQ(put.status, Put::Status::wait);
        EXPECT_LE(taken, capacity);
        std::string got(read_all ? taken + capacity : 4096, '\0');
        EXPECT_GT(read(pipe.read.fd, got.data(), got.size()), 0);
        EXPECT_EQ(out.wait_writable(), read_all); // at once: there is room
    }
    const Fd file(memfd_create("file", MFD_CLOEXEC));
    floodout::WrittenOutput written(file.fd, OutputKind::other, 4096);
    EXPECT_FALSE(written.wait_writable()); // only a pipe can tell
    EXPECT_EQ(written.shape().grain, 0U);
    for (const std::size_t page : { 4096U, 65536U }) {
        // A file's pieces start near the block's start, at any page offset.
        const floodout::WrittenOutput into_file(file.fd, OutputKind::other, page);
        EXPECT_GE(into_file.shape().reach, page);
        EXPECT_LT(into_file.shape().reach, std::size_t { 1 } << 20);
        EXPECT_GE(into_file.shape().span, 2 * page);
        EXPECT_LT(into_file.shape().span, std::size_t { 1 } << 20);
    }
    // What copies nothing takes the whole block at each call.
    const Fd null(open("/dev/null", O_WRONLY | O_CLOEXEC));
    const floodout::WrittenOutput into_null(null.fd, OutputKind::other, 4096);
    EXPECT_EQ(into_null.shape().reach, floodout::unbounded);
    for (const std::size_t page : { 4096U, 65536U }) {
        // The kernel's socket pages are 32 KiB, or a page where pages are larger.
        const Fd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const floodout::WrittenOutput tcp(socket.fd, OutputKind::tcp, page);
        EXPECT_EQ(tcp.shape().grain, std::max<std::size_t>(page, 32U << 10));
        EXPECT_EQ(tcp.shape().reach, std::size_t { 2 } << 20);
    }
}

// Awake once the reader emptied the pipe, but not for a reader that pauses
// between reads: after a spin that the reader did not end, a full pipe is
// waited for asleep inside vmsplice, not with another spin.
TEST(Output, AfterASpinTheReaderDidNotEndTheEmptiedWaitSleeps)
{
    const Pipe pipe;
    const std::size_t capacity = floodout::capacity_of(pipe.write.fd);
    constexpr std::size_t page = 4096;
    void* pages = mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(pages, MAP_FAILED);
    const auto* data = static_cast<const char*>(pages);
    floodout::VmsplicedOutput out(pipe.write.fd, page);
    out.use(floodout::settings_of({ .waiting = floodout::Waiting::emptied }, page));
    // When the reader starts to make room: the wait ends after it.
    std::chrono::steady_clock::time_point room_at;
    const auto empty_after_a_pause = [&] {
        return std::thread([fd = pipe.read.fd, capacity, &room_at] {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            std::string got(capacity, '\0');
            room_at = std::chrono::steady_clock::now();
            EXPECT_EQ(read(fd, got.data(), got.size()), static_cast<ssize_t>(capacity));
        });
    };
    ASSERT_EQ(out.put(data, capacity).bytes, capacity); // into an empty pipe: it had been emptied
    EXPECT_EQ(out.put(data, capacity).status, Put::Status::wait); // awake: full says so at once
    std::thread reader = empty_after_a_pause();
    EXPECT_TRUE(out.wait_writable()); // the spin ended without room, then slept until emptied
    reader.join();
    const auto backed_off_until = room_at + std::chrono::milliseconds(4); // at least: the least back-off
    ASSERT_EQ(out.put(data, capacity).bytes, capacity);
    reader = empty_after_a_pause();
    const Put full = out.put(data, capacity); // asleep: it returns once the reader made room
    const auto put_at = std::chrono::steady_clock::now();
    reader.join();
    munmap(pages, capacity);
    if (full.status == Put::Status::wait && put_at >= backed_off_until) {
        GTEST_SKIP() << "paused for longer than the least back-off: the next spin may be due";
    }
    EXPECT_EQ(full.status, Put::Status::done);
}

// The narrow window's pieces are a quarter of its pipe each: whether the
// reader emptied the pipe is told by the refill, all the pieces put since
// the pipe was last full, not by one piece.
TEST(Output, ARefillOfShortPiecesThatFilledThePipeIsWaitedForAwake)
{
    const Pipe pipe;
    constexpr std::size_t page = 4096;
    const std::size_t size = floodout::narrow_pipe;
    void* pages = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(pages, MAP_FAILED);
    const auto* data = static_cast<const char*>(pages);
    ASSERT_GE(floodout::enlarge_pipe(pipe.write.fd, 2 * size), size); // as large as main makes it
    floodout::VmsplicedOutput out(pipe.write.fd, page);
    out.use(floodout::settings_of(
        { .waiting = floodout::Waiting::emptied, .window = floodout::Window::narrow }, page));
    ASSERT_EQ(floodout::capacity_of(pipe.write.fd), size);
    const std::size_t piece = out.shape().reach;
    ASSERT_LT(4 * piece, 3 * size); // no one piece can tell
    for (std::size_t put = 0; put + piece <= size; put += piece) {
        ASSERT_EQ(out.put(data + put, piece).bytes, piece); // into the empty pipe
    }
    // Should it sleep inside vmsplice instead, this reader ends the wait.
    std::thread reader([fd = pipe.read.fd, size] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::string got(size, '\0');
        EXPECT_GT(read(fd, got.data(), got.size()), 0);
    });
    EXPECT_EQ(out.put(data, piece).status, Put::Status::wait);
    reader.join();
    munmap(pages, size);
}

// The narrow window makes the pipe smaller; the deep one, with the same
// pieces, keeps it as large as it was made; a teed way, which never waits in
// this output, gets it whole too. Each at once, however soon after the last.
TEST(Output, TheNarrowWindowShrinksThePipeAndTheDeepOneKeepsItWhole)
{
    const Pipe pipe;
    constexpr std::size_t page = 4096;
    const std::size_t made = floodout::enlarge_pipe(pipe.write.fd, 2 * floodout::narrow_pipe);
    ASSERT_GT(made, floodout::narrow_pipe);
    floodout::VmsplicedOutput out(pipe.write.fd, page);
    for (const floodout::Window window :
        { floodout::Window::narrow, floodout::Window::deep, floodout::Window::narrow }) {
        out.use(floodout::settings_of({ .window = window }, page));
        EXPECT_EQ(floodout::capacity_of(pipe.write.fd),
            window == floodout::Window::deep ? made : floodout::narrow_pipe);
        EXPECT_EQ(out.shape().reach, floodout::narrow_reach);
    }
    out.use(floodout::settings_of({ .source = floodout::Source::teed }, page));
    EXPECT_EQ(floodout::capacity_of(pipe.write.fd), made);
}

// Every byte the teed way moves leaves from a block index congruent to its
// stream position mod 64, from whatever position it starts: the block is
// stamped with each index mod 64, and since the pipes hold the block's own
// pages, the reader sees which index each byte came from. Texts whose
// period fits the pipes.
TEST(Output, TheTeedWayKeepsEveryByteAtItsStreamAlignment)
{
    constexpr std::size_t page = 4096;
    constexpr std::size_t cache_line = 64;
    constexpr std::size_t pipe_bytes = std::size_t { 1 } << 20;
    for (const std::size_t size : std::initializer_list<std::size_t> { 1, 12, 100, 4097 }) {
        const floodout::Block block = floodout::Block::make(harness::text_of(size), page);
        ASSERT_FALSE(block.empty());
        const std::size_t period = block.layout().period;
        ASSERT_EQ(period % cache_line, 0U) << size;
        auto* stamps = const_cast<char*>(block.data()); // NOLINT(cppcoreguidelines-pro-type-const-cast)
        for (std::size_t i = 0; i < block.layout().size; ++i) {
            stamps[i] = static_cast<char>(i % cache_line);
        }
        for (const std::size_t start : std::initializer_list<std::size_t> { 0, 5, 777, page + cache_line }) {
            const Pipe pipe(O_NONBLOCK);
            floodout::enlarge_pipe(pipe.write.fd, pipe_bytes);
            floodout::TeedOutput out(pipe.write.fd, block, pipe_bytes);
            std::uint64_t position = start;
            std::uint64_t checked = start;
            std::string buffer(std::size_t { 1 } << 16, '\0');
            for (int i = 0; i < 100000 && checked < start + 4 * pipe_bytes; ++i) {
                const auto index = static_cast<std::size_t>(position % period); // as the writer keeps it
                const Put put
                    = out.put(block.data() + index, std::min(pipe_bytes, block.layout().size - index), true);
                ASSERT_NE(put.status, Put::Status::failed) << put.error;
                ASSERT_NE(put.status, Put::Status::refused) << size;
                position += put.bytes;
                for (ssize_t n = 0; (n = read(pipe.read.fd, buffer.data(), buffer.size())) > 0;) {
                    for (ssize_t k = 0; k < n; ++k, ++checked) {
                        ASSERT_EQ(static_cast<std::size_t>(buffer[static_cast<std::size_t>(k)]),
                            checked % cache_line)
                            << "text " << size << ", from " << start << ", at " << checked;
                    }
                }
            }
            EXPECT_GE(checked, start + 4 * pipe_bytes) << size; // several tees' worth
        }
    }
}

// A piece of the shape the teed way asks for carries a whole tee, which one
// splice moves into an empty pipe.
TEST(Output, OnePieceOfTheTeedWayCarriesAWholeTee)
{
    constexpr std::size_t pipe_bytes = std::size_t { 1 } << 20;
    for (const std::size_t size : std::initializer_list<std::size_t> { 12, 4097, 131071 }) {
        const floodout::Block block = floodout::Block::make(harness::text_of(size), 4096);
        ASSERT_FALSE(block.empty());
        const Pipe pipe(O_NONBLOCK);
        const std::size_t capacity = floodout::enlarge_pipe(pipe.write.fd, pipe_bytes);
        ASSERT_GT(capacity, 0U);
        floodout::TeedOutput out(pipe.write.fd, block, capacity);
        // Whole periods where one fits the pipes, else whole repetitions.
        const std::size_t unit = capacity >= block.layout().period ? block.layout().period : size;
        const floodout::Piece piece = block.piece(0, 0, floodout::TeedOutput::shape());
        const Put put = out.put(piece.data, piece.size, true);
        ASSERT_EQ(put.status, Put::Status::done) << size;
        EXPECT_EQ(put.bytes, capacity / unit * unit) << size;
        EXPECT_FALSE(out.holding()) << size;
    }
}

// The teed way refills a pipe its last splice filled only after a wait:
// coming back at once for the page the reader just freed would take the
// pipe's lock from it at every read.
TEST(Output, TheTeedWayWaitsAfterASpliceThatFilledThePipe)
{
    const floodout::Block block = floodout::Block::make(harness::text_of(12), 4096);
    ASSERT_FALSE(block.empty());
    const Pipe pipe;
    const std::size_t capacity = floodout::capacity_of(pipe.write.fd);
    ASSERT_GT(capacity, 0U);
    floodout::TeedOutput out(pipe.write.fd, block, 4 * capacity);
    const std::size_t size = 2 * capacity;
    const Put first = out.put(block.data(), size, true);
    ASSERT_EQ(first.status, Put::Status::done);
    EXPECT_EQ(first.bytes, capacity); // the pipe is full
    std::string buffer(4096, '\0');
    ASSERT_EQ(read(pipe.read.fd, buffer.data(), buffer.size()), 4096); // a page of room
    EXPECT_EQ(
        out.put(block.data() + first.bytes % block.layout().period, size, true).status, Put::Status::wait);
    const Put after = out.put(block.data() + first.bytes % block.layout().period, size, true);
    EXPECT_EQ(after.status, Put::Status::done);
    EXPECT_EQ(after.bytes, 4096U);
}

// The pacer's nap follows the reader: longer where it left more than half
// the pipe during the nap, shorter where it left less than a quarter, within
// its bounds; the wait tells whether the reader emptied the pipe.
TEST(Output, ThePacersNapFollowsWhatTheReaderLeft)
{
    struct Case {
        const char* name;
        std::size_t eighths; // of the pipe left unread
        int change; // of the nap: -1 shorter, 0 none, 1 longer
    };
    const Case cases[] = {
        { "emptied", 0, -1 },
        { "an eighth left", 1, -1 },
        { "three eighths", 3, 0 },
        { "seven eighths", 7, 1 },
    };
    for (const Case& c : cases) {
        const Pipe pipe;
        const std::size_t capacity = floodout::capacity_of(pipe.write.fd);
        ASSERT_GT(capacity, 0U);
        const std::string unread(capacity / 8 * c.eighths, 'x');
        ASSERT_EQ(write(pipe.write.fd, unread.data(), unread.size()), static_cast<ssize_t>(unread.size()));
        floodout::Pacer pacer;
        for (int i = 0; i < 20; ++i) {
            const std::int64_t before = pacer.nap_ns();
            EXPECT_EQ(pacer.wait(pipe.write.fd), c.eighths == 0) << c.name;
            const std::int64_t after = pacer.nap_ns();
            if (c.change == 0) {
                EXPECT_EQ(after, before) << c.name;
            } else if (c.change > 0) {
                EXPECT_TRUE(after > before || after == floodout::Pacer::most_nap_ns) << c.name;
            } else {
                EXPECT_TRUE(after < before || after == floodout::Pacer::least_nap_ns) << c.name;
            }
            EXPECT_GE(after, floodout::Pacer::least_nap_ns);
            EXPECT_LE(after, floodout::Pacer::most_nap_ns);
        }
    }
}

TEST(Output, PipeWithoutReaderFailsWithEpipe)
{
    Pipe pipe;
    pipe.read.reset();
    signal(SIGPIPE, SIG_IGN);
    floodout::VmsplicedOutput out(pipe.write.fd, 4096);
    const Put put = out.put("abc", 3);
    EXPECT_EQ(put.status, Put::Status::failed);
    EXPECT_EQ(put.error, EPIPE);
    EXPECT_TRUE(out.hands_pages()); // no reason to give up vmsplice
    signal(SIGPIPE, SIG_DFL);
}

// A Unix stream socket takes the pages through the private pipe, in order,
// also when the socket is full and the pipe must wait to be emptied.
TEST(Output, UnixStreamSocketGetsThePagesInOrderThroughAPrivatePipe)
{
    int pair[2] = { -1, -1 };
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair), 0);
    const Fd reading(pair[0]);
    const Fd writing(pair[1]);
    const std::string text = harness::text_of(26);
    std::string block;
    while (block.size() < (std::size_t { 1 } << 20) / 26 * 26) {
        block += text;
    }
    floodout::SplicedOutput out(writing.fd, 4096);
    EXPECT_TRUE(out.splicing());
    std::string got;
    std::string buffer(1 << 16, '\0');
    std::size_t taken = 0;
    for (int i = 0; i < 2000 && got.size() < 4 * block.size(); ++i) {
        const Put put = out.put(block.data() + taken % 26, std::min<std::size_t>(100000, block.size() - 26));
        ASSERT_NE(put.status, Put::Status::failed) << put.error;
        taken += put.bytes;
        for (ssize_t r = 0; (r = read(reading.fd, buffer.data(), buffer.size())) > 0;) {
            got.append(buffer.data(), static_cast<std::size_t>(r));
        }
    }
    ASSERT_GE(got.size(), 4 * block.size());
    std::string expected;
    while (expected.size() < got.size()) {
        expected += block;
    }
    EXPECT_TRUE(got == expected.substr(0, got.size()));
    EXPECT_TRUE(out.splicing()); // the pages went by splice all along
}

// A socket's send buffer grows to what is asked and never shrinks; what is
// no socket is left alone.
TEST(Output, ASendBufferGrowsToWhatIsAskedAndNeverShrinks)
{
    struct Case {
        int set; // SO_SNDBUF asked before: the kernel holds twice that
        std::size_t ask;
        bool grows;
    };
    // Within any system's cap (net.core.wmem_max is 212992 by default).
    for (const Case c : { Case { 4608, 65536, true }, Case { 60000, 65536, false } }) {
        int pair[2] = { -1, -1 };
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        const Fd reading(pair[0]);
        const Fd writing(pair[1]);
        ASSERT_EQ(setsockopt(writing.fd, SOL_SOCKET, SO_SNDBUF, &c.set, sizeof c.set), 0);
        int before = 0;
        socklen_t length = sizeof before;
        ASSERT_EQ(getsockopt(writing.fd, SOL_SOCKET, SO_SNDBUF, &before, &length), 0);
        const std::size_t after = floodout::enlarge_send_buffer(writing.fd, c.ask);
        EXPECT_EQ(after, c.grows ? c.ask : static_cast<std::size_t>(before)) << c.set;
        int now = 0;
        ASSERT_EQ(getsockopt(writing.fd, SOL_SOCKET, SO_SNDBUF, &now, &length), 0);
        EXPECT_EQ(after, static_cast<std::size_t>(now)) << c.set;
    }
    Pipe pipe;
    EXPECT_EQ(floodout::enlarge_send_buffer(pipe.write.fd, 65536), 0U);
}

// Every way of writing a pipe, and every change from one to another at
// whatever byte it falls on, keeps the stream exact: the real writer and
// chooser on a real pipe (blocking or not), a thread reading and checking
// every byte, until each setting has been used. Bounded by the epochs the
// writer saw, not by the clock: a busy machine only makes it take longer.
TEST(PipeOutput, EveryWayAndEveryChangeBetweenThemKeepTheStreamExact)
{
    for (const bool nonblocking : { false, true }) {
        for (const std::size_t size : std::initializer_list<std::size_t> { 1, 12, 4097, 131071 }) {
            const std::string text = harness::text_of(size);
            const floodout::Block block = floodout::Block::make(text, 4096);
            ASSERT_FALSE(block.empty());
            Pipe pipe(nonblocking ? O_NONBLOCK : 0);
            floodout::enlarge_pipe(pipe.write.fd, std::size_t { 1 } << 20);
            // Never crowded, so that waiting awake is allowed too; a probe
            // every 16 ms, whatever the reader's speed.
            floodout::Load load(1L << 20);
            floodout::Schedule often;
            // 2 + 1 prime to the moves; windows long beside an emulated
            // writer's steps, and a move far behind probed at each turn.
            often.timing = { 16'000'000, 1'000'000, 4'000'000, 3, 1 }; // 3 + 1 prime to the moves
            often.margins.slow_rate = 0;
            floodout::PipeOutput out(pipe.write.fd, block, std::size_t { 1 } << 20, &load, often);
            std::atomic<bool> exact { true };
            std::atomic<std::uint64_t> got { 0 };
            // A reader as fast as memcmp, so that an emulated one keeps up
            // with the chooser's windows.
            std::thread check([&, reader = pipe.read.fd] {
                std::string buffer(std::size_t { 1 } << 16, '\0');
                std::string expected;
                while (expected.size() < buffer.size() + size) {
                    expected += text;
                }
                std::uint64_t at = 0;
                for (ssize_t n = 0; (n = read(reader, buffer.data(), buffer.size())) != 0;) {
                    if (n < 0) {
                        continue; // EAGAIN: both ends are O_NONBLOCK in that case
                    }
                    const auto length = static_cast<std::size_t>(n);
                    exact = exact && std::memcmp(buffer.data(), expected.data() + at % size, length) == 0;
                    at += length;
                    got = at;
                }
            });
            floodout::Writer w(block, out);
            std::array<bool, floodout::move_count> used {}; // every setting, in some way

            std::set<std::int64_t> epochs;
            bool whole_tees = true; // the teed way's pieces, as long as a tee
            bool probed_apart = false; // a probe writes another way than the one chosen
            while (std::count(used.begin(), used.end(), true) < static_cast<long>(used.size())
                && epochs.size() < 1000) {
                w.step();
                whole_tees = whole_tees
                    && (out.way().source != floodout::Source::teed
                        || out.shape().reach >= std::size_t { 1 } << 20);
                for (std::size_t move = 0; move < used.size(); ++move) {
                    used[move]
                        = used[move] || (floodout::moves_of(out.way()) & floodout::move_bit(move)) != 0;
                }
                probed_apart = probed_apart || out.way() != out.chosen();
                epochs.insert(floodout::now_ns() / often.timing.epoch_ns);
            }
            pipe.write.reset();
            check.join();
            for (std::size_t move = 0; move < used.size(); ++move) {
                EXPECT_TRUE(used[move]) << "setting " << move << ", text of " << size;
            }
            EXPECT_TRUE(exact) << "text of " << size << (nonblocking ? ", O_NONBLOCK" : "");
            EXPECT_TRUE(whole_tees) << size;
            EXPECT_TRUE(probed_apart) << size;
            EXPECT_EQ(got.load(), w.position()) << size;
        }
    }
}

} // namespace
