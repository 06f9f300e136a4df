// Little memory: under an address-space limit or in a memory cgroup, a run
// either ends with status 1 before writing or writes at full speed, exactly.
#include "harness.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <ostream>
#include <string>
#include <thread>

namespace {

using harness::Child;
using harness::Launch;
using harness::Pipe;
using harness::PrefixReader;
using namespace std::chrono_literals;

// Bytes a second below which a run does not count as writing at all: a
// writer that hands over one text a call, or nothing, stays far below.
constexpr double full_speed = 100e6;

struct Outcome {
    bool started = false; // the program, not the loader or exec, decided how it ended
    bool refused = false; // status 1 with nothing written
    double rate = 0; // bytes a second while it wrote
    bool exact = true;
};

// A run without a count under an address-space limit of `kib` KiB, read for
// `reading`, then ended by SIGALRM.
Outcome run_limited(std::size_t kib, const std::string& text, harness::Seconds reading)
{
    Pipe out;
    Child child({ .args = { "0", text },
        .out = out.write.fd,
        .via = { REFUSE_BINARY, "limit-as", std::to_string(kib), "--" } });
    out.write.reset();
    PrefixReader reader(text);
    bool open = true;
    const auto read_for = [&](harness::Seconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (open && std::chrono::steady_clock::now() < deadline) {
            pollfd p { out.read.fd, POLLIN, 0 };
            if (poll(&p, 1, 10) == 1) {
                open = reader.read_once(out.read.fd);
            }
        }
    };
    const auto start = std::chrono::steady_clock::now();
    read_for(reading);
    const harness::Seconds took = std::chrono::steady_clock::now() - start;
    Outcome outcome;
    outcome.rate = static_cast<double>(reader.bytes()) / took.count();
    if (open) {
        child.signal(SIGALRM);
        // Bounded: a run that outlives its SIGALRM is this test's failure,
        // not a hang until the test's timeout.
        read_for(5s);
        EXPECT_FALSE(open) << kib << " KiB: its stdout still open 5 s after SIGALRM";
    }
    child.wait(2s);
    outcome.refused = child.exited_with(1) && reader.bytes() == 0;
    outcome.started = child.exited_with(0) || child.exited_with(1);
    outcome.exact = reader.exact_prefix();
    return outcome;
}

class UnderAddressSpaceLimits : public testing::TestWithParam<std::size_t> { };

TEST_P(UnderAddressSpaceLimits, EachRunEndsWithStatus1OrWritesAtFullSpeed)
{
    SKIP_UNDER_EMULATION(harness::no_address_space_limit);
#ifdef FLOODOUT_SANITIZED
    GTEST_SKIP() << "the sanitizers' shadow memory needs terabytes of address space";
#endif
    const std::string text = harness::text_of(GetParam());
    constexpr std::size_t step = 4;
    // The least limit, to 4 KiB, at which `holds`, found by halving.
    const auto least = [&](std::size_t low, std::size_t high, auto holds) {
        while (high - low > step) {
            const std::size_t mid = (low + high) / 2 / step * step;
            (holds(run_limited(mid, text, 20ms)) ? high : low) = mid;
        }
        return high;
    };
    const std::size_t roomy = 256 * 1024;
    ASSERT_FALSE(run_limited(roomy, text, 20ms).refused);
    const std::size_t starts = least(0, roomy, [](const Outcome& o) { return o.started; });
    const std::size_t writes
        = least(starts - step, roomy, [](const Outcome& o) { return o.started && !o.refused; });
    // From where it starts at all to well past where it starts to write.
    int wrote = 0;
    for (std::size_t kib = starts; kib <= std::max(starts, writes) + 96; kib += step) {
        const Outcome outcome = run_limited(kib, text, 100ms);
        EXPECT_TRUE(outcome.started) << kib << " KiB";
        EXPECT_TRUE(outcome.exact) << kib << " KiB";
        if (!outcome.refused) {
            ++wrote;
            EXPECT_GE(outcome.rate, full_speed) << kib << " KiB: " << outcome.rate / 1e6 << " MB/s";
        }
    }
    EXPECT_GE(wrote, 96 / static_cast<int>(step));
    RecordProperty("starts_kib", std::to_string(starts));
    RecordProperty("writes_kib", std::to_string(writes));
}

INSTANTIATE_TEST_SUITE_P(Texts, UnderAddressSpaceLimits, testing::Values(1, 131071),
    [](const auto& param_info) { return "Text" + std::to_string(param_info.param); });

bool write_file(const std::string& path, const std::string& value)
{
    std::ofstream out(path);
    out << value;
    out.flush();
    return static_cast<bool>(out);
}

bool read_line(const std::string& path, std::string& line)
{
    std::ifstream in(path);
    return static_cast<bool>(std::getline(in, line));
}

// A memory cgroup of the test's own, cgroup v2 where the machine has its
// memory controller there, else v1; removed at the end.
class MemoryCgroup {
public:
    explicit MemoryCgroup(std::size_t limit)
    {
        const std::string name = "floodout-test-" + std::to_string(getpid()) + "-" + std::to_string(limit);
        std::string controllers;
        if (read_line("/sys/fs/cgroup/cgroup.controllers", controllers)
            && (" " + controllers + " ").find(" memory ") != std::string::npos) {
            write_file("/sys/fs/cgroup/cgroup.subtree_control", "+memory");
            make("/sys/fs/cgroup/" + name, "memory.max", limit);
            // Swap would let it live on where the limit means to stop it.
            write_file(dir_ + "/memory.swap.max", "0");
        } else if (access("/sys/fs/cgroup/memory/memory.limit_in_bytes", F_OK) == 0) {
            make("/sys/fs/cgroup/memory/" + name, "memory.limit_in_bytes", limit);
            write_file(dir_ + "/memory.memsw.limit_in_bytes", std::to_string(limit));
        } else {
            why_ = "no memory controller under /sys/fs/cgroup";
        }
    }
    MemoryCgroup(const MemoryCgroup&) = delete;
    MemoryCgroup& operator=(const MemoryCgroup&) = delete;
    ~MemoryCgroup()
    {
        // Its last process may take a moment to leave.
        for (int i = 0; i < 100 && !dir_.empty() && rmdir(dir_.c_str()) != 0 && errno == EBUSY; ++i) {
            std::this_thread::sleep_for(10ms);
        }
    }

