// The start of a run: the handler comes before anything large, so that an
// early SIGALRM ends the run as it would any program's.
#include "harness.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <thread>

namespace {

using harness::Child;
using harness::Launch;
using namespace std::chrono_literals;

// The most one argument can hold.
const std::string longest_text(131071, 'L');

// Pairs of runs, floodout's and a program's that installs its handler first
// thing, each sent SIGALRM at the same moment 1 to 3 ms after its exec, in
// random order. Where only one of a pair ended with status 0, the other was
// killed: a later handler shows as many more such pairs on the other's side
// than on floodout's, beyond what chance gives (three standard deviations).
TEST(EarlySigalrm, EndsRunsAsOftenAsAProgramThatInstallsItsHandlerFirst)
{
#ifdef FLOODOUT_SANITIZED
    GTEST_SKIP() << "the sanitizers' start-up before main is longer than any program's";
#endif
    const harness::Fd devnull(open("/dev/null", O_WRONLY | O_CLOEXEC));
    constexpr int pairs = 200;
    std::mt19937 random(harness::test_seed());
    int only_ours = 0;
    int only_theirs = 0;
    int both = 0;
    for (int i = 0; i < pairs; ++i) {
        const auto delay = 1ms + std::chrono::microseconds(i * 2000 / (pairs - 1));
        const bool ours_first = random() % 2 == 0;
        bool ended[2] = { false, false }; // floodout, the other
        for (const bool ours : { ours_first, !ours_first }) {
            Launch launch { .args = { "0", longest_text }, .out = devnull.fd };
            if (!ours) {
                launch.program = HANDLER_FIRST_BINARY;
            }
            Child child(launch);
            child.wait_for_exec();
            std::this_thread::sleep_for(delay);
            child.signal(SIGALRM);
            ASSERT_TRUE(child.wait(2s));
            ended[ours ? 0 : 1] = child.exited_with(0);
        }
        only_ours += ended[0] && !ended[1] ? 1 : 0;
        only_theirs += ended[1] && !ended[0] ? 1 : 0;
        both += ended[0] && ended[1] ? 1 : 0;
    }
    const double chance = std::max(4.0, 3 * std::sqrt(only_ours + only_theirs));
    EXPECT_LE(only_theirs - only_ours, chance)
        << "of " << pairs << " pairs, both ended " << both << ", only floodout " << only_ours
        << ", only the other " << only_theirs;
    RecordProperty("both_ended", both);
    RecordProperty("only_floodout_ended", only_ours);
    RecordProperty("only_the_other_ended", only_theirs);
}

const char* const strace = "/usr/bin/strace";

// A line of strace, or of qemu-user's own trace, without the process id
// that the latter starts with.
std::string call_of(const std::string& line)
{
    const std::size_t digits = line.find_first_not_of("0123456789");
    return digits != std::string::npos && digits > 0 && line[digits] == ' ' ? line.substr(digits + 1) : line;
}

// The length asked for by an anonymous mapping that can hold data, or 0. A
// PROT_NONE mapping only reserves addresses (the loader of some targets
// reserves a library's whole span that way).
std::size_t anonymous_mapping(const std::string& call)
{
    if (!call.starts_with("mmap") || call.find("MAP_ANONYMOUS") == std::string::npos
        || call.find("PROT_NONE") != std::string::npos) {
        return 0;
    }
    const std::size_t length = call.find_first_of("0123456789", call.find(','));
    return length == std::string::npos ? 0 : std::stoul(call.substr(length));
}

TEST(StartUp, NothingLargeIsMappedBeforeTheHandler)
{
#ifdef FLOODOUT_SANITIZED
    GTEST_SKIP() << "the sanitizers map their shadow memory before main";
#endif
    const std::string trace = testing::TempDir() + "floodout-start-" + std::to_string(getpid());
    const harness::Fd devnull(open("/dev/null", O_WRONLY | O_CLOEXEC));
    Launch launch { .args = { "1", longest_text }, .out = devnull.fd };
    int trace_file = -1;
    if (harness::emulator() != nullptr) {
        // strace would see qemu-user's calls: qemu-user traces the program's own.
        trace_file = open(trace.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        launch.err = trace_file;
        launch.via = { "/usr/bin/env", "QEMU_STRACE=1" };
    } else if (access(strace, X_OK) != 0) {
        GTEST_SKIP() << "strace is not installed";
    } else {
        launch.via = { strace, "-o", trace, "-e", "trace=/^mmap2?$,rt_sigaction" };
    }
    Child child(launch);
    if (trace_file >= 0) {
        close(trace_file);
    }
    ASSERT_TRUE(child.wait(10s));
    ASSERT_TRUE(child.exited_with(0));
    std::ifstream in(trace);
    std::string line;
    bool handler = false;
    std::size_t largest_before = 0;
    std::size_t largest_after = 0;
    while (std::getline(in, line)) {
        const std::string call = call_of(line);
        if (call.starts_with("rt_sigaction(SIGALRM")) {
            handler = true;
        }
        std::size_t& largest = handler ? largest_after : largest_before;
        largest = std::max(largest, anonymous_mapping(call));
    }
    std::remove(trace.c_str());
    ASSERT_TRUE(handler) << "no rt_sigaction(SIGALRM) traced";
    EXPECT_LT(largest_before, std::size_t { 1 } << 20);
    EXPECT_GE(largest_after, std::size_t { 1 } << 20) << "the block was not seen: the trace proves nothing";
}

} // namespace
