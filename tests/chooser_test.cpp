// The chooser against a scripted clock and pipes whose rate depends on the
// way: it settles on the fastest, follows a change, holds its choice under
// noise, and floods that choose at once do not settle where all lose. Its
// timeline and its ballot, each alone.
#include "ballot.hpp"
#include "chooser.hpp"
#include "timeline.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

using floodout::all_ways;
using floodout::Ballot;
using floodout::Chooser;
using floodout::Phase;
using floodout::Way;
using floodout::way_bit;
using floodout::way_count;

constexpr std::int64_t ms = 1'000'000;
// Floods call the chooser at every piece: about every 50 us here.
constexpr std::int64_t step_ns = 50'000;

using Rates = std::array<double, way_count>; // bytes a nanosecond, by way

// One flood: a chooser and what its reader has taken.
struct Flood {
    explicit Flood(Way first, unsigned allowed = all_ways)
        : chooser(first, allowed)
    {
    }
    Chooser chooser;
    double taken = 0;
    Way way = Way::asleep;
    std::array<std::int64_t, way_count> time_in {}; // ns spent in each way
};

// Runs the floods from `from` to `to` on one clock; `rate` gives each
// flood's rate from the ways that all of them use at that moment, which
// `each_step` may look at.
void run(
    std::vector<Flood*> floods, std::int64_t from, std::int64_t to,
    const std::function<double(std::size_t, const std::vector<Way>&)>& rate,
    const std::function<void()>& each_step = [] {})
{
    std::vector<Way> ways(floods.size());
    for (std::int64_t now = from; now < to; now += step_ns) {
        for (std::size_t i = 0; i < floods.size(); ++i) {
            Flood& f = *floods[i];
            f.way = f.chooser.at(now, [&] { return static_cast<std::uint64_t>(f.taken); });
            ways[i] = f.way;
        }
        each_step();
        for (std::size_t i = 0; i < floods.size(); ++i) {
            Flood& f = *floods[i];
            f.taken += rate(i, ways) * static_cast<double>(step_ns);
            f.time_in[static_cast<std::size_t>(f.way)] += step_ns;
        }
    }
}

void run_alone(
    Flood& flood, std::int64_t from, std::int64_t to, const std::function<Rates(std::int64_t)>& rates)
{
    std::int64_t now = from;
    run({ &flood }, from, to, [&](std::size_t, const std::vector<Way>& ways) {
        const double r = rates(now)[static_cast<std::size_t>(ways[0])];
        now += step_ns;
        return r;
    });
}

double share(const Flood& flood, Way way)
{
    std::int64_t all = 0;
    for (const std::int64_t t : flood.time_in) {
        all += t;
    }
    return static_cast<double>(flood.time_in[static_cast<std::size_t>(way)]) / static_cast<double>(all);
}

struct Case {
    const char* name;
    Way first;
    Rates rates; // awake, asleep, narrow, teed
    Way fastest;
};

class Settles : public testing::TestWithParam<Case> { };

// Three votes a way at most: within 0.5 s, whatever way it starts from.
TEST_P(Settles, OnTheFastestWayWithinHalfASecond)
{
    const Case& c = GetParam();
    Flood flood(c.first);
    run_alone(flood, 1000 * ms, 1500 * ms, [&](std::int64_t) { return c.rates; });
    EXPECT_EQ(flood.chooser.chosen(), c.fastest);
    // Then it stays there, probing the others rarely.
    flood.time_in = {};
    run_alone(flood, 1500 * ms, 3500 * ms, [&](std::int64_t) { return c.rates; });
    EXPECT_EQ(flood.chooser.chosen(), c.fastest);
    EXPECT_GT(share(flood, c.fastest), 0.97);
}

INSTANTIATE_TEST_SUITE_P(Ways, Settles,
    testing::Values(Case { "TeedFromAwake", Way::awake, { 10, 12, 8, 15 }, Way::teed },
        Case { "AwakeFromNarrow", Way::narrow, { 20, 12, 8, 15 }, Way::awake },
        Case { "NarrowByTenPercent", Way::asleep, { 10, 10, 11, 9 }, Way::narrow },
        Case { "StaysWhereItIsBest", Way::asleep, { 5, 6, 5.5, 2 }, Way::asleep }),
    [](const testing::TestParamInfo<Case>& param) { return std::string(param.param.name); });

