#include "harness.hpp"

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>
#include <thread>
#include <utility>

namespace harness {

std::string text_of(std::size_t size)
{
    std::mt19937 random(static_cast<unsigned>(size));
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        text.push_back(static_cast<char>(1 + random() % 255));
    }
    return text;
}

unsigned test_seed()
{
    const char* given = std::getenv("FLOODOUT_TEST_SEED");
    const unsigned seed
        = given != nullptr ? static_cast<unsigned>(std::stoul(given)) : std::random_device {}();
    std::printf("random choices from seed %u; FLOODOUT_TEST_SEED=%u repeats them\n", seed, seed);
    return seed;
}

Child::Child(const Launch& launch)
{
    // Everything the child needs is built before fork: after it, only
    // async-signal-safe calls.
    // Another build may be tried against the same tests.
    const char* binary = std::getenv("FLOODOUT_BINARY");
    std::vector<std::string> strings = launch.via;
    if (!launch.program.empty()) {
        strings.push_back(launch.program);
    } else {
        strings.emplace_back(binary != nullptr ? binary : FLOODOUT_BINARY);
    }
    strings.insert(strings.end(), launch.args.begin(), launch.args.end());
    std::vector<char*> argv;
    if (!launch.empty_argv) {
        for (auto& s : strings) {
            argv.push_back(s.data());
        }
    }
    argv.push_back(nullptr);
    const int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    // Its write end closes when exec succeeds: see wait_for_exec().
    int exec_pipe[2] = { -1, -1 };
    if (pipe2(exec_pipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe2 failed");
    }
    start_ = std::chrono::steady_clock::now();
    pid_ = fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        ::signal(SIGPIPE, launch.ignore_sigpipe ? SIG_IGN : SIG_DFL);
        ::signal(SIGALRM, SIG_DFL);
        sigset_t mask;
        sigemptyset(&mask);
        if (launch.block_sigalrm) {
            sigaddset(&mask, SIGALRM);
        }
        sigprocmask(SIG_SETMASK, &mask, nullptr);
        dup2(launch.err >= 0 ? launch.err : devnull, STDERR_FILENO);
        if (launch.out >= 0) {
            dup2(launch.out, STDOUT_FILENO);
        } else {
            close(STDOUT_FILENO);
        }
        if (launch.cpu >= 0) {
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(static_cast<std::size_t>(launch.cpu), &one);
            sched_setaffinity(0, sizeof one, &one);
        }
        if (!launch.cgroup.empty()) {
            const int procs = open(launch.cgroup.c_str(), O_WRONLY);
            if (procs < 0 || write(procs, "0", 1) != 1) {
                _exit(126);
            }
            close(procs);
        }
        alarm(launch.inherited_alarm);
        execv(strings[0].c_str(), argv.data());
        _exit(127);
    }
    close(devnull);
    close(exec_pipe[1]);
    exec_read_ = exec_pipe[0];
}

void Child::wait_for_exec()
{
    char byte = 0;
    while (exec_read_ >= 0 && read(exec_read_, &byte, 1) < 0 && errno == EINTR) { }
    close(exec_read_);
    exec_read_ = -1;
}

Child::~Child()
{
    if (exec_read_ >= 0) {
        close(exec_read_);
    }
    if (!ended_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

void Child::signal(int sig) const
{
    kill(pid_, sig);
}

bool Child::wait(Seconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!ended_) {
        rusage usage {};
        const pid_t r = wait4(pid_, &status_, WNOHANG, &usage);
        if (r == pid_) {
            ended_ = true;
            elapsed_ = std::chrono::steady_clock::now() - start_;
            const auto tv = [](timeval t) {
                return Seconds { static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6 };
            };
            cpu_ = tv(usage.ru_utime) + tv(usage.ru_stime);
        } else if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    return true;
}

void Child::expect_ended_by_the_alarm(int seconds)
{
    ASSERT_TRUE(wait(Seconds(seconds + 1)));
    EXPECT_TRUE(exited_with(0));
    EXPECT_GE(elapsed(), Seconds(seconds - 0.05));
    EXPECT_LE(elapsed(), Seconds(seconds + 0.5));
}

bool Child::exited_with(int code) const
{
    return ended_ && WIFEXITED(status_) && WEXITSTATUS(status_) == code;
}

bool Child::killed_by(int sig) const
{
    return ended_ && WIFSIGNALED(status_) && WTERMSIG(status_) == sig;
}

PinnedToCpu::PinnedToCpu(int cpu)
{
    sched_getaffinity(0, sizeof saved_, &saved_);
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(static_cast<std::size_t>(cpu), &one);
    sched_setaffinity(0, sizeof one, &one);
}

PinnedToCpu::~PinnedToCpu()
{
    sched_setaffinity(0, sizeof saved_, &saved_);
}

bool open_raw_terminal(int& read, int& write)
{
    if (openpty(&read, &write, nullptr, nullptr, nullptr) != 0) {
        return false;
    }
    termios raw {};
    tcgetattr(write, &raw);
    cfmakeraw(&raw);
    tcsetattr(write, TCSANOW, &raw);
    fcntl(read, F_SETFD, FD_CLOEXEC);
    fcntl(write, F_SETFD, FD_CLOEXEC);
    return true;
}

int first_usable_cpu()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    sched_getaffinity(0, sizeof set, &set);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(static_cast<std::size_t>(cpu), &set)) {
            return cpu;
        }
    }
    return 0;
}

SideBySide least_side_by_side(int at_least, int at_most, double most, const std::function<double()>& ours,
    const std::function<double()>& theirs)
{
    SideBySide least { std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity() };
    for (int run = 0; run < at_most && (run < at_least || least.ours > most * least.theirs); ++run) {
        least.ours = std::min(least.ours, ours());
        least.theirs = std::min(least.theirs, theirs());
    }
    return least;
}

Pipe::Pipe(int flags)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | flags) != 0) {
        throw std::runtime_error("pipe2 failed");
    }
    read.reset(fds[0]);
    write.reset(fds[1]);
}

PrefixReader::PrefixReader(std::string text, std::size_t read_size, std::uint64_t check_every)
    : text_(std::move(text))
    , buffer_(read_size, '\0')
    , check_every_(check_every)
{
    while (!text_.empty() && expected_.size() < read_size + text_.size()) {
        expected_ += text_;
    }
}

bool PrefixReader::read_once(int fd)
{
    ssize_t n = 0;
    do {
        n = ::read(fd, buffer_.data(), buffer_.size());
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        return false;
    }
    const auto size = static_cast<std::size_t>(n);
    if (reads_++ % check_every_ == 0
        && (text_.empty()
            || std::memcmp(buffer_.data(), expected_.data() + bytes_ % text_.size(), size) != 0)) {
        exact_ = false;
    }
    bytes_ += size;
    return true;
}

void PrefixReader::read_to_end(int fd, Seconds pause_between_reads)
{
    while (read_once(fd)) {
        if (pause_between_reads > Seconds { 0 }) {
            std::this_thread::sleep_for(pause_between_reads);
        }
    }
}

} // namespace harness
