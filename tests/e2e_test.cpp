// Runs the built program through real pipes, files, terminals and signals.
#include "harness.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <initializer_list>
#include <ostream>
#include <random>
#include <string>
#include <thread>

namespace {

using harness::Child;
using harness::Launch;
using harness::Pipe;
using harness::PrefixReader;
using harness::text_of;
using namespace std::chrono_literals;

constexpr auto cpu_budget = 0.33s; // where nothing can be written

// Reads the program's stdout from fd in a second thread, sends SIGALRM after
// the first bytes and `delay`, and returns once all of it has been read.
PrefixReader read_until_sigalrm(Child& child, int fd, const std::string& text, harness::Seconds delay)
{
    PrefixReader reader(text);
    EXPECT_TRUE(reader.read_once(fd)) << "no first byte";
    std::thread rest([&] { reader.read_to_end(fd); });
    std::this_thread::sleep_for(delay);
    child.signal(SIGALRM);
    EXPECT_TRUE(child.wait(2s));
    rest.join();
    return reader;
}

TEST(TimedRun, EndsAtTheAlarmWithAnExactPrefixAndNothingOnStderr)
{
    Pipe out;
    Pipe err;
    Child child({ .args = { "1", "hello" }, .out = out.write.fd, .err = err.write.fd });
    out.write.reset();
    err.write.reset();
    PrefixReader reader("hello");
    reader.read_to_end(out.read.fd);
    child.expect_ended_by_the_alarm();
    EXPECT_GT(reader.bytes(), 1U << 20);
    EXPECT_TRUE(reader.exact_prefix());
    PrefixReader stderr_reader(""); // any byte at all is a mismatch
    stderr_reader.read_to_end(err.read.fd);
    EXPECT_EQ(stderr_reader.bytes(), 0U);
}

TEST(Arguments, ChooseTheTextAndAnOutsideSigalrmEndsTheRun)
{
    struct Case {
        Launch launch;
        std::string text;
    };
    const Case cases[] = {
        { {}, "X" },
        { { .empty_argv = true }, "X" },
        { { .args = { "--help" } }, "X" },
        { { .args = { "0", "ab", "ignored", "more" } }, "ab" },
        { { .args = { "0", "tab\tnewline\n\xc3\xa9\x80\xff" } }, "tab\tnewline\n\xc3\xa9\x80\xff" },
    };
    for (const auto& c : cases) {
        Pipe out;
        Launch launch = c.launch;
        launch.out = out.write.fd;
        Child child(launch);
        out.write.reset();
        const PrefixReader reader = read_until_sigalrm(child, out.read.fd, c.text, 50ms);
        EXPECT_TRUE(child.exited_with(0)) << c.text;
        EXPECT_TRUE(reader.exact_prefix()) << c.text;
    }
}

TEST(EmptyText, WritesNothingAndWaitsForTheAlarmWithoutSpinning)
{
    Pipe out;
    Child child({ .args = { "1", "" }, .out = out.write.fd });
    out.write.reset();
    PrefixReader reader("");
    reader.read_to_end(out.read.fd);
    child.expect_ended_by_the_alarm();
    EXPECT_EQ(reader.bytes(), 0U);
    EXPECT_LT(child.cpu(), 0.1s);
}

// Runs that must not end by themselves: no alarm, or one that cannot arrive.
struct NoEnd {
    const char* name;
    Launch launch;
    bool sigalrm_ends_it; // sent from outside afterwards
};

void PrintTo(const NoEnd& param, std::ostream* os)
{
    *os << param.name;
}

class RunsOn : public testing::TestWithParam<NoEnd> { };

TEST_P(RunsOn, WithoutAnAlarmItCanTake)
{
    if (GetParam().sigalrm_ends_it) {
        SKIP_UNDER_EMULATION(harness::late_sigalrm); // it waits in vmsplice on a pipe nobody reads
    }
    Pipe out; // never read: the program waits in write and costs nothing
    Launch launch = GetParam().launch;
    launch.out = out.write.fd;
    Child child(launch);
    EXPECT_FALSE(child.wait(1.4s));
    child.signal(SIGALRM);
    if (GetParam().sigalrm_ends_it) {
        ASSERT_TRUE(child.wait(1s));
        EXPECT_TRUE(child.exited_with(0));
    } else {
        EXPECT_FALSE(child.wait(0.2s));
    }
}

INSTANTIATE_TEST_SUITE_P(Counts, RunsOn,
    testing::Values(NoEnd { "Zero", { .args = { "0" } }, true },
        NoEnd { "Letters", { .args = { "abc" } }, true }, NoEnd { "MinusOne", { .args = { "-1" } }, true },
        NoEnd { "ZeroCancelsInheritedAlarm", { .args = { "0" }, .inherited_alarm = 1 }, true },
        NoEnd { "NoArgumentsCancelInheritedAlarm", { .inherited_alarm = 1 }, true },
        NoEnd { "SigalrmBlocked", { .args = { "1" }, .block_sigalrm = true }, false },
        NoEnd { "SigalrmBlockedEmptyText", { .args = { "1", "" }, .block_sigalrm = true }, false }),
    [](const auto& param_info) { return param_info.param.name; });

TEST(Sigpipe, ReaderThatGoesKillsAtTheDefaultAndIsOutlivedWhenIgnored)
{
    for (const bool ignored : { false, true }) {
        Pipe out;
        Child child({ .args = { "1" }, .out = out.write.fd, .ignore_sigpipe = ignored });
        out.write.reset();
        PrefixReader reader("X");
        ASSERT_TRUE(reader.read_once(out.read.fd));
        out.read.reset();
        if (ignored) {
            child.expect_ended_by_the_alarm();
            EXPECT_LT(child.cpu(), cpu_budget);
        } else {
            ASSERT_TRUE(child.wait(2s));
            EXPECT_TRUE(child.killed_by(SIGPIPE));
            EXPECT_LT(child.elapsed(), 0.5s);
        }
    }
}

// Outputs that take nothing: the run still ends at the alarm, quietly.
struct DeadOutput {
    const char* name;
    bool pipe_without_reader; // else the path below, or a closed stdout
    const char* path;
};

void PrintTo(const DeadOutput& param, std::ostream* os)
{
    *os << param.name;
}

class NothingCanBeWritten : public testing::TestWithParam<DeadOutput> { };

TEST_P(NothingCanBeWritten, RunEndsAtTheAlarmWithoutSpinning)
{
    Pipe pipe;
    int out = -1;
    if (GetParam().pipe_without_reader) {
        pipe.read.reset();
        out = pipe.write.fd;
    } else if (GetParam().path != nullptr) {
        out = open(GetParam().path, O_WRONLY | O_CLOEXEC);
        ASSERT_GE(out, 0);
    }
    Child child({ .args = { "1", "floodout" }, .out = out, .ignore_sigpipe = true });
    child.expect_ended_by_the_alarm();
    EXPECT_LT(child.cpu(), cpu_budget);
    if (GetParam().path != nullptr) {
        close(out);
    }
}

INSTANTIATE_TEST_SUITE_P(Outputs, NothingCanBeWritten,
    testing::Values(DeadOutput { "DevFull", false, "/dev/full" },
        DeadOutput { "ClosedStdout", false, nullptr },
        DeadOutput { "PipeWithoutReaderSigpipeIgnored", true, nullptr }),
    [](const auto& param_info) { return param_info.param.name; });

TEST(SlowReader, StalledOrStoppedReaderDoesNotDelayTheEndAndLaterReadsAreExact)
{
    SKIP_UNDER_EMULATION(harness::late_sigalrm);
    for (const bool stop_a_reader_process : { false, true }) {
        const std::string text = text_of(4097);
        Pipe out;
        pid_t reader_process = -1;
        if (stop_a_reader_process) {
            reader_process = fork();
            if (reader_process == 0) {
                char sink[4096];
                while (read(out.read.fd, sink, sizeof sink) > 0) { }
                _exit(0);
            }
        }
        Child child({ .args = { "1", text }, .out = out.write.fd });
        out.write.reset();
        if (stop_a_reader_process) {
            std::this_thread::sleep_for(100ms);
            kill(reader_process, SIGSTOP);
        }
        child.expect_ended_by_the_alarm();
        if (stop_a_reader_process) {
            kill(reader_process, SIGKILL);
            waitpid(reader_process, nullptr, 0);
        } else {
            PrefixReader reader(text);
            reader.read_to_end(out.read.fd);
            EXPECT_GT(reader.bytes(), 0U);
            EXPECT_TRUE(reader.exact_prefix());
        }
    }
}

TEST(SlowReader, NonBlockingStdoutLosesNoByteAndDoesNotSpin)
{
    const std::string text = "0123456789";
    Pipe out;
    ASSERT_EQ(fcntl(out.write.fd, F_SETFL, O_NONBLOCK), 0);
    Child child({ .args = { "1", text }, .out = out.write.fd });
    out.write.reset();
    PrefixReader reader(text, 65536);
    reader.read_to_end(out.read.fd, 2ms);
    child.expect_ended_by_the_alarm();
    EXPECT_TRUE(reader.exact_prefix());
    EXPECT_GT(reader.bytes(), 65536U);
    EXPECT_LT(child.cpu(), cpu_budget);
}

// A first piece goes out by write(2) before the block is laid, the block's
// pages after it: a reader that comes late, on a pipe blocking or not, gets
// one exact stream across the change.
TEST(FirstPiece, AReaderThatComesLateGetsOneExactStream)
{
    for (const int flags : { 0, O_NONBLOCK }) {
        const std::string text = text_of(4097);
        Pipe out;
        ASSERT_EQ(fcntl(out.write.fd, F_SETFL, flags), 0);
        Child child({ .args = { "1", text }, .out = out.write.fd });
        out.write.reset();
        std::this_thread::sleep_for(200ms);
        PrefixReader reader(text);
        reader.read_to_end(out.read.fd);
        child.expect_ended_by_the_alarm();
        EXPECT_TRUE(reader.exact_prefix()) << flags;
        EXPECT_GT(reader.bytes(), 1U << 20) << flags;
    }
}

// A number from a "key: value" file of /proc/PID.
long long proc_value(pid_t pid, const char* file, const std::string& key)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    std::string line;
    while (std::getline(in, line)) {
        if (line.starts_with(key + ":")) {
            return std::stoll(line.substr(key.size() + 1));
        }
    }
    return -1;
}

