// The start of a run: the handler comes before anything large, so that an
// early SIGALRM ends the run as it would any program's.
#include "harness.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

namespace {

using harness::Child;
using harness::Launch;
using namespace std::chrono_literals;

// The most one argument can hold.
const std::string longest_text(131071, 'L');

class DevNull {
public:
    DevNull()
        : fd(open("/dev/null", O_WRONLY | O_CLOEXEC))
    {
    }
    DevNull(const DevNull&) = delete;
    DevNull& operator=(const DevNull&) = delete;
    ~DevNull() { close(fd); }
    int fd;
};

// Runs ended by a SIGALRM sent `delay` after the start, counted by status 0,
// for floodout and for a program that installs its handler first thing.
TEST(EarlySigalrm, EndsRunsAsOftenAsAProgramThatInstallsItsHandlerFirst)
{
#ifdef FLOODOUT_SANITIZED
    GTEST_SKIP() << "the sanitizers' start-up before main is longer than any program's";
#endif
    const DevNull devnull;
    constexpr int runs = 50;
    int ended[2] = { 0, 0 }; // floodout, the other
    for (int i = 0; i < 2 * runs; ++i) {
        const bool ours = i % 2 == 0;
        const auto delay = 1ms + std::chrono::microseconds(i / 2 * 2000 / (runs - 1));
        Launch launch { .args = { "0", longest_text }, .out = devnull.fd };
        if (!ours) {
            launch.program = HANDLER_FIRST_BINARY;
        }
        Child child(launch);
        std::this_thread::sleep_for(delay);
        child.signal(SIGALRM);
        ASSERT_TRUE(child.wait(2s));
        ended[ours ? 0 : 1] += child.exited_with(0) ? 1 : 0;
    }
    // Each count varies by a few runs from one try to the next.
    const int slack = std::max(3, ended[1] / 8);
    EXPECT_GE(ended[0] + slack, ended[1]) << "floodout " << ended[0] << " of " << runs << ", a program with "
                                          << "its handler first " << ended[1];
}

const char* const strace = "/usr/bin/strace";

// The length asked for by an anonymous mmap line of strace, or 0.
std::size_t anonymous_mapping(const std::string& line)
{
    if (!line.starts_with("mmap") || line.find("MAP_ANONYMOUS") == std::string::npos) {
        return 0;
    }
    const std::size_t comma = line.find(", ");
    return comma == std::string::npos ? 0 : std::stoul(line.substr(comma + 2));
}

TEST(StartUp, NothingLargeIsMappedBeforeTheHandler)
{
#ifdef FLOODOUT_SANITIZED
    GTEST_SKIP() << "the sanitizers map their shadow memory before main";
#endif
    if (access(strace, X_OK) != 0) {
        GTEST_SKIP() << "strace is not installed";
    }
    const std::string trace = testing::TempDir() + "floodout-start-" + std::to_string(getpid());
    const DevNull devnull;
    Child child({ .args = { "1", longest_text },
        .out = devnull.fd,
        .via = { strace, "-o", trace, "-e", "trace=/^mmap2?$,rt_sigaction" } });
    ASSERT_TRUE(child.wait(5s));
    ASSERT_TRUE(child.exited_with(0));
    std::ifstream in(trace);
    std::string line;
    bool handler = false;
    std::size_t largest_before = 0;
    std::size_t largest_after = 0;
    while (std::getline(in, line)) {
        if (line.starts_with("rt_sigaction(SIGALRM")) {
            handler = true;
        }
        std::size_t& largest = handler ? largest_after : largest_before;
        largest = std::max(largest, anonymous_mapping(line));
    }
    std::remove(trace.c_str());
    ASSERT_TRUE(handler) << "no rt_sigaction(SIGALRM) traced";
    EXPECT_LT(largest_before, std::size_t { 1 } << 20);
    EXPECT_GE(largest_after, std::size_t { 1 } << 20) << "the block was not seen: the trace proves nothing";
}

} // namespace
