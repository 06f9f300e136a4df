// stdout as the writer's output, on real file descriptors.
#include "block.hpp"
#include "output.hpp"
#include "pipe.hpp"
#include "spliced.hpp"
#include "writer.hpp"

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
#include <string>
#include <thread>
#include <vector>

namespace {

using floodout::classify_output;
using floodout::FdOutput;
using floodout::OutputKind;

struct Fds {
    Fds() = default;
    Fds(const Fds&) = delete;
    Fds& operator=(const Fds&) = delete;
    ~Fds()
    {
        for (const int fd : list) {
            close(fd);
        }
    }
    int add(int fd)
    {
        list.push_back(fd);
        return fd;
    }
    std::vector<int> list;
};

std::pair<int, int> make_pipe(Fds& fds, int flags = 0)
{
    int p[2] = { -1, -1 };
    EXPECT_EQ(pipe2(p, O_CLOEXEC | flags), 0);
    return { fds.add(p[0]), fds.add(p[1]) };
}

TEST(Output, EachKindOfStdoutIsToldApart)
{
    Fds fds;
    int primary = -1;
    int secondary = -1;
    ASSERT_EQ(openpty(&primary, &secondary, nullptr, nullptr, nullptr), 0);
    fds.add(primary);
    fds.add(secondary);
    EXPECT_EQ(classify_output(make_pipe(fds).second), OutputKind::pipe);
    EXPECT_EQ(classify_output(fds.add(memfd_create("file", MFD_CLOEXEC))), OutputKind::other);
    EXPECT_EQ(classify_output(fds.add(open("/dev/null", O_WRONLY | O_CLOEXEC))), OutputKind::other);
    EXPECT_EQ(classify_output(secondary), OutputKind::other);
    EXPECT_EQ(classify_output(-1), OutputKind::other);
    int pair[2] = { -1, -1 };
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    fds.add(pair[0]);
    fds.add(pair[1]);
    EXPECT_EQ(classify_output(pair[0]), OutputKind::unix_stream);
    EXPECT_EQ(
        classify_output(fds.add(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))), OutputKind::inet_socket);
    EXPECT_EQ(classify_output(fds.add(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))), OutputKind::udp);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
    fds.add(pair[0]);
    fds.add(pair[1]);
    EXPECT_EQ(classify_output(pair[0]), OutputKind::datagram);
}

TEST(Output, PipeIsEnlargedWithinTheLimitAndNeverShrunk)
{
    Fds fds;
    const int fd = make_pipe(fds).second;
    floodout::enlarge_pipe(fd, ~std::size_t { 0 }); // refused at first, then a size that is allowed
    const int enlarged = fcntl(fd, F_GETPIPE_SZ);
    EXPECT_GT(enlarged, 65536);
    floodout::enlarge_pipe(fd, 65536 * 2);
    EXPECT_EQ(fcntl(fd, F_GETPIPE_SZ), enlarged);
    // Not a pipe: nothing happens and nothing breaks.
    floodout::enlarge_pipe(fds.add(memfd_create("file", MFD_CLOEXEC)), std::size_t { 1 } << 20);
}

TEST(Output, FallsBackToWriteWhereSpliceIsRefused)
{
    Fds fds;
    const int file = fds.add(memfd_create("file", MFD_CLOEXEC));
    FdOutput out(file, OutputKind::pipe, 4096); // told wrongly: vmsplice fails with EBADF
    const std::string text(10000, 'k');
    EXPECT_EQ(out.put(text.data(), text.size()), 10000);
    EXPECT_EQ(out.put(text.data(), 5), 5);
    EXPECT_EQ(lseek(file, 0, SEEK_END), 10005);
}

// A full O_NONBLOCK pipe says EAGAIN, and after the wait for room the pipe
// says whether the reader has taken everything.
TEST(Output, FullPipeSaysEagainAndTheWaitTellsWhenTheReaderTookAll)
{
    Fds fds;
    const auto [reader, writer] = make_pipe(fds, O_NONBLOCK);
    const int capacity = fcntl(writer, F_GETPIPE_SZ);
    const std::string text(std::size_t { 1 } << 20, 'p');
    FdOutput out(writer, OutputKind::pipe, 4096);
    EXPECT_EQ(out.reach(), static_cast<std::size_t>(capacity) - 4096);
    for (const bool read_all : { false, true }) {
        ssize_t n = 0;
        std::size_t taken = 0;
        while ((n = out.put(text.data(), text.size())) > 0) {
            taken += static_cast<std::size_t>(n);
        }
        EXPECT_EQ(n, -EAGAIN);
        EXPECT_LE(taken, static_cast<std::size_t>(capacity));
        std::string got(read_all ? taken + static_cast<std::size_t>(capacity) : 4096, '\0');
        EXPECT_GT(read(reader, got.data(), got.size()), 0);
        out.wait_writable(); // returns at once: there is room
        EXPECT_EQ(out.drained(), read_all);
        EXPECT_FALSE(out.drained()); // asked once per wait
    }
    FdOutput file(fds.add(memfd_create("file", MFD_CLOEXEC)), OutputKind::other, 4096);
    EXPECT_FALSE(file.drained()); // only a pipe can tell
    EXPECT_EQ(file.reach(), ~std::size_t { 0 });
    EXPECT_EQ(file.grain(), 0U);
    FdOutput tcp(fds.add(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)), OutputKind::inet_socket, 4096);
    EXPECT_EQ(tcp.grain(), std::size_t { 32 } << 10);
    EXPECT_EQ(tcp.reach(), std::size_t { 2 } << 20);
    // With 64 KiB pages the kernel's socket pages are 64 KiB too.
    FdOutput tcp_large_pages(
        fds.add(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)), OutputKind::inet_socket, 65536);
    EXPECT_EQ(tcp_large_pages.grain(), std::size_t { 65536 });
}

