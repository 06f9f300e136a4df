#pragma once

#include <sched.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace harness {

// What the tests need to know when they run under qemu-user.
// The qemu-user program the tests run under, or null where they run
// natively. FLOODOUT_EMULATOR names it where tests built for this machine
// start a program built for another (FLOODOUT_BINARY, a script that runs it
// under qemu-user).
inline const char* emulator()
{
    const char* named = std::getenv("FLOODOUT_EMULATOR");
    if (named != nullptr && *named != '\0') {
        return named;
    }
#ifdef FLOODOUT_EMULATED
    return FLOODOUT_EMULATED;
#else
    return nullptr;
#endif
}

// What qemu-user cannot show; a test that checks one of these is skipped
// under it, saying why.
inline constexpr const char* no_seccomp = "it answers PR_SET_SECCOMP with EINVAL: no filter can be installed";
inline constexpr const char* no_address_space_limit
    = "it accepts an address-space limit but does not apply it to the program";
inline constexpr const char* late_sigalrm
    = "it delivers a SIGALRM only once a blocking vmsplice has returned";
inline constexpr const char* counts_qemu_memory = "the memory a process uses includes qemu-user's own";
inline constexpr const char* counts_emulation_cpu = "the CPU time a run costs includes the emulation";
// Emulating a big-endian machine on a little-endian one: the tests' own
// byte order, or FLOODOUT_EMULATED_BYTE_ORDER=big for the program's.
inline bool cross_endian()
{
    const char* order = std::getenv("FLOODOUT_EMULATED_BYTE_ORDER");
    if (emulator() == nullptr) {
        return false;
    }
    return order != nullptr ? std::strcmp(order, "big") == 0 : __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;
}
inline constexpr const char* swapped_segment_size
    = "it hands a UDP_SEGMENT control message to the kernel without "
      "converting its byte order, so the kernel cuts at another length";

#define SKIP_UNDER_EMULATION(why)                                                                            \
    if (harness::emulator() != nullptr)                                                                      \
    GTEST_SKIP() << "under " << harness::emulator() << ", " << (why)

// A file descriptor closed at the end of its scope.
class Fd {
public:
    explicit Fd(int descriptor = -1)
        : fd(descriptor)
    {
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    void reset(int descriptor = -1)
    {
        if (fd >= 0) {
            close(fd);
        }
        fd = descriptor;
    }
    int fd;
};

// A text of `size` bytes for the tests to repeat: any byte but NUL (it is an
// argument), no short period, each 8 bytes of it saying where they are.
std::string text_of(std::size_t size);

// The seed of a test's random choices: FLOODOUT_TEST_SEED where set, else a
// fresh one; printed, so that a failure can be repeated.
unsigned test_seed();

using Seconds = std::chrono::duration<double>;

// How the program is started: its arguments, its stdout and what it inherits.
struct Launch {
    std::vector<std::string> args; // after the program's name
    bool empty_argv = false; // argc 0: not even a name
    int out = -1; // becomes stdout; -1 leaves stdout closed
    int err = -1; // becomes stderr; -1 means /dev/null
    bool ignore_sigpipe = false;
    bool block_sigalrm = false;
    unsigned inherited_alarm = 0;
    int cpu = -1; // the only CPU it may run on; -1 leaves the affinity as it is
    std::vector<std::string> via; // a launcher and its arguments, run with the program after them
    std::string program; // what is run; empty for floodout
    std::string cgroup; // a cgroup.procs file to join before exec; empty for none
};

// Pins the calling thread to one CPU for its lifetime, then restores it.
class PinnedToCpu {
public:
    explicit PinnedToCpu(int cpu);
    PinnedToCpu(const PinnedToCpu&) = delete;
    PinnedToCpu& operator=(const PinnedToCpu&) = delete;
    ~PinnedToCpu();

private:
    cpu_set_t saved_ {};
};

// A pty in raw mode, both sides closed on exec: the terminal side (write)
// takes bytes as they are, the other (read) gives them back.
bool open_raw_terminal(int& read, int& write);

// The first CPU this process may run on.
int first_usable_cpu();

// A cost of floodout's and of another program's, measured in turns until the
// least of ours is at most `most` times the least of theirs, at least
// `at_least` and at most `at_most` times each. Other load on a shared
// machine only adds to a run's cost: the least of each is its own. A
// measurement that failed (below what any run can cost) stays the least.
struct SideBySide {
    double ours;
    double theirs;
};
SideBySide least_side_by_side(int at_least, int at_most, double most, const std::function<double()>& ours,
    const std::function<double()>& theirs);

class Child {
public:
    explicit Child(const Launch& launch);
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child(); // kills and reaps a child still running

    [[nodiscard]] pid_t pid() const { return pid_; }
    // Returns once the program (the first one, where there is a launcher)
    // has replaced the forked child, or the child has ended.
    void wait_for_exec();
    void signal(int sig) const;
    // Waits at most `limit` for the end; false if it still runs.
    bool wait(Seconds limit);
    [[nodiscard]] bool exited_with(int code) const;
    [[nodiscard]] bool killed_by(int sig) const;
    [[nodiscard]] Seconds elapsed() const { return elapsed_; } // start to end
    [[nodiscard]] Seconds cpu() const { return cpu_; } // user + system
    // A run of `seconds` ended by its alarm, with status 0, on time.
    void expect_ended_by_the_alarm(int seconds = 1);

private:
    pid_t pid_ = -1;
    int exec_read_ = -1;
    bool ended_ = false;
    int status_ = 0;
    std::chrono::steady_clock::time_point start_;
    Seconds elapsed_ {};
    Seconds cpu_ {};
};

// A pipe, both ends closed on exec.
struct Pipe {
    explicit Pipe(int flags = 0);
    Fd read;
    Fd write;
};

// Reads output while checking every byte against the endless repetition
// (those of every `check_every`th read, for a reader that must be fast).
class PrefixReader {
public:
    explicit PrefixReader(
        std::string text, std::size_t read_size = std::size_t { 1 } << 20, std::uint64_t check_every = 1);
    // One read; false at the end (EOF, or EIO from a pty whose other side went).
    bool read_once(int fd);
    void read_to_end(int fd, Seconds pause_between_reads = Seconds { 0 });
    [[nodiscard]] std::uint64_t bytes() const { return bytes_; }
    [[nodiscard]] bool exact_prefix() const { return exact_; }

private:
    std::string text_;
    std::string expected_; // the repetition, read_size bytes past every start
    std::string buffer_;
    std::uint64_t bytes_ = 0; // more than 4 GiB a second, also on 32 bits
    std::uint64_t check_every_;
    std::uint64_t reads_ = 0;
    bool exact_ = true;
};

} // namespace harness
