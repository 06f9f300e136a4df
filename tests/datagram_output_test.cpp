// The datagram output on real sockets: one repetition a datagram, pieces as
// large as the socket takes, and no backing off for a UDP port nobody
// listens on.
#include "block.hpp"
#include "datagram.hpp"
#include "harness.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

namespace {

using floodout::Block;
using floodout::DatagramOutput;
using floodout::Put;
using Socket = harness::Fd;
using harness::text_of;

// Every datagram waiting on `fd`, without waiting for more.
std::vector<std::string> receive_all(int fd)
{
    std::vector<std::string> got;
    // Kept from call to call: a fresh one each time, zeroed, is most of the
    // test's time under AddressSanitizer, which gives back large blocks.
    static std::string buffer(1 << 18, '\0');
    for (;;) {
        const ssize_t n = recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n < 0) {
            return got;
        }
        got.emplace_back(buffer.data(), static_cast<std::size_t>(n));
    }
}

// A UDP socket on 127.0.0.1 bound to a free port, and one connected to it.
struct UdpPair {
    UdpPair()
        : receiver(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))
        , sender(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0))
    {
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        auto* any = reinterpret_cast<sockaddr*>(&address); // NOLINT
        const int big = 8 << 20;
        setsockopt(receiver.fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        EXPECT_EQ(bind(receiver.fd, any, sizeof address), 0);
        EXPECT_EQ(getsockname(receiver.fd, any, &length), 0);
        EXPECT_EQ(connect(sender.fd, any, sizeof address), 0);
    }
    Socket receiver;
    Socket sender;
};

TEST(DatagramOutput, EachDatagramIsOneRepetitionOnEveryKindOfSocket)
{
    struct Case {
        const char* name;
        int type; // of a Unix socket pair; 0 for UDP
        std::size_t text;
    };
    const Case cases[] = {
        { "Unix datagram, 1 B", SOCK_DGRAM, 1 },
        { "Unix datagram, 36 B", SOCK_DGRAM, 36 },
        { "Unix datagram, 4097 B", SOCK_DGRAM, 4097 },
        { "Unix sequenced packets, 127 B", SOCK_SEQPACKET, 127 },
        { "UDP, 1 B", 0, 1 },
        { "UDP, 127 B", 0, 127 },
        { "UDP, 8190 B", 0, 8190 },
        { "UDP, 40000 B", 0, 40000 },
    };
    bool skipped = false;
    for (const Case& c : cases) {
        if (c.type == 0 && harness::cross_endian()) {
            skipped = true;
            continue;
        }
        const std::string text = text_of(c.text);
        const Block block = Block::make(text, 4096);
        ASSERT_FALSE(block.empty());
        int pair[2] = { -1, -1 };
        UdpPair udp;
        if (c.type != 0) {
            ASSERT_EQ(socketpair(AF_UNIX, c.type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair), 0);
        }
        const Socket unix_receiver(pair[0]);
        const Socket unix_sender(pair[1]);
        const int sender = c.type != 0 ? unix_sender.fd : udp.sender.fd;
        const int receiver = c.type != 0 ? unix_receiver.fd : udp.receiver.fd;
        DatagramOutput out(sender, c.text, c.type == 0);
        // A few datagrams a call, the receiver drained in between, so that
        // no queue on the way overflows.
        const std::size_t repetitions = std::max<std::size_t>(3, 20000 / c.text);
        std::vector<std::string> got;
        std::size_t sent = 0;
        for (int tries = 0; tries < 100000 && sent < repetitions * c.text; ++tries) {
            const std::size_t offer = std::min(repetitions * c.text - sent, 8 * c.text);
            const Put put = out.put(block.data() + sent % c.text, offer);
            ASSERT_NE(put.status, Put::Status::failed) << c.name << ": " << put.error;
            sent += put.bytes;
            const std::vector<std::string> more = receive_all(receiver);
            got.insert(got.end(), more.begin(), more.end());
        }
        EXPECT_EQ(got.size(), repetitions) << c.name;
        std::size_t wrong = 0;
        for (const std::string& datagram : got) {
            wrong += datagram == text ? 0U : 1U;
        }
        EXPECT_EQ(wrong, 0U) << c.name;
        int size = 0;
        socklen_t length = sizeof size;
        if (c.type == 0 && c.text <= 8190 && getsockopt(sender, SOL_UDP, UDP_SEGMENT, &size, &length) == 0) {
            EXPECT_GT(out.segments(), 1U)
                << c.name << ": the kernel can cut, yet every message is one datagram";
        }
    }
    if (skipped) {
        GTEST_SKIP() << "UDP cases, under " << harness::emulator() << ", " << harness::swapped_segment_size;
    }
}