TEST(Output, PipeWithoutReaderFailsWithEpipe)
{
    Fds fds;
    const auto [reader, writer] = make_pipe(fds);
    close(reader);
    fds.list.erase(fds.list.begin());
    signal(SIGPIPE, SIG_IGN);
    FdOutput out(writer, OutputKind::pipe, 4096);
    EXPECT_EQ(out.put("abc", 3), -EPIPE);
    signal(SIGPIPE, SIG_DFL);
}

// A Unix stream socket takes the pages through the private pipe, in order,
// also when the socket is full and the pipe must wait to be emptied.
TEST(Output, UnixStreamSocketGetsThePagesInOrderThroughAPrivatePipe)
{
    Fds fds;
    int pair[2] = { -1, -1 };
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair), 0);
    fds.add(pair[0]);
    fds.add(pair[1]);
    std::string block(std::size_t { 1 } << 20, '\0');
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<char>('a' + i % 26);
    }
    floodout::SplicedOutput out(pair[1], 4096);
    EXPECT_TRUE(out.splicing());
    std::string got;
    std::string buffer(1 << 16, '\0');
    std::size_t taken = 0;
    for (int i = 0; i < 2000 && got.size() < 4 * block.size(); ++i) {
        const ssize_t n
            = out.put(block.data() + taken % 26, std::min<std::size_t>(100000, block.size() - 26));
        ASSERT_TRUE(n > 0 || n == -EINTR || n == -EAGAIN) << n;
        taken += n > 0 ? static_cast<std::size_t>(n) : 0;
        for (ssize_t r = 0; (r = read(pair[0], buffer.data(), buffer.size())) > 0;) {
            got.append(buffer.data(), static_cast<std::size_t>(r));
        }
    }
    ASSERT_GE(got.size(), 4 * block.size());
    std::string expected;
    while (expected.size() < got.size()) {
        expected += block.substr(0, block.size() / 26 * 26);
    }
    EXPECT_TRUE(got == expected.substr(0, got.size()));
    EXPECT_TRUE(out.splicing()); // the pages went by splice all along
}

// Every way of writing a pipe, and every change from one to another at
// whatever byte it falls on, keeps the stream exact: the real writer and
// chooser on a real pipe (blocking or not), a thread reading and checking
// every byte, until each way has been used.
TEST(PipeOutput, EveryWayAndEveryChangeBetweenThemKeepTheStreamExact)
{
    for (const bool nonblocking : { false, true }) {
        for (const std::size_t size : std::initializer_list<std::size_t> { 1, 12, 4097, 131071 }) {
            std::string text;
            for (std::size_t i = 0; i < size; ++i) {
                text += static_cast<char>('a' + (i * 7 + i / 26) % 26);
            }
            const floodout::Block block = floodout::Block::make(text, 4096);
            ASSERT_FALSE(block.empty());
            Fds fds;
            const auto [reader, writer] = make_pipe(fds, nonblocking ? O_NONBLOCK : 0);
            floodout::enlarge_pipe(writer, std::size_t { 1 } << 20);
            // Never crowded, so that waiting awake is allowed too; a probe
            // every 4 ms, whatever the reader's speed.
            floodout::Load load(1L << 20);
            floodout::Schedule often;
            often.epoch_ns = 4'000'000;
            often.settle_ns = 500'000;
            often.window_ns = 1'000'000;
            often.quiet_every = 2; // its successor prime to the count of ways
            often.slow_rate = 0;
            floodout::PipeOutput out(writer, block, std::size_t { 1 } << 20, &load, often);
            std::atomic<bool> exact { true };
            std::atomic<std::uint64_t> got { 0 };
            std::thread check([&, reader = reader] {
                std::string buffer(std::size_t { 1 } << 16, '\0');
                std::uint64_t at = 0;
                for (ssize_t n = 0; (n = read(reader, buffer.data(), buffer.size())) != 0;) {
                    if (n < 0) {
                        continue; // EAGAIN: both ends are O_NONBLOCK in that case
                    }
                    for (ssize_t i = 0; i < n; ++i, ++at) {
                        if (buffer[static_cast<std::size_t>(i)]
                            != text[static_cast<std::size_t>(at % size)]) {
                            exact = false;
                        }
                    }
                    got = at;
                }
            });
            floodout::Writer w(block, out);
            std::array<bool, floodout::way_count> used {};
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (std::count(used.begin(), used.end(), true) < static_cast<long>(used.size())
                && std::chrono::steady_clock::now() < deadline) {
                w.step();
                used[static_cast<std::size_t>(out.way())] = true;
            }
            close(writer);
            fds.list.erase(std::find(fds.list.begin(), fds.list.end(), writer));
            check.join();
            for (std::size_t way = 0; way < used.size(); ++way) {
                EXPECT_TRUE(used[way]) << "way " << way << ", text of " << size;
            }
            EXPECT_TRUE(exact) << "text of " << size << (nonblocking ? ", O_NONBLOCK" : "");
            EXPECT_EQ(got.load(), w.position()) << size;
        }
    }
}

} // namespace
