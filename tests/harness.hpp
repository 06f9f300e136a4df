#pragma once

#include "emulation.hpp"
#include "fd.hpp"

#include <sched.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace harness {

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

private:
    pid_t pid_ = -1;
    int exec_read_ = -1;
    bool ended_ = false;
    int status_ = 0;
    std::chrono::steady_clock::time_point start_;
    Seconds elapsed_ {};
    Seconds cpu_ {};
};

struct Pipe {
    Pipe(); // both ends close on exec
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    ~Pipe();
    void close_read();
    void close_write();
    int read = -1;
    int write = -1;
};

// Reads output while checking every byte against the endless repetition.
class PrefixReader {
public:
    explicit PrefixReader(std::string text, std::size_t read_size = std::size_t { 1 } << 20);
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
    bool exact_ = true;
};

} // namespace harness
