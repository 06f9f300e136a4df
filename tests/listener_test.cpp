// A UDP receiver that comes and goes while floodout sends: it gets the
// first message at once each time it listens.
#include "harness.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using harness::Child;
using harness::Fd;
using namespace std::chrono_literals;

// Nobody listening on the port: the kernel answers every other send with
// ECONNREFUSED, which must not make the run back off, so that a receiver
// that starts listening gets messages at once. Measured seven times over:
// backing off 20 ms after a refusal would make most first messages wait.
// Timed, so it runs alone.
TEST(UdpNobodyListening, AReceiverThatComesGetsMessagesAtOnceAndTheRunEndsOnTime)
{
    if (harness::cross_endian()) {
        GTEST_SKIP() << "under " << harness::emulator() << ", " << harness::swapped_segment_size;
    }
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    auto* any = reinterpret_cast<sockaddr*>(&address); // NOLINT
    Fd sender(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    {
        const Fd reserve(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        ASSERT_EQ(bind(reserve.fd, any, sizeof address), 0);
        ASSERT_EQ(getsockname(reserve.fd, any, &length), 0); // a port, free once this closes
    }
    ASSERT_EQ(connect(sender.fd, any, sizeof address), 0);
    Child child({ .args = { "1", "hello" }, .out = sender.fd });
    sender.reset();
    std::this_thread::sleep_for(200ms);
    constexpr int trials = 7;
    int prompt = 0;
    std::vector<double> waits_ms;
    for (int i = 0; i < trials; ++i) {
        const Fd late(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        ASSERT_EQ(bind(late.fd, any, sizeof address), 0);
        const auto bound = std::chrono::steady_clock::now();
        pollfd p { late.fd, POLLIN, 0 };
        ASSERT_EQ(poll(&p, 1, 100), 1) << "nothing within 100 ms";
        const std::chrono::duration<double, std::milli> waited = std::chrono::steady_clock::now() - bound;
        waits_ms.push_back(waited.count());
        prompt += waited < 3ms ? 1 : 0;
        char datagram[16];
        EXPECT_EQ(recv(late.fd, datagram, sizeof datagram, 0), 5);
        EXPECT_EQ(std::string(datagram, 5), "hello");
        std::this_thread::sleep_for(30ms); // closed, nobody listens again
    }
    std::string waits;
    for (const double w : waits_ms) {
        waits += ' ';
        waits += std::to_string(w);
    }
    EXPECT_GE(prompt, trials / 2 + 1) << "waits for the first message, ms:" << waits;
    child.expect_ended_by_the_alarm();
}

} // namespace