TEST(Chooser, FollowsAChangeOfReaderWithinHalfASecond)
{
    Flood flood(Way::awake);
    const Rates before { 20, 12, 8, 15 };
    const Rates after { 4, 9, 6, 3 }; // a slower reader, best served another way
    run_alone(flood, 1000 * ms, 3000 * ms, [&](std::int64_t) { return before; });
    ASSERT_EQ(flood.chooser.chosen(), Way::awake);
    run_alone(flood, 3000 * ms, 3500 * ms, [&](std::int64_t) { return after; });
    EXPECT_EQ(flood.chooser.chosen(), Way::asleep);
}

// A probe of a way that carries a third as much costs two thirds of the
// probe: such a way is probed a quarter as often, yet found again once the
// reader changes.
TEST(Chooser, ProbesAFarSlowerWayRarelyButFindsItWhenItBecomesTheFastest)
{
    Flood flood(Way::awake);
    const Rates before { 30, 28, 10, 9 };
    run_alone(flood, 1000 * ms, 2000 * ms, [&](std::int64_t) { return before; });
    ASSERT_EQ(flood.chooser.chosen(), Way::awake);
    flood.time_in = {};
    run_alone(flood, 2000 * ms, 10000 * ms, [&](std::int64_t) { return before; });
    EXPECT_LT(share(flood, Way::narrow), 0.002);
    EXPECT_LT(share(flood, Way::teed), 0.002);
    EXPECT_GT(share(flood, Way::asleep), 0.005); // not far behind: probed as usual
    const Rates after { 6, 5, 12, 4 };
    run_alone(flood, 10000 * ms, 10500 * ms, [&](std::int64_t) { return after; });
    EXPECT_EQ(flood.chooser.chosen(), Way::narrow);
}

// A reader slower than 1 GB/s is held back by its own work: probes there
// only cost the writer CPU, so they come every eighth epoch from the start.
// Its few reads a window make each measurement coarse: that noise changes
// nothing, but a way that slows the reader tenfold is still left.
TEST(Chooser, ProbesASlowReaderOnlyNowAndThen)
{
    Flood flood(Way::asleep);
    std::mt19937 random(11);
    std::uniform_real_distribution<double> coarse(0.6, 1.4);
    double held = 1;
    std::int64_t next = 0;
    run_alone(flood, 1000 * ms, 6000 * ms, [&](std::int64_t now) {
        if (now >= next) {
            held = coarse(random);
            next = now + 2 * ms; // a read every 2 ms
        }
        return Rates { 0.5 * held, 0.5 * held, 0.5 * held, 0.5 * held };
    });
    EXPECT_EQ(flood.chooser.chosen(), Way::asleep);
    EXPECT_GT(share(flood, Way::asleep), 0.975);
    run_alone(flood, 6000 * ms, 9000 * ms, [](std::int64_t) { return Rates { 5, 0.5, 0.5, 0.5 }; });
    EXPECT_EQ(flood.chooser.chosen(), Way::awake);
}

TEST(Chooser, KeepsTheKnownGoodWayWhenProbesAreNoisy)
{
    // The others carry 10% less on average, each measurement off by up to
    // 15% either way.
    std::mt19937 random(7);
    std::uniform_real_distribution<double> noise(0.85, 1.15);
    Flood flood(Way::asleep);
    run_alone(flood, 1000 * ms, 11000 * ms, [&](std::int64_t) {
        const double n = noise(random);
        return Rates { 9 * n, 10 * n, 9 * n, 9 * n };
    });
    // Noise is per step here, and a window averages over many: also
    // noise that holds for a whole window.
    EXPECT_GT(share(flood, Way::asleep), 0.9);
    Flood slow_noise(Way::asleep);
    double held = 1;
    std::int64_t next = 0;
    run_alone(slow_noise, 1000 * ms, 11000 * ms, [&](std::int64_t now) {
        if (now >= next) {
            held = noise(random);
            next = now + 3 * ms;
        }
        return Rates { 9 * held, 10 * held, 9 * held, 9 * held };
    });
    EXPECT_GT(share(slow_noise, Way::asleep), 0.9);
}

TEST(Chooser, NeverUsesAWayThatIsNotAllowed)
{
    Flood flood(Way::asleep, all_ways & ~way_bit(Way::awake));
    run_alone(flood, 1000 * ms, 2000 * ms, [](std::int64_t) { return Rates { 50, 10, 8, 9 }; });
    EXPECT_EQ(flood.time_in[static_cast<std::size_t>(Way::awake)], 0);
    EXPECT_EQ(flood.chooser.chosen(), Way::asleep);
    // Allowed later, it is found; forbidden again, it is left at once.
    flood.chooser.allow(all_ways);
    run_alone(flood, 2000 * ms, 2500 * ms, [](std::int64_t) { return Rates { 50, 10, 8, 9 }; });
    EXPECT_EQ(flood.chooser.chosen(), Way::awake);
    flood.chooser.allow(all_ways & ~way_bit(Way::awake));
    EXPECT_NE(flood.chooser.chosen(), Way::awake);
    flood.time_in = {};
    run_alone(flood, 2500 * ms, 3000 * ms, [](std::int64_t) { return Rates { 50, 10, 8, 9 }; });
    EXPECT_EQ(flood.time_in[static_cast<std::size_t>(Way::awake)], 0);
}