    [[nodiscard]] std::string procs() const { return why_.empty() ? dir_ + "/cgroup.procs" : ""; }
    [[nodiscard]] const std::string& why() const { return why_; }

private:
    void make(const std::string& dir, const char* limit_file, std::size_t limit)
    {
        if (mkdir(dir.c_str(), 0755) != 0) {
            why_ = "cannot make a cgroup at " + dir + ": " + std::strerror(errno);
            return;
        }
        dir_ = dir;
        if (!write_file(dir + "/" + limit_file, std::to_string(limit))) {
            why_ = std::string("cannot set ") + limit_file + " in " + dir;
        }
    }

    std::string dir_;
    std::string why_;
};

struct Cell {
    std::size_t mib;
    std::size_t text;
};

void PrintTo(const Cell& cell, std::ostream* os)
{
    *os << cell.mib << " MiB, " << cell.text << " B";
}

class InAMemoryCgroup : public testing::TestWithParam<Cell> { };

TEST_P(InAMemoryCgroup, WhereYesLivesASecondARunWritesAtLeast100MB)
{
    SKIP_UNDER_EMULATION(harness::counts_qemu_memory);
#ifdef FLOODOUT_SANITIZED
    GTEST_SKIP() << "the sanitizers' own memory does not fit in these limits";
#endif
    const Cell cell = GetParam();
    const MemoryCgroup cgroup(cell.mib << 20);
    if (cgroup.procs().empty()) {
        GTEST_SKIP() << cgroup.why();
    }
    const std::string text = harness::text_of(cell.text);
    {
        Pipe out;
        Child yes({ .args = { text.substr(1) },
            .out = out.write.fd,
            .program = "/usr/bin/yes",
            .cgroup = cgroup.procs() });
        out.write.reset();
        PrefixReader sink(text); // only drains: yes adds newlines
        std::thread drain([&] { sink.read_to_end(out.read.fd); });
        const bool lived = !yes.wait(1s);
        yes.signal(SIGTERM);
        yes.wait(2s);
        drain.join();
        if (!lived) {
            GTEST_SKIP() << "yes does not live a second here either";
        }
    }
    Pipe out;
    Child child({ .args = { "1", text }, .out = out.write.fd, .cgroup = cgroup.procs() });
    out.write.reset();
    PrefixReader reader(text);
    reader.read_to_end(out.read.fd);
    ASSERT_TRUE(child.wait(2s));
    EXPECT_TRUE(child.exited_with(0)) << (child.killed_by(SIGKILL) ? "killed: out of memory" : "");
    EXPECT_TRUE(reader.exact_prefix());
    EXPECT_GE(static_cast<double>(reader.bytes()), full_speed);
}

INSTANTIATE_TEST_SUITE_P(Limits, InAMemoryCgroup,
    testing::Values(Cell { 2, 1 }, Cell { 2, 5 }, Cell { 2, 131071 }, Cell { 4, 1 }, Cell { 4, 5 },
        Cell { 4, 131071 }, Cell { 8, 1 }, Cell { 8, 5 }, Cell { 8, 131071 }, Cell { 16, 1 }, Cell { 16, 5 },
        Cell { 16, 131071 }),
    [](const auto& param_info) {
        return std::to_string(param_info.param.mib) + "MiBText" + std::to_string(param_info.param.text);
    });

} // namespace
