// Wherever a plain writer runs, floodout runs: each optional call it makes
// is refused in turn (as a seccomp filter of a container runtime or service
// manager would), or memory is tight, and the run must still write, exactly,
// until its alarm.
#include "harness.hpp"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <ostream>
#include <string>
#include <vector>

namespace {

using harness::Child;
using harness::Pipe;
using harness::PrefixReader;
using namespace std::chrono_literals;

struct Refusal {
    const char* name;
    std::vector<std::string> via; // the launcher's arguments before "--"
    bool unix_socket = false; // stdout a Unix stream socket, else a pipe
};

void PrintTo(const Refusal& param, std::ostream* os)
{
    *os << param.name;
}

class Refused : public testing::TestWithParam<Refusal> { };

TEST_P(Refused, TheRunStillWritesAnExactPrefixUntilItsAlarm)
{
    SKIP_UNDER_EMULATION(
        GetParam().via[0] == "limit-as" ? harness::no_address_space_limit : harness::no_seccomp);
    std::vector<std::string> via { REFUSE_BINARY };
    via.insert(via.end(), GetParam().via.begin(), GetParam().via.end());
    via.emplace_back("--");
    Pipe out;
    if (GetParam().unix_socket) {
        int pair[2] = { -1, -1 };
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        out.read.reset(pair[0]);
        out.write.reset(pair[1]);
    }
    Pipe err;
    Child child({ .args = { "1", "abc" }, .out = out.write.fd, .err = err.write.fd, .via = via });
    out.write.reset();
    err.write.reset();
    PrefixReader reader("abc");
    reader.read_to_end(out.read.fd);
    child.expect_ended_by_the_alarm();
    EXPECT_TRUE(reader.exact_prefix());
    // write(2) alone gives GBs, one that stalls nothing. The floor is low:
    // here one run in ten or so, of the last release as well, copied into
    // the pipe's fresh pages at 60-90 MB/s, all of its CPU in the kernel's
    // copy (the virtual machine's memory, not the program).
    EXPECT_GE(reader.bytes(), 20'000'000U);
    PrefixReader launcher_said("");
    launcher_said.read_to_end(err.read.fd);
    EXPECT_EQ(launcher_said.bytes(), 0U) << "the filter was not installed";
}

std::vector<Refusal> refusals()
{
    const std::string setpipe_sz = std::to_string(F_SETPIPE_SZ);
    const std::string fionread = std::to_string(FIONREAD);
    std::vector<Refusal> list {
        { "VmspliceEperm", { "vmsplice", std::to_string(EPERM) } },
        { "VmspliceEacces", { "vmsplice", std::to_string(EACCES) } },
        { "VmspliceEfault", { "vmsplice", std::to_string(EFAULT) } },
        { "VmspliceEnomem", { "vmsplice", std::to_string(ENOMEM) } },
        { "VmspliceEnosys", { "vmsplice", std::to_string(ENOSYS) } },
        // The teed way: refused at once, or its go-between already full.
        { "TeeEperm", { "tee", std::to_string(EPERM) } },
        { "TeeEinval", { "tee", std::to_string(EINVAL) } },
        { "SpliceEperm", { "splice", std::to_string(EPERM) } },
        { "SpliceEinval", { "splice", std::to_string(EINVAL) } },
        { "SetPipeSizeEperm", { "fcntl", std::to_string(EPERM), setpipe_sz } },
        { "MadviseEperm", { "madvise", std::to_string(EPERM) } },
        { "SchedGetaffinityEperm", { "sched_getaffinity", std::to_string(EPERM) } },
        { "FionreadEperm", { "ioctl", std::to_string(EPERM), fionread } },
        { "PollEperm", { "poll", std::to_string(EPERM) } },
        { "VmspliceEpermUnixSocket", { "vmsplice", std::to_string(EPERM) }, true },
        { "SpliceEpermUnixSocket", { "splice", std::to_string(EPERM) }, true },
        { "SpliceEinvalUnixSocket", { "splice", std::to_string(EINVAL) }, true },
    };
#ifndef FLOODOUT_SANITIZED // the sanitizers' shadow memory needs terabytes of address space
    // Too little for the huge-page block, then for any block of 2 MiB.
    list.push_back({ "AddressSpace6000KiB", { "limit-as", "6000" } });
    list.push_back({ "AddressSpace4000KiB", { "limit-as", "4000" } });
#endif
    return list;
}

INSTANTIATE_TEST_SUITE_P(Calls, Refused, testing::ValuesIn(refusals()),
    [](const auto& param_info) { return param_info.param.name; });

} // namespace