// Runs the program without a count into a pipe for each text, calls
// `check(pid, read_end, size)` once 8 MiB have been read exactly, then ends
// the run with SIGALRM. 131071 bytes is the most one argument can hold.
template <class Check> void while_it_writes(Check check)
{
    for (const std::size_t size : std::initializer_list<std::size_t> { 1, 12, 4097, 65536, 131071 }) {
        const std::string text = text_of(size);
        Pipe out;
        Child child({ .args = { "0", text }, .out = out.write.fd });
        out.write.reset();
        PrefixReader reader(text);
        while (reader.bytes() < (8U << 20) && reader.read_once(out.read.fd)) { }
        check(child.pid(), out.read.fd, size);
        child.signal(SIGALRM);
        reader.read_to_end(out.read.fd);
        ASSERT_TRUE(child.wait(2s));
        EXPECT_TRUE(child.exited_with(0)) << size;
        EXPECT_TRUE(reader.exact_prefix()) << size;
    }
}

TEST(ZeroCopy, PipeIsEnlargedAndFedWithoutWritesForEveryText)
{
    while_it_writes([](pid_t pid, int read_end, std::size_t size) {
        EXPECT_GT(fcntl(read_end, F_GETPIPE_SZ), 65536); // 1 MiB where the system allows
        EXPECT_EQ(proc_value(pid, "io", "wchar"), 0) << size; // vmsplice is not counted there
    });
}

