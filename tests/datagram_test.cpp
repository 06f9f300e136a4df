// stdout a datagram socket: UDP over IPv4 and IPv6, Unix datagram and
// sequenced-packet sockets. Each datagram is one repetition, or one of the
// pieces of a repetition longer than the socket takes; where nothing is
// lost, they add up to an exact prefix; the run ends at its alarm.
#include "harness.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <ostream>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

using harness::Child;
using harness::Fd;
using namespace std::chrono_literals;

enum class Kind { udp4, udp6, unix_dgram, seqpacket };

// A receiver and the socket floodout writes to. Empty `why` when ready.
struct Sockets {
    explicit Sockets(Kind kind)
    {
        if (kind == Kind::unix_dgram || kind == Kind::seqpacket) {
            int pair[2] = { -1, -1 };
            if (socketpair(
                    AF_UNIX, (kind == Kind::seqpacket ? SOCK_SEQPACKET : SOCK_DGRAM) | SOCK_CLOEXEC, 0, pair)
                != 0) {
                why = std::string("socketpair: ") + std::strerror(errno);
            }
            receiver.fd = pair[0];
            sender.fd = pair[1];
            return;
        }
        const bool six = kind == Kind::udp6;
        receiver.fd = socket(six ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sender.fd = socket(six ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        // Room for bursts: UDP drops what does not fit.
        const int big = 32 << 20;
        if (setsockopt(receiver.fd, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big) != 0) {
            setsockopt(receiver.fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        }
        sockaddr_storage address {};
        socklen_t length = six ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
        if (six) {
            auto& a = reinterpret_cast<sockaddr_in6&>(address); // NOLINT
            a.sin6_family = AF_INET6;
            a.sin6_addr = in6addr_loopback;
        } else {
            auto& a = reinterpret_cast<sockaddr_in&>(address); // NOLINT
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        }
        auto* any = reinterpret_cast<sockaddr*>(&address); // NOLINT
        if (receiver.fd < 0 || sender.fd < 0 || bind(receiver.fd, any, length) != 0
            || getsockname(receiver.fd, any, &length) != 0 || connect(sender.fd, any, length) != 0) {
            why = std::string(six ? "no IPv6 loopback here: " : "no UDP loopback: ") + std::strerror(errno);
        }
    }
    Fd receiver;
    Fd sender;
    std::string why;
};

// Checks every datagram against the rules: one whole repetition, or a piece
// of one that is as large as the socket takes or ends the repetition.
class Datagrams {
public:
    Datagrams(std::string text, bool lossless)
        : text_(std::move(text))
        , lossless_(lossless)
    {
        for (std::size_t i = 0; i + window <= text_.size(); ++i) {
            std::uint64_t key = 0;
            std::memcpy(&key, text_.data() + i, window);
            where_.emplace(key, i);
        }
    }

    void add(const char* data, std::size_t size)
    {
        const std::size_t n = text_.size();
        std::size_t at = static_cast<std::size_t>(bytes_ % n);
        if (!lossless_ && size >= window) {
            std::uint64_t key = 0;
            std::memcpy(&key, data, window);
            const auto found = where_.find(key);
            at = found == where_.end() ? n : found->second;
        } else if (!lossless_) {
            at = 0;
        }
        if (size == 0 || at + size > n || std::memcmp(data, text_.data() + at, size) != 0) {
            ++wrong_;
        }
        lengths_.push_back(size);
        ends_.push_back(at + size == n);
        bytes_ += size;
    }

    // Datagrams not made by the rules, counting learning's odd sizes only
    // among the first few.
    [[nodiscard]] std::size_t wrong() const
    {
        std::size_t largest = 0;
        for (const std::size_t length : lengths_) {
            largest = std::max(largest, length);
        }
        std::size_t odd = 0;
        for (std::size_t i = 32; i < lengths_.size(); ++i) {
            odd += lengths_[i] == largest || ends_[i] ? 0U : 1U;
        }
        return wrong_ + odd;
    }
    [[nodiscard]] std::size_t count() const { return lengths_.size(); }

private:
    static constexpr std::size_t window = 8;
    std::string text_;
    bool lossless_;
    std::unordered_map<std::uint64_t, std::size_t> where_;
    std::vector<std::size_t> lengths_;
    std::vector<bool> ends_;
    std::uint64_t bytes_ = 0;
    std::size_t wrong_ = 0;
};

// Receives from `fd` until the child has ended and nothing is left, or the
// socket says it has ended.
void receive(int fd, Child& child, Datagrams& datagrams)
{
    constexpr unsigned many = 64;
    std::vector<std::string> buffers(many, std::string(1 << 17, '\0'));
    std::vector<iovec> pieces(many);
    std::vector<mmsghdr> messages(many);
    bool ended = false;
    for (int quiet = 0; quiet < 3;) {
        for (unsigned i = 0; i < many; ++i) {
            pieces[i] = { buffers[i].data(), buffers[i].size() };
            messages[i] = {};
            messages[i].msg_hdr.msg_iov = &pieces[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        pollfd p { fd, POLLIN, 0 };
        const int n = poll(&p, 1, 20) == 1 ? recvmmsg(fd, messages.data(), many, MSG_DONTWAIT, nullptr) : 0;
        for (int i = 0; i < n; ++i) {
            const auto at = static_cast<std::size_t>(i);
            if (messages[at].msg_len == 0) {
                return; // a sequenced-packet socket's end: floodout sends no empty datagram
            }
            datagrams.add(buffers[at].data(), messages[at].msg_len);
        }
        ended = ended || child.wait(0s);
        quiet = ended && n <= 0 ? quiet + 1 : 0;
    }
}

struct Sending {
    Kind kind;
    std::size_t text;
};

const char* name_of(Kind kind)
{
    switch (kind) {
    case Kind::udp4:
        return "Udp4";
    case Kind::udp6:
        return "Udp6";
    case Kind::unix_dgram:
        return "UnixDatagram";
    case Kind::seqpacket:
        return "UnixSeqpacket";
    }
    return "";
}

void PrintTo(const Sending& cell, std::ostream* os)
{
    *os << name_of(cell.kind) << ", " << cell.text << " B";
}

class Into : public testing::TestWithParam<Sending> { };

TEST_P(Into, EachDatagramIsOneRepetitionOrAPieceOfOneUntilTheAlarm)
{
    const Sending cell = GetParam();
    const bool udp = cell.kind == Kind::udp4 || cell.kind == Kind::udp6;
    if (udp && cell.text < 65507 / 2 && harness::cross_endian()) {
        GTEST_SKIP() << "under " << harness::emulator() << ", " << harness::swapped_segment_size;
    }
    Sockets sockets(cell.kind);
    if (!sockets.why.empty()) {
        GTEST_SKIP() << sockets.why;
    }
    // 36 bytes: a syslog line; the others say where each 8 of their bytes are.
    const std::string text
        = cell.text == 36 ? "<13>Dec  8 15:00:00 host app: hello\n" : harness::text_of(cell.text);
    const bool lossless = cell.kind == Kind::unix_dgram || cell.kind == Kind::seqpacket;
    Datagrams datagrams(text, lossless);
    Child child({ .args = { "1", text }, .out = sockets.sender.fd });
    sockets.sender.reset();
    receive(sockets.receiver.fd, child, datagrams);
    child.expect_ended_by_the_alarm();
    EXPECT_GE(datagrams.count(), 100U); // none at all before datagram outputs were told apart
    EXPECT_EQ(datagrams.wrong(), 0U) << "of " << datagrams.count();
}

std::vector<Sending> sendings()
{
    std::vector<Sending> list;
    for (const Kind kind : { Kind::udp4, Kind::udp6, Kind::unix_dgram, Kind::seqpacket }) {
        for (const std::size_t text : std::initializer_list<std::size_t> { 1, 36, 70000, 131071 }) {
            list.push_back({ kind, text });
        }
    }
    return list;
}

INSTANTIATE_TEST_SUITE_P(Sockets, Into, testing::ValuesIn(sendings()), [](const auto& param_info) {
    return std::string(name_of(param_info.param.kind)) + "Text" + std::to_string(param_info.param.text);
});

TEST(UnixDatagramNotRead, TheRunStillEndsAtItsAlarm)
{
    Sockets sockets(Kind::unix_dgram);
    ASSERT_TRUE(sockets.why.empty()) << sockets.why;
    Child child({ .args = { "1", "hello" }, .out = sockets.sender.fd });
    child.expect_ended_by_the_alarm();
    EXPECT_LT(child.cpu(), 0.25s); // an emulator's start included
}

} // namespace