// On a crowded machine waiting awake is costly: what it gains may come from
// work that no probe sees, so it must carry 12% more, not 4%.
TEST(Chooser, ACostlyWayMustWinByMore)
{
    const unsigned costly = way_bit(Way::awake);
    Flood flood(Way::asleep);
    flood.chooser.allow(all_ways, costly);
    run_alone(flood, 1000 * ms, 3000 * ms, [](std::int64_t) { return Rates { 10.8, 10, 8, 8 }; });
    EXPECT_EQ(flood.chooser.chosen(), Way::asleep);
    // A way that is not costly wins by that much.
    Flood cheap(Way::asleep);
    run_alone(cheap, 1000 * ms, 3000 * ms, [](std::int64_t) { return Rates { 8, 10, 8, 10.8 }; });
    EXPECT_EQ(cheap.chooser.chosen(), Way::teed);
    // By more than 12%, the costly way wins too.
    run_alone(flood, 3000 * ms, 5000 * ms, [](std::int64_t) { return Rates { 11.6, 10, 8, 8 }; });
    EXPECT_EQ(flood.chooser.chosen(), Way::awake);
}

// Two floods on two CPUs: waiting awake gains a flood 30% while the other
// sleeps, by taking the CPU its reader needed, but loses both 40% when both
// do it. Probing alone, each would take it; probing together, neither does.
TEST(Chooser, FloodsThatChooseAtOnceDoNotSettleWhereAllLose)
{
    Flood a(Way::asleep);
    Flood b(Way::asleep);
    const auto rate = [](std::size_t i, const std::vector<Way>& ways) {
        const bool mine = ways[i] == Way::awake;
        const bool other = ways[1 - i] == Way::awake;
        if (mine && other) {
            return 6.0;
        }
        return mine ? 13.0 : other ? 7.0 : 10.0;
    };
    // The second starts 13 ms after the first: the epochs are the clock's,
    // not each flood's own.
    run({ &a }, 1000 * ms, 1013 * ms, [](std::size_t, const std::vector<Way>&) { return 10.0; });
    run({ &a, &b }, 1013 * ms, 5000 * ms, rate);
    EXPECT_NE(a.chooser.chosen(), Way::awake);
    EXPECT_NE(b.chooser.chosen(), Way::awake);
    EXPECT_LT(share(a, Way::awake), 0.05);
    EXPECT_LT(share(b, Way::awake), 0.05);
}

// Floods with other histories (one settled on the teed way, one on waiting
// awake, one that has just started) probe the same way at the same moment:
// the way any two of them probe at once is the same.
TEST(Chooser, EveryFloodProbesTheSameWayAtTheSameMoment)
{
    const Rates rates[] = { { 10, 12, 8, 15 }, { 20, 12, 8, 15 }, { 10, 12, 11, 9 } };
    Flood a(Way::asleep);
    Flood b(Way::narrow);
    Flood c(Way::narrow);
    run_alone(a, 1000 * ms, 2000 * ms, [&](std::int64_t) { return rates[0]; });
    run_alone(b, 1500 * ms, 2500 * ms, [&](std::int64_t) { return rates[1]; });
    ASSERT_EQ(a.chooser.chosen(), Way::teed);
    ASSERT_EQ(b.chooser.chosen(), Way::awake);
    std::vector<Flood*> floods { &a, &b, &c };
    std::array<int, way_count> together {}; // steps in which two or more probed it
    run(
        floods, 2500 * ms, 5000 * ms,
        [&](std::size_t i, const std::vector<Way>& ways) {
            return rates[i][static_cast<std::size_t>(ways[i])];
        },
        [&] {
            std::vector<Way> probed;
            for (const Flood* f : floods) {
                if (f->way != f->chooser.chosen()) {
                    probed.push_back(f->way);
                }
            }
            for (const Way way : probed) {
                EXPECT_EQ(way, probed[0]);
            }
            together[static_cast<std::size_t>(probed.empty() ? Way::asleep : probed[0])]
                += probed.size() > 1 ? 1 : 0;
        });
    EXPECT_GE(std::count_if(together.begin(), together.end(), [](int n) { return n > 0; }), 2);
}

