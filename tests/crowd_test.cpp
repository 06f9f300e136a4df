// With more runnable work than CPUs, a writer that waits awake for its
// reader takes a CPU that the readers need. Floods of floodout, each with a
// fast reader, against floods of a writer that only ever sleeps, side by
// side: what writers and readers spend a GB carried shows whether floodout
// gives the CPUs away as readily.
#include "harness.hpp"

#include <sched.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using harness::Child;
using harness::Pipe;
using harness::PrefixReader;
using harness::Seconds;
using namespace std::chrono_literals;

Seconds thread_cpu()
{
    timespec t {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return Seconds(static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9);
}

long usable_cpus()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    return sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
}

// `pairs` floods of 1 s, each read 1 MiB at a time by a thread of its own:
// the CPU seconds that the writers and readers spent a GB carried, or a
// negative number when a run failed. `program` empty: floodout.
double cpu_per_gb_of_one_run(long pairs, const std::string& program)
{
    const std::string text = "0123456789a\n";
    std::vector<std::unique_ptr<Pipe>> pipes;
    std::vector<std::unique_ptr<Child>> children;
    // 1 MiB a read, as fast as they can, checking every 16th read: a reader
    // that checked every byte would be too slow for a writer ever to wait
    // awake for it.
    std::vector<PrefixReader> readers(static_cast<std::size_t>(pairs), PrefixReader(text, 1U << 20, 16));
    std::vector<Seconds> reader_cpu(readers.size());
    std::vector<std::thread> threads;
    for (long i = 0; i < pairs; ++i) {
        pipes.push_back(std::make_unique<Pipe>());
        children.push_back(std::make_unique<Child>(
            harness::Launch { .args = { "1", text }, .out = pipes.back()->write.fd, .program = program }));
        pipes.back()->write.reset();
    }
    for (std::size_t i = 0; i < pipes.size(); ++i) {
        threads.emplace_back([&, i] {
            readers[i].read_to_end(pipes[i]->read.fd);
            reader_cpu[i] = thread_cpu();
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    Seconds cpu {};
    std::uint64_t bytes = 0;
    bool ok = true;
    for (std::size_t i = 0; i < children.size(); ++i) {
        ok = children[i]->wait(2s) && ok;
        EXPECT_TRUE(children[i]->exited_with(0)) << program;
        EXPECT_LE(children[i]->elapsed(), 1.5s) << program;
        EXPECT_TRUE(readers[i].exact_prefix()) << program;
        EXPECT_GT(readers[i].bytes(), 1U << 20) << program;
        cpu += children[i]->cpu() + reader_cpu[i];
        bytes += readers[i].bytes();
    }
    return ok && bytes > 0 ? cpu.count() / (static_cast<double>(bytes) * 1e-9) : -1;
}

// Floodout's writers that waited awake for their readers on a crowded
// machine (1.2.0) spent 0.82-0.92 of their readers' CPU, where a writer that
// sleeps spends a fifth; together, writers and readers then spent about 1.5
// times the CPU a GB. Other load only adds to either side, and the side by
// side runs alternate: judged by the least of up to five runs of each.
TEST(Crowded, WithAFloodPerCpuWritersAndReadersSpendNoMoreCpuAGbThanBesideAWriterThatSleeps)
{
    SKIP_UNDER_EMULATION(harness::counts_emulation_cpu);
    const long cpus = usable_cpus();
    if (cpus < 2) {
        GTEST_SKIP() << "with one CPU the writer never waits awake";
    }
    constexpr double most = 1.2;
    constexpr int runs = 5;
    const auto [ours, sleeping] = harness::least_side_by_side(
        2, runs, most, [&] { return cpu_per_gb_of_one_run(cpus, ""); },
        [&] { return cpu_per_gb_of_one_run(cpus, SLEEPING_WRITER_BINARY); });
    ASSERT_GT(ours, 0.0);
    ASSERT_GT(sleeping, 0.0);
    RecordProperty("floodout_cpu_ms_per_gb", std::to_string(1e3 * ours));
    RecordProperty("sleeping_writer_cpu_ms_per_gb", std::to_string(1e3 * sleeping));
#ifdef FLOODOUT_SANITIZED
    if (ours > most * sleeping) {
        GTEST_SKIP() << "the sanitizers' instrumentation costs the writer CPU that the program does not";
    }
#endif
    EXPECT_LE(ours, most * sleeping)
        << "CPU seconds a GB, floodout against a writer that sleeps, least of up to " << runs << " runs each";
}

} // namespace