// A Unix stream socket gets the block's pages through a private pipe, by
// splice: no byte is written, and all arrive exactly.
TEST(ZeroCopy, UnixStreamSocketIsFedWithoutWrites)
{
    for (const std::size_t size : std::initializer_list<std::size_t> { 1, 4097, 131071 }) {
        const std::string text = text_of(size);
        int pair[2] = { -1, -1 };
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        const harness::Fd reading(pair[0]);
        harness::Fd writing(pair[1]);
        Child child({ .args = { "0", text }, .out = writing.fd });
        writing.reset();
        PrefixReader reader(text);
        while (reader.bytes() < (64U << 20) && reader.read_once(reading.fd)) { }
        EXPECT_EQ(proc_value(child.pid(), "io", "wchar"), 0) << size;
        child.signal(SIGALRM);
        reader.read_to_end(reading.fd);
        ASSERT_TRUE(child.wait(2s));
        EXPECT_TRUE(child.exited_with(0)) << size;
        EXPECT_TRUE(reader.exact_prefix()) << size;
        EXPECT_GE(reader.bytes(), 64U << 20) << size;
    }
}

TEST(PeakMemory, StaysBelow16MiBForEveryText)
{
#ifdef FLOODOUT_SANITIZED
    GTEST_SKIP() << "the sanitizers' shadow memory is counted too";
#endif
    SKIP_UNDER_EMULATION(harness::counts_qemu_memory);
    while_it_writes([](pid_t pid, int /*read_end*/, std::size_t size) {
        const long long peak_kib = proc_value(pid, "status", "VmHWM");
        EXPECT_GT(peak_kib, 0);
        EXPECT_LT(peak_kib, 16 * 1024) << size;
    });
}

