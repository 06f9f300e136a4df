// Whether other work waits for the CPUs: the kernel's count of runnable
// tasks, read from its text, against the CPUs.
#include "load.hpp"

#include <gtest/gtest.h>

#include <ctime>

namespace {

using floodout::Load;
using floodout::runnable_in_loadavg;

TEST(Load, RunnableTasksAreTheFourthFieldBeforeItsSlash)
{
    struct Case {
        const char* text;
        long runnable;
    };
    const Case cases[] = {
        { "0.52 0.58 0.59 3/467 12345\n", 3 }, { "12.00 8.10 4.00 130/9001 1\n", 130 },
        { "0.00 0.00 0.00 1/1 1", 1 }, { "0.00  0.00 0.00 2/80 7", 2 }, // more than one blank between fields
        { "0.00 0.00 0.00 /80 7", -1 }, { "0.00 0.00 0.00 3 7", -1 }, // no slash: not the count
        { "0.00 0.00 0.00", -1 }, { "", -1 },
        { "0.00 0.00 0.00 99999999999999999999/1 1", -1 }, // would overflow
    };
    for (const Case& c : cases) {
        EXPECT_EQ(runnable_in_loadavg(c.text), c.runnable) << c.text;
    }
}

TEST(Load, CrowdedWhenMoreTasksWaitToRunThanThereAreCpusOrWhenUnknown)
{
    struct Case {
        long runnable;
        long cpus;
        bool crowded;
    };
    // A writer and its reader on two CPUs leave nothing waiting; a second
    // pair, or a busy loop, does.
    const Case cases[] = { { 2, 2, false }, { 1, 2, false }, { 3, 2, true }, { 4, 2, true }, { 5, 4, true },
        { 4, 4, false }, { -1, 64, true } };
    for (const Case& c : cases) {
        EXPECT_EQ(Load::crowded_by(c.runnable, c.cpus), c.crowded) << c.runnable << " on " << c.cpus;
    }
}

// On this machine the count can be read: with more CPUs than any machine
// has, it is not crowded once two samples agree; with none, always.
TEST(Load, ReadsTheKernelsCountAndChangesItsMindOnTwoSamplesInARow)
{
    timespec t {};
    ASSERT_EQ(clock_gettime(CLOCK_MONOTONIC, &t), 0);
    const std::int64_t now = std::int64_t { t.tv_sec } * 1'000'000'000 + t.tv_nsec;
    constexpr std::int64_t interval = Load::sample_interval_ns;
    Load roomy(1'000'000);
    EXPECT_TRUE(roomy.crowded(now)); // until it knows better
    EXPECT_TRUE(roomy.crowded(now + interval / 2)); // not sampled again within the interval
    EXPECT_FALSE(roomy.crowded(now + interval));
    EXPECT_FALSE(roomy.crowded(now + 2 * interval));
    Load none(0);
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(none.crowded(now + i * interval));
    }
}

} // namespace
