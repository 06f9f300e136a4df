// A real log collector as the reader: syslog-ng, started here in the
// foreground with a configuration of this test's own, listening on a UDP
// port of 127.0.0.1 and on a Unix datagram socket in a temporary directory,
// stores each message it gets as a line. floodout sends it a syslog line for
// a second on each: many thousands are stored, every one intact.
#include "harness.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using harness::Child;
using namespace std::chrono_literals;

const char* const syslog_ng = "/usr/sbin/syslog-ng";
const std::string line = "<13>Dec  8 15:00:00 host app: hello";

std::vector<std::string> lines_of(const fs::path& path)
{
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string l; std::getline(in, l);) {
        lines.push_back(l);
    }
    return lines;
}

// A UDP port of 127.0.0.1 that nobody holds now.
in_port_t free_port()
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address); // NOLINT
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length); // NOLINT
    close(fd);
    return ntohs(address.sin_port);
}

// A datagram socket connected to the UDP port or the Unix socket; -1 if it
// cannot be (yet).
int connected(in_port_t port, const fs::path& unix_path)
{
    if (port != 0) {
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) { // NOLINT
            return fd;
        }
        close(fd);
        return -1;
    }
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, unix_path.c_str(), sizeof address.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) { // NOLINT
        return fd;
    }
    close(fd);
    return -1;
}

TEST(Syslog, ACollectorStoresManyThousandsOfIntactMessagesFromEachSocket)
{
    if (access(syslog_ng, X_OK) != 0) {
        GTEST_SKIP() << syslog_ng << " is not installed (Debian's syslog-ng-core)";
    }
    const fs::path dir = fs::path(testing::TempDir()) / ("floodout-syslog-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const in_port_t port = free_port();
    const fs::path unix_path = dir / "log.sock";
    std::ofstream(dir / "conf") << "@version: 3.38\n"
                                << "options { stats-freq(0); log-fifo-size(1000000); };\n"
                                << "source s_udp { network(transport(\"udp\") ip(\"127.0.0.1\") port(" << port
                                << ") so-rcvbuf(4194304)); };\n"
                                << "source s_unix { unix-dgram(\"" << unix_path.string()
                                << "\" so-rcvbuf(4194304)); };\n"
                                << "destination d_udp { file(\"" << (dir / "udp.log").string()
                                << "\" template(\"${HOST} ${PROGRAM} ${MSG}\\n\")); };\n"
                                << "destination d_unix { file(\"" << (dir / "unix.log").string()
                                << "\" template(\"${HOST} ${PROGRAM} ${MSG}\\n\")); };\n"
                                << "log { source(s_udp); destination(d_udp); };\n"
                                << "log { source(s_unix); destination(d_unix); };\n";
    const int log = open((dir / "syslog-ng.out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    Child collector(
        { .args = { "-F", "--no-caps", "-f", (dir / "conf").string(), "-R", (dir / "persist").string(), "-c",
              (dir / "ctl").string(), "-p", (dir / "pid").string() },
            .err = log,
            .program = syslog_ng });
    close(log);

    struct Source {
        const char* name;
        in_port_t port; // 0: the Unix socket
        fs::path file;
    };
    const Source sources[] = { { "UDP", port, dir / "udp.log" }, { "Unix datagram", 0, dir / "unix.log" } };
    // Ready once a line sent by hand is stored; that line is what every
    // message should look like there.
    std::vector<std::string> reference;
    for (const Source& source : sources) {
        std::vector<std::string> stored;
        for (int i = 0; i < 200 && stored.empty() && !collector.wait(0s); ++i) {
            const int fd = connected(source.port, unix_path);
            if (fd >= 0) {
                EXPECT_GE(send(fd, line.data(), line.size(), 0), 0);
                close(fd);
            }
            std::this_thread::sleep_for(50ms);
            stored = lines_of(source.file);
        }
        ASSERT_FALSE(stored.empty()) << source.name << ": syslog-ng stored nothing; see "
                                     << (dir / "syslog-ng.out").string();
        reference.push_back(stored.front());
    }
    // A big-endian emulator on a little-endian machine gets UDP's segment
    // size wrong; the Unix socket is still checked there.
    const auto flooded = [](const Source& source) { return source.port == 0 || !harness::cross_endian(); };
    std::vector<std::size_t> before;
    for (const Source& source : sources) {
        before.push_back(lines_of(source.file).size());
        if (!flooded(source)) {
            continue;
        }
        const int fd = connected(source.port, unix_path);
        ASSERT_GE(fd, 0) << source.name;
        Child child({ .args = { "1", line }, .out = fd });
        close(fd);
        ASSERT_TRUE(child.wait(3s)) << source.name;
        EXPECT_TRUE(child.exited_with(0)) << source.name;
        EXPECT_LE(child.elapsed(), 1.5s) << source.name;
    }
    // Stopped, it writes out what it holds.
    collector.signal(SIGTERM);
    ASSERT_TRUE(collector.wait(10s));
    for (std::size_t i = 0; i < std::size(sources); ++i) {
        if (!flooded(sources[i])) {
            continue;
        }
        const std::vector<std::string> stored = lines_of(sources[i].file);
        std::size_t wrong = 0;
        for (const std::string& l : stored) {
            wrong += l == reference[i] ? 0U : 1U;
        }
        EXPECT_GE(stored.size() - before[i], 5000U) << sources[i].name;
        EXPECT_EQ(wrong, 0U) << sources[i].name << ": of " << stored.size() << " stored, like \""
                             << reference[i] << "\"";
        RecordProperty(i == 0 ? "udp_messages" : "unix_messages", std::to_string(stored.size() - before[i]));
    }
    fs::remove_all(dir);
    if (harness::cross_endian()) {
        GTEST_SKIP() << "UDP, under " << harness::emulator() << ", " << harness::swapped_segment_size;
    }
}

} // namespace