// A socket that takes less than one repetition: the pieces it gets are each
// as large as it takes, the last ending the repetition, however small the
// limit is.
TEST(DatagramOutput, LearnsTheLargestDatagramFromEmsgsize)
{
    for (const int buffer : { 4096, 20000, 60000 }) {
        int pair[2] = { -1, -1 };
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair), 0);
        const Socket receiver(pair[0]);
        const Socket sender(pair[1]);
        ASSERT_EQ(setsockopt(sender.fd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer), 0);
        const std::size_t n = 131071;
        const std::string text = text_of(n);
        const Block block = Block::make(text, 4096);
        DatagramOutput out(sender.fd, n, false);
        std::string stream;
        std::vector<std::size_t> lengths;
        for (int i = 0; i < 4000 && stream.size() < 24 * n; ++i) {
            const Put put = out.put(block.data() + stream.size() % n, n - stream.size() % n);
            ASSERT_NE(put.status, Put::Status::failed) << buffer << ": " << put.error;
            for (const std::string& datagram : receive_all(receiver.fd)) {
                stream += datagram;
                lengths.push_back(datagram.size());
            }
        }
        ASSERT_GE(stream.size(), 24 * n) << buffer;
        std::string repetition;
        while (repetition.size() < stream.size()) {
            repetition += text;
        }
        EXPECT_EQ(stream, repetition.substr(0, stream.size())) << buffer;
        const std::size_t largest = out.largest_taken();
        ASSERT_GT(largest, 0U);
        // The socket takes `largest` and refuses one byte more.
        EXPECT_EQ(send(sender.fd, text.data(), largest, MSG_DONTWAIT), static_cast<ssize_t>(largest));
        receive_all(receiver.fd);
        EXPECT_EQ(send(sender.fd, text.data(), largest + 1, MSG_DONTWAIT), -1);
        EXPECT_EQ(errno, EMSGSIZE) << buffer;
        // Learnt by halving, a datagram or a refusal a step; from then on,
        // full pieces and the one that ends each repetition.
        std::size_t at = 0;
        for (std::size_t i = 0; i < lengths.size(); at += lengths[i++]) {
            if (i >= 60) {
                EXPECT_TRUE(lengths[i] == largest || (at + lengths[i]) % n == 0)
                    << buffer << ": a piece of " << lengths[i] << " at " << at % n;
            }
        }
    }
}

TEST(DatagramOutput, NobodyListeningOnAUdpPortIsNoReasonToBackOff)
{
    if (harness::cross_endian()) {
        GTEST_SKIP() << "under " << harness::emulator() << ", " << harness::swapped_segment_size;
    }
    UdpPair udp;
    close(udp.receiver.fd); // the port is connected to, but nobody listens there now
    udp.receiver.fd = -1;
    const std::string text = "hello";
    const Block block = Block::make(text, 4096);
    DatagramOutput out(udp.sender.fd, text.size(), true);
    int taken = 0;
    for (int i = 0; i < 200; ++i) {
        const Put put = out.put(block.data(), 5 * 64);
        ASSERT_NE(put.status, Put::Status::failed) << put.error;
        taken += put.bytes > 0 ? 1 : 0;
    }
    EXPECT_GE(taken, 90); // every other call at worst

    // Every send fails: the writer is told, and backs off.
    const Socket unconnected(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    DatagramOutput nowhere(unconnected.fd, text.size(), true);
    const Put put = nowhere.put(block.data(), 5);
    EXPECT_EQ(put.status, Put::Status::failed);
    EXPECT_EQ(put.error, EDESTADDRREQ);
}

} // namespace