TEST(Timeline, PhasesFollowEachOtherAndEveryWayIsProbedInTurnAlsoAmongQuietTurns)
{
    const floodout::Timeline timeline; // epochs of 32 ms: 1 to warm up, windows of 5
    EXPECT_EQ(timeline.epoch_at(100 * ms), 3);
    EXPECT_EQ(timeline.start_of(3, Phase::probe), 97 * ms);
    EXPECT_EQ(timeline.end_of(3, Phase::probe), 102 * ms);
    EXPECT_EQ(timeline.end_of(3, Phase::back), 123 * ms);
    EXPECT_EQ(timeline.end_of(3, Phase::reference), timeline.start_of(4, Phase::warm_up));
    EXPECT_TRUE(timeline.on_time(102 * ms + 2'500'000, 102 * ms));
    EXPECT_FALSE(timeline.on_time(102 * ms + 2'500'001, 102 * ms));
    // Every way in turn, also among the quiet turns; one quiet turn in four
    // of each for a way far behind.
    std::array<int, way_count> all {};
    std::array<int, way_count> quiet {};
    std::array<int, way_count> far_behind {};
    for (std::int64_t epoch = 0; epoch < 8 * 4 * 4 * 3; ++epoch) {
        const auto way = static_cast<std::size_t>(timeline.probed_in(epoch));
        ++all[way];
        quiet[way] += timeline.quiet_turn(epoch) ? 1 : 0;
        far_behind[way] += timeline.far_behind_turn(epoch) ? 1 : 0;
    }
    for (std::size_t way = 0; way < way_count; ++way) {
        EXPECT_EQ(all[way], 8 * 4 * 3) << way;
        EXPECT_EQ(quiet[way], 4 * 3) << way;
        EXPECT_EQ(far_behind[way], 3) << way;
    }
}

TEST(Ballot, TwoOfThreeVotesByTheMarginOrOneDecisiveVoteWin)
{
    const auto wins = [](std::initializer_list<double> votes, bool costly = false) {
        Ballot ballot;
        bool won = false;
        for (const double vote : votes) {
            won = ballot.vote(Way::teed, vote, costly);
        }
        return won;
    };
    EXPECT_FALSE(wins({ 1.05 })) << "one vote by the margin";
    EXPECT_TRUE(wins({ 1.05, 0.9, 1.05 })) << "two of three by the margin";
    EXPECT_FALSE(wins({ 1.05, 0.9, 0.9, 1.05 })) << "two, but one of them four votes ago";
    EXPECT_TRUE(wins({ 1.31 })) << "one decisive vote";
    EXPECT_FALSE(wins({ 1.05, 1.05 }, true)) << "a costly way by 4%";
    EXPECT_TRUE(wins({ 1.13, 1.13 }, true)) << "a costly way by 12%";
}

TEST(Ballot, FarBehindUntilTheRateChangesAndASlowReaderNeedsTwoVotesByMore)
{
    Ballot ballot;
    ballot.vote(Way::narrow, 0.55, false);
    EXPECT_FALSE(ballot.far_behind(Way::narrow));
    ballot.vote(Way::narrow, 0.5, false);
    ballot.vote(Way::awake, 0.35, false);
    EXPECT_TRUE(ballot.far_behind(Way::narrow));
    EXPECT_TRUE(ballot.far_behind(Way::awake)); // one vote that far down is enough
    // A rate 30% off the usual, twice in a row, is a change: the votes go.
    for (const double rate : { 10.0, 11.0, 20.0 }) {
        EXPECT_FALSE(ballot.note_reference(rate)) << rate;
    }
    EXPECT_TRUE(ballot.note_reference(20.0));
    EXPECT_FALSE(ballot.far_behind(Way::narrow));
    // The way in use changes: the old one's vote is against the new one.
    ballot.changed(Way::asleep, Way::awake, 1.25);
    EXPECT_DOUBLE_EQ(ballot.typical(Way::asleep), 0.8);
    Ballot slow;
    slow.note_reference(0.5);
    ASSERT_TRUE(slow.slow());
    EXPECT_FALSE(slow.vote(Way::teed, 2.0, false)); // no vote alone is decisive
    EXPECT_FALSE(slow.vote(Way::teed, 1.2, false));
    EXPECT_TRUE(slow.vote(Way::teed, 1.3, false));
}

} // namespace