// Where stdout goes in the randomly timed runs.
enum class Sink { pipe, file, terminal, unix_socket };

// Starts the program on the sink, sends SIGALRM at a random moment after the
// first byte, and checks that all the sink received is an exact prefix.
void check_random_alarm(Sink sink, const std::string& text, std::chrono::microseconds delay)
{
    const std::string what = "sink " + std::to_string(static_cast<int>(sink)) + ", text of "
        + std::to_string(text.size()) + ", SIGALRM " + std::to_string(delay.count())
        + " us after the first byte";
    if (sink == Sink::file) {
        const int file = memfd_create("floodout-test", MFD_CLOEXEC);
        ASSERT_GE(file, 0);
        Child child({ .args = { "0", text }, .out = file });
        struct stat st { };
        while (fstat(file, &st) == 0 && st.st_size == 0 && !child.wait(0s)) { }
        std::this_thread::sleep_for(delay);
        child.signal(SIGALRM);
        ASSERT_TRUE(child.wait(2s)) << what;
        EXPECT_TRUE(child.exited_with(0)) << what;
        lseek(file, 0, SEEK_SET);
        PrefixReader reader(text);
        reader.read_to_end(file);
        EXPECT_TRUE(reader.exact_prefix()) << what;
        close(file);
        return;
    }
    int read_fd = -1;
    int write_fd = -1;
    Pipe pipe;
    if (sink == Sink::pipe) {
        read_fd = pipe.read.fd;
        write_fd = pipe.write.fd;
    } else if (sink == Sink::unix_socket) {
        int pair[2] = { -1, -1 };
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        read_fd = pair[0];
        write_fd = pair[1];
    } else {
        ASSERT_TRUE(harness::open_raw_terminal(read_fd, write_fd));
    }
    Child child({ .args = { "0", text }, .out = write_fd });
    close(write_fd);
    pipe.write.fd = -1; // closed above
    const PrefixReader reader = read_until_sigalrm(child, read_fd, text, delay);
    EXPECT_TRUE(child.exited_with(0)) << what;
    EXPECT_TRUE(reader.exact_prefix()) << what;
    if (sink != Sink::pipe) {
        close(read_fd);
    }
}

TEST(RandomAlarm, EveryOutputIsAnExactPrefixOnPipesFilesTerminalsAndSockets)
{
    std::mt19937 random(harness::test_seed());
    std::uniform_int_distribution<int> micros(0, 20000);
    for (const Sink sink : { Sink::pipe, Sink::file, Sink::terminal, Sink::unix_socket }) {
        for (const std::size_t size :
            std::initializer_list<std::size_t> { 1, 2, 12, 4095, 4096, 4097, 65537, 131071 }) {
            check_random_alarm(sink, text_of(size), std::chrono::microseconds(micros(random)));
        }
    }
}

} // namespace
