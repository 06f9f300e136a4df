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

using floodout::all_moves;
using floodout::Ballot;
using floodout::Chooser;
using floodout::move_bit;
using floodout::move_count;
using floodout::Phase;
using floodout::Source;
using floodout::Waiting;
using floodout::Way;
using floodout::Window;

constexpr std::int64_t ms = 1'000'000;
// Floods call the chooser at every piece: about every 50 us here.
constexpr std::int64_t step_ns = 50'000;

// The ways of 1.4.0, and one that it did not have.
constexpr Way awake { Source::pages, Waiting::fast, Window::wide };
constexpr Way asleep {};
constexpr Way narrow { Source::pages, Waiting::asleep, Window::narrow };
constexpr Way teed { Source::teed };
constexpr Way emptied_narrow { Source::pages, Waiting::emptied, Window::narrow };
constexpr Way teed_paced { Source::teed, Waiting::paced };
// The moves that wait awake.
constexpr unsigned awake_moves = move_bit(3) | move_bit(4);

// Every way: the block's pages with each waiting and window, and the teed
// ones, asleep and paced.
constexpr std::size_t way_count = 4 * 3 + 2;
std::size_t index(Way way)
{
    if (way.source == Source::teed) {
        return way.waiting == Waiting::paced ? way_count - 1 : way_count - 2;
    }
    return static_cast<std::size_t>(way.waiting) * 3 + static_cast<std::size_t>(way.window);
}

using Rates = std::array<double, way_count>; // bytes a nanosecond, by way

// Rates of 1.4.0's ways, and of the others less than their nearest: the
// narrow window waiting awake 0.75 of it asleep, waiting awake once the pipe
// was emptied 0.7 of waiting while the reader is fast, paced 0.8 of asleep,
// the deep window 0.9 of the narrow one.
Rates rates(double awake_rate, double asleep_rate, double narrow_rate, double teed_rate)
{
    Rates r {};
    r[index(awake)] = awake_rate;
    r[index({ Source::pages, Waiting::fast, Window::narrow })] = 0.75 * narrow_rate;
    r[index({ Source::pages, Waiting::emptied, Window::narrow })] = 0.7 * 0.75 * narrow_rate;
    r[index({ Source::pages, Waiting::emptied, Window::wide })] = 0.7 * awake_rate;
    r[index(asleep)] = asleep_rate;
    r[index(narrow)] = narrow_rate;
    r[index(teed)] = teed_rate;
    r[index({ Source::pages, Waiting::paced, Window::wide })] = 0.8 * asleep_rate;
    r[index({ Source::pages, Waiting::paced, Window::narrow })] = 0.8 * narrow_rate;
    r[index(teed_paced)] = 0.8 * teed_rate;
    for (const Waiting w : { Waiting::asleep, Waiting::fast, Waiting::emptied, Waiting::paced }) {
        r[index({ Source::pages, w, Window::deep })] = 0.9 * r[index({ Source::pages, w, Window::narrow })];
    }
    return r;
}

// One flood: a chooser and what its reader has taken.
struct Flood {
    explicit Flood(Way first, unsigned allowed = all_moves)
        : chooser(first, allowed)
    {
    }
    Chooser chooser;
    double taken = 0;
    Way way = asleep;
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
            f.time_in[index(f.way)] += step_ns;
        }
    }
}

void run_alone(
    Flood& flood, std::int64_t from, std::int64_t to, const std::function<Rates(std::int64_t)>& rates_at)
{
    std::int64_t now = from;
    run({ &flood }, from, to, [&](std::size_t, const std::vector<Way>& ways) {
        const double r = rates_at(now)[index(ways[0])];
        now += step_ns;
        return r;
    });
}

// Runs `flood` alone from 1 s to 6 s at rates that the scheduler swings by
// up to `swing_by` either way, anew every 3 ms; `each_step` after each
// step's choice. The steps taken.
int run_swinging(
    Flood& flood, const Rates& r, double swing_by, unsigned seed, const std::function<void()>& each_step)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> scheduler(1 - swing_by, 1 + swing_by);
    double swing = 1;
    int steps = 0;
    run(
        { &flood }, 1000 * ms, 6000 * ms,
        [&](std::size_t, const std::vector<Way>& ways) { return swing * r[index(ways[0])]; },
        [&] {
            if (steps++ % 60 == 0) { // 60 steps: 3 ms
                swing = swing_by > 0 ? scheduler(random) : 1;
            }
            each_step();
        });
    return steps;
}

double share(const Flood& flood, Way way)
{
    std::int64_t all = 0;
    for (const std::int64_t t : flood.time_in) {
        all += t;
    }
    return static_cast<double>(flood.time_in[index(way)]) / static_cast<double>(all);
}

struct Case {
    const char* name;
    Way first;
    Rates rates;
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
    // Then it stays there, and once every move has been tried twice more,
    // probes the others rarely.
    run_alone(flood, 1500 * ms, 2200 * ms, [&](std::int64_t) { return c.rates; });
    flood.time_in = {};
    run_alone(flood, 2200 * ms, 4200 * ms, [&](std::int64_t) { return c.rates; });
    EXPECT_EQ(flood.chooser.chosen(), c.fastest);
    EXPECT_GT(share(flood, c.fastest), 0.97);
}

Rates with(Rates r, Way way, double rate)
{
    r[index(way)] = rate;
    return r;
}

// The way awake in the wide window is two moves from the narrow window
// awake once emptied, and each carries 10% more than the way before it;
// every other way 10% less than that start.
Rates two_moves_by_ten_percent()
{
    Rates r {};
    r.fill(9);
    r[index(emptied_narrow)] = 10;
    r[index({ Source::pages, Waiting::fast, Window::narrow })] = 11;
    r[index({ Source::pages, Waiting::emptied, Window::wide })] = 11;
    r[index(awake)] = 12.1;
    return r;
}

// From a way that waits awake the teed move is to the paced teed way; from
// one asleep, to the teed way asleep.
INSTANTIATE_TEST_SUITE_P(Ways, Settles,
    testing::Values(
        Case { "PacedTeedFromAwake", awake, with(rates(10, 12, 8, 15), teed_paced, 18), teed_paced },
        Case { "TeedFromAsleep", asleep, rates(10, 10, 8, 15), teed },
        Case { "AwakeFromNarrow", narrow, rates(20, 12, 8, 15), awake },
        Case { "NarrowByTenPercent", asleep, rates(10, 10, 11, 9), narrow },
        Case { "StaysWhereItIsBest", asleep, rates(5, 6, 5.5, 2), asleep },
        // Two moves off, each by 10%: two votes each, as few of them as
        // the epochs allow.
        Case { "TwoMovesByTenPercentEach", emptied_narrow, two_moves_by_ten_percent(), awake }),
    [](const testing::TestParamInfo<Case>& param) { return std::string(param.param.name); });

// At its start a flood tries the other window for an epoch, and keeps the
// one that carried more by the margin (in a crowd, where the scheduler
// swings rates, by the costly one): the wide one by a fifth alone, the
// narrow one by twice in a crowd. 60 ms in, before any probe of the window
// could have come twice.
TEST(Chooser, TriesTheOtherWindowAtItsStart)
{
    constexpr Way emptied_wide { Source::pages, Waiting::emptied, Window::wide };
    struct Start {
        const char* name;
        Way first;
        Way better; // and the rate of the first: 10
        double better_rate;
        bool crowded;
        Way chosen; // 60 ms in
    };
    const Start starts[] = {
        { "alone, wide by a fifth", emptied_narrow, emptied_wide, 12, false, emptied_wide },
        { "alone, wide by 5%", emptied_narrow, emptied_wide, 10.5, false, emptied_wide },
        { "in a crowd, narrow by twice", asleep, narrow, 20, true, narrow },
        { "in a crowd, wide by 8%", narrow, asleep, 10.8, true, narrow },
        { "alone, the first by twice", emptied_narrow, emptied_wide, 5, false, emptied_narrow },
    };
    for (const Start& start : starts) {
        Rates r {};
        r.fill(4);
        r[index(start.first)] = 10;
        r[index(start.better)] = start.better_rate;
        for (const std::int64_t from : { 1000 * ms, 1013 * ms }) { // early and late in an epoch
            Flood flood(start.first);
            flood.chooser.allow(all_moves, awake_moves, start.crowded);
            run_alone(flood, from, from + 60 * ms, [&](std::int64_t) { return r; });
            EXPECT_EQ(flood.chooser.chosen(), start.chosen) << start.name << ", from " << from / ms << " ms";
            // In the way left: when the trial lost, its epoch and perhaps a
            // probe (16 + 6 ms); when it won, the start until two
            // references were measured.
            const bool kept_first = start.first == start.chosen;
            const Way left = kept_first ? start.better : start.first;
            EXPECT_LE(flood.time_in[index(left)], (kept_first ? 23 : 33) * ms) << start.name;
        }
    }
}

TEST(Chooser, FollowsAChangeOfReaderWithinHalfASecond)
{
    Flood flood(awake);
    const Rates before = rates(20, 12, 8, 15);
    const Rates after = rates(4, 9, 6, 3); // a slower reader, best served another way
    run_alone(flood, 1000 * ms, 3000 * ms, [&](std::int64_t) { return before; });
    ASSERT_EQ(flood.chooser.chosen(), awake);
    run_alone(flood, 3000 * ms, 3500 * ms, [&](std::int64_t) { return after; });
    EXPECT_EQ(flood.chooser.chosen(), asleep);
}

// A probe of a way that carries a third as much costs two thirds of the
// probe: such a way is probed a quarter as often, yet found again once the
// reader changes.
TEST(Chooser, ProbesAFarSlowerWayRarelyButFindsItWhenItBecomesTheFastest)
{
    Flood flood(awake);
    const Rates before = rates(30, 28, 10, 9);
    run_alone(flood, 1000 * ms, 2000 * ms, [&](std::int64_t) { return before; });
    ASSERT_EQ(flood.chooser.chosen(), awake);
    flood.time_in = {};
    run_alone(flood, 2000 * ms, 10000 * ms, [&](std::int64_t) { return before; });
    EXPECT_LT(share(flood, narrow), 0.002);
    EXPECT_LT(share(flood, teed), 0.002);
    // Not far behind: probed at every quiet turn of its move, 6 ms in 12 * 9
    // epochs of 16 ms.
    EXPECT_GT(share(flood, asleep), 0.0025);
    const Rates after = rates(6, 5, 12, 4);
    run_alone(flood, 10000 * ms, 10500 * ms, [&](std::int64_t) { return after; });
    EXPECT_EQ(flood.chooser.chosen(), narrow);
}

// A reader slower than 1 GB/s is held back by its own work: probes there
// only cost the writer CPU, so they come only at the quiet turns from the start.
// Its few reads a window make each measurement coarse: that noise changes
// nothing, but a way that slows the reader tenfold is still left.
TEST(Chooser, ProbesASlowReaderOnlyNowAndThen)
{
    Flood flood(asleep);
    std::mt19937 random(11);
    std::uniform_real_distribution<double> coarse(0.6, 1.4);
    double held = 1;
    std::int64_t next = 0;
    run_alone(flood, 1000 * ms, 6000 * ms, [&](std::int64_t now) {
        if (now >= next) {
            held = coarse(random);
            next = now + 2 * ms; // a read every 2 ms
        }
        return rates(0.5 * held, 0.5 * held, 0.5 * held, 0.5 * held);
    });
    EXPECT_EQ(flood.chooser.chosen(), asleep);
    EXPECT_GT(share(flood, asleep), 0.975);
    run_alone(flood, 6000 * ms, 9000 * ms, [](std::int64_t) { return rates(5, 0.5, 0.5, 0.5); });
    EXPECT_EQ(flood.chooser.chosen(), awake);
}

TEST(Chooser, KeepsTheKnownGoodWayWhenProbesAreNoisy)
{
    // The others carry 10% less on average, each measurement off by up to
    // 15% either way.
    std::mt19937 random(7);
    std::uniform_real_distribution<double> noise(0.85, 1.15);
    Flood flood(asleep);
    run_alone(flood, 1000 * ms, 11000 * ms, [&](std::int64_t) {
        const double n = noise(random);
        return rates(9 * n, 10 * n, 9 * n, 9 * n);
    });
    // Noise is per step here, and a window averages over many: also
    // noise that holds for a whole window.
    EXPECT_GT(share(flood, asleep), 0.9);
    Flood slow_noise(asleep);
    double held = 1;
    std::int64_t next = 0;
    run_alone(slow_noise, 1000 * ms, 11000 * ms, [&](std::int64_t now) {
        if (now >= next) {
            held = noise(random);
            next = now + 3 * ms;
        }
        return rates(9 * held, 10 * held, 9 * held, 9 * held);
    });
    EXPECT_GT(share(slow_noise, asleep), 0.9);
}

TEST(Chooser, NeverUsesAWayThatIsNotAllowed)
{
    Flood flood(asleep, all_moves & ~awake_moves);
    run_alone(flood, 1000 * ms, 2000 * ms, [](std::int64_t) { return rates(50, 10, 8, 9); });
    EXPECT_EQ(flood.time_in[index(awake)], 0);
    EXPECT_EQ(flood.chooser.chosen(), asleep);
    // Allowed later, it is found; forbidden again, it is left at once.
    flood.chooser.allow(all_moves);
    run_alone(flood, 2000 * ms, 2500 * ms, [](std::int64_t) { return rates(50, 10, 8, 9); });
    EXPECT_EQ(flood.chooser.chosen(), awake);
    flood.chooser.allow(all_moves & ~awake_moves);
    EXPECT_NE(flood.chooser.chosen(), awake);
    flood.time_in = {};
    run_alone(flood, 2500 * ms, 3000 * ms, [](std::int64_t) { return rates(50, 10, 8, 9); });
    EXPECT_EQ(flood.time_in[index(awake)], 0);
}

// On a crowded machine waiting awake is costly: what it gains may come from
// work that no probe sees, so it must carry 12% more, not 4%.
TEST(Chooser, ACostlyWayMustWinByMore)
{
    const unsigned costly = awake_moves;
    Flood flood(asleep);
    flood.chooser.allow(all_moves, costly);
    run_alone(flood, 1000 * ms, 3000 * ms, [](std::int64_t) { return rates(10.8, 10, 8, 8); });
    EXPECT_EQ(flood.chooser.chosen(), asleep);
    // A way that is not costly wins by that much.
    Flood cheap(asleep);
    run_alone(cheap, 1000 * ms, 3000 * ms, [](std::int64_t) { return rates(8, 10, 8, 10.8); });
    EXPECT_EQ(cheap.chooser.chosen(), teed);
    // By more than 12%, the costly way wins too, once its move has had two
    // quiet turns.
    run_alone(flood, 3000 * ms, 6000 * ms, [](std::int64_t) { return rates(11.6, 10, 8, 8); });
    EXPECT_EQ(flood.chooser.chosen(), awake);
}

// In a crowd a flood's rate over a window swings with the scheduler: here
// by up to 40% either way, every 3 ms, whatever the way; every other way
// carries 0.4 of the one in use, which no swing makes win. Alone, two
// references in a row that far from the usual are a change of reader, after
// which the votes are forgotten and every move is probed each epoch again;
// in a crowd the moves far behind stay so, and are seldom probed.
TEST(Chooser, InACrowdARateThatSwingsIsNoChangeOfReader)
{
    const auto probing_share = [](bool crowded) {
        Rates r;
        r.fill(4);
        r[index(asleep)] = 10;
        Flood flood(asleep);
        flood.chooser.allow(all_moves, awake_moves, crowded);
        int probing = 0;
        const int steps = run_swinging(
            flood, r, 0.4, 5, [&] { probing += flood.chooser.probing() != move_count ? 1 : 0; });
        EXPECT_EQ(flood.chooser.chosen(), asleep);
        return static_cast<double>(probing) / steps;
    };
    EXPECT_LT(probing_share(true), 0.015);
    EXPECT_GT(probing_share(false), 0.03); // the rule that a crowd sets aside
}

// In a crowd whose scheduler swings each flood's rate by up to 30% every
// 3 ms, a teed way that carries 1.4 times as much is left alone once the
// references show the swing: only the plain moves are made, so that no
// flood pays for probes whose votes say little. In a crowd where the rates
// hold steady, the same teed way is found.
TEST(Chooser, InACrowdThatSwingsOnlyThePlainMovesAreMade)
{
    const auto teed_time = [](double swing_by) {
        Flood flood(narrow);
        flood.chooser.allow(all_moves, awake_moves, true);
        const auto plain = [](Way w) { return w.source == Source::pages && w.waiting == Waiting::asleep; };
        int steps = 0;
        std::int64_t not_plain = 0; // after the first second
        run_swinging(flood, rates(8, 10, 9, 14), swing_by, 7,
            [&] { not_plain += ++steps > 20'000 && !plain(flood.way) ? step_ns : 0; });
        return std::pair { not_plain, flood.chooser.chosen() };
    };
    const auto [swinging, swinging_chose] = teed_time(0.3);
    EXPECT_EQ(swinging, 0);
    EXPECT_EQ(swinging_chose.source, Source::pages);
    const auto [steady, steady_chose] = teed_time(0);
    EXPECT_GT(steady, 0);
    EXPECT_EQ(steady_chose, teed);
}

// Two floods on two CPUs: waiting awake gains a flood 30% while the other
// sleeps, by taking the CPU its reader needed, but loses both 40% when both
// do it. Probing alone, each would take it; probing together, neither does.
TEST(Chooser, FloodsThatChooseAtOnceDoNotSettleWhereAllLose)
{
    Flood a(asleep);
    Flood b(asleep);
    const auto rate = [](std::size_t i, const std::vector<Way>& ways) {
        const bool mine = ways[i].waiting != Waiting::asleep;
        const bool other = ways[1 - i].waiting != Waiting::asleep;
        if (mine && other) {
            return 6.0;
        }
        return mine ? 13.0 : other ? 7.0 : 10.0;
    };
    // The second starts 13 ms after the first: the epochs are the clock's,
    // not each flood's own.
    run({ &a }, 1000 * ms, 1013 * ms, [](std::size_t, const std::vector<Way>&) { return 10.0; });
    run({ &a, &b }, 1013 * ms, 5000 * ms, rate);
    EXPECT_EQ(a.chooser.chosen().waiting, Waiting::asleep);
    EXPECT_EQ(b.chooser.chosen().waiting, Waiting::asleep);
    EXPECT_LT(share(a, awake), 0.05);
    EXPECT_LT(share(b, awake), 0.05);
}

// Floods with other histories (two settled on the teed way with other
// votes, one on waiting awake, one that has just started) probe the same
// move at the same moment, and those in the same way the same way.
TEST(Chooser, EveryFloodProbesTheSameWayAtTheSameMoment)
{
    const Rates histories[]
        = { rates(10, 12, 8, 15), rates(20, 12, 8, 15), rates(10, 12, 11, 9), rates(9, 13, 8, 16) };
    Flood a(asleep);
    Flood b(narrow);
    Flood c(narrow);
    Flood d(awake);
    run_alone(a, 1000 * ms, 2000 * ms, [&](std::int64_t) { return histories[0]; });
    run_alone(b, 1500 * ms, 2500 * ms, [&](std::int64_t) { return histories[1]; });
    run_alone(d, 1700 * ms, 2400 * ms, [&](std::int64_t) { return histories[3]; });
    ASSERT_EQ(a.chooser.chosen(), teed);
    ASSERT_EQ(b.chooser.chosen(), awake);
    ASSERT_EQ(d.chooser.chosen(), teed);
    std::vector<Flood*> floods { &a, &b, &c, &d };
    std::array<int, move_count> together {}; // steps in which two or more probed it
    int same_way = 0; // steps in which a and d probed
    run(
        floods, 2500 * ms, 6000 * ms,
        [&](std::size_t i, const std::vector<Way>& ways) { return histories[i][index(ways[i])]; },
        [&] {
            std::vector<std::size_t> probed;
            for (const Flood* f : floods) {
                if (f->chooser.probing() != move_count) {
                    probed.push_back(f->chooser.probing());
                }
            }
            for (const std::size_t move : probed) {
                EXPECT_EQ(move, probed[0]);
            }
            together[probed.empty() ? 0 : probed[0]] += probed.size() > 1 ? 1 : 0;
            if (a.way != teed && d.way != teed) {
                EXPECT_EQ(a.way, d.way);
                ++same_way;
            }
        });
    EXPECT_GE(std::count_if(together.begin(), together.end(), [](int n) { return n > 0; }), 2);
    EXPECT_GT(same_way, 0);
}

// A reader served best by the teed way, paced, and worse by it asleep or by
// the pages paced than by the way in use, as `dd bs=1M` was with a long
// text: neither step of a path of two moves gains, so one move must go there.
TEST(Chooser, FindsThePacedTeedWay)
{
    Flood flood(emptied_narrow);
    Rates r = with(with(rates(15, 15, 16, 11.9), emptied_narrow, 15.7), teed_paced, 21);
    run_alone(flood, 1000 * ms, 3000 * ms, [&](std::int64_t) { return r; });
    EXPECT_EQ(flood.chooser.chosen(), teed_paced);
    EXPECT_GT(share(flood, teed_paced), 0.7); // from 0.4 s on
}

// A reader served best by a point of the space that none of 1.4.0's ways
// is: waiting awake once it has emptied the pipe, in the narrow window. Two
// moves from where it starts, each of which gains on its own.
TEST(Chooser, FindsTheBestPointOfTheSpaceOneMoveAtATime)
{
    Flood flood(asleep);
    Rates r = rates(10, 10, 11, 8);
    r[index({ Source::pages, Waiting::emptied, Window::wide })] = 12;
    r[index(emptied_narrow)] = 14;
    run_alone(flood, 1000 * ms, 3000 * ms, [&](std::int64_t) { return r; });
    EXPECT_EQ(flood.chooser.chosen(), emptied_narrow);
    // Then it stays there.
    flood.time_in = {};
    run_alone(flood, 3000 * ms, 5000 * ms, [&](std::int64_t) { return r; });
    EXPECT_GT(share(flood, emptied_narrow), 0.97);
}

TEST(Timeline, PhasesFollowEachOtherAndEveryMoveIsProbedInTurnAlsoAmongQuietTurns)
{
    const floodout::Timeline timeline; // epochs of 16 ms: 1 to warm up, windows of 5
    EXPECT_EQ(timeline.epoch_at(100 * ms), 6);
    EXPECT_EQ(timeline.start_of(6, Phase::probe), 97 * ms);
    EXPECT_EQ(timeline.end_of(6, Phase::probe), 102 * ms);
    EXPECT_EQ(timeline.end_of(6, Phase::back), 107 * ms);
    EXPECT_EQ(timeline.end_of(6, Phase::reference), timeline.start_of(7, Phase::warm_up));
    EXPECT_TRUE(timeline.on_time(102 * ms + 2'500'000, 102 * ms));
    EXPECT_FALSE(timeline.on_time(102 * ms + 2'500'001, 102 * ms));
    // Every move in turn, also among the quiet turns; one quiet turn in four
    // of each for a move far behind.
    constexpr int quiet_every = static_cast<int>(floodout::Timing {}.quiet_every);
    constexpr int rounds = 3;
    std::array<int, move_count> all {};
    std::array<int, move_count> quiet {};
    std::array<int, move_count> far_behind {};
    for (std::int64_t epoch = 0; epoch < quiet_every * static_cast<int>(move_count) * 4 * rounds; ++epoch) {
        const std::size_t move = timeline.probed_in(epoch);
        ++all[move];
        quiet[move] += timeline.quiet_turn(epoch) ? 1 : 0;
        far_behind[move] += timeline.far_behind_turn(epoch) ? 1 : 0;
    }
    for (std::size_t move = 0; move < move_count; ++move) {
        EXPECT_EQ(all[move], quiet_every * 4 * rounds) << move;
        EXPECT_EQ(quiet[move], 4 * rounds) << move;
        EXPECT_EQ(far_behind[move], rounds) << move;
    }
}

TEST(Ballot, TwoOfThreeVotesByTheMarginOrOneDecisiveVoteUncontradictedWin)
{
    const auto wins = [](std::initializer_list<double> votes, bool costly = false) {
        Ballot ballot;
        bool won = false;
        for (const double vote : votes) {
            won = ballot.vote(1, vote, costly);
        }
        return won;
    };
    EXPECT_FALSE(wins({ 1.05 })) << "one vote by the margin";
    EXPECT_TRUE(wins({ 1.05, 0.9, 1.05 })) << "two of three by the margin";
    EXPECT_FALSE(wins({ 1.05, 0.9, 0.9, 1.05 })) << "two, but one of them four votes ago";
    EXPECT_TRUE(wins({ 1.31 })) << "one decisive vote";
    EXPECT_TRUE(wins({ 1.01, 1.31 })) << "a decisive vote after one within the margin";
    EXPECT_FALSE(wins({ 0.5, 3.8 })) << "a decisive vote against one that says less";
    EXPECT_TRUE(wins({ 0.5, 3.8, 1.05 })) << "but two of three by the margin";
    EXPECT_FALSE(wins({ 1.05, 1.05 }, true)) << "a costly move by 4%";
    EXPECT_TRUE(wins({ 1.13, 1.13 }, true)) << "a costly move by 12%";
}

TEST(Ballot, FarBehindUntilTheRateChangesAndASlowReaderNeedsTwoVotesByMore)
{
    Ballot ballot;
    ballot.vote(6, 0.55, false);
    EXPECT_FALSE(ballot.far_behind(6));
    ballot.vote(6, 0.5, false);
    ballot.vote(3, 0.35, false);
    EXPECT_TRUE(ballot.far_behind(6));
    EXPECT_TRUE(ballot.far_behind(3)); // one vote that far down is enough
    // A rate 30% off the usual, twice in a row, is a change: the votes go.
    for (const double rate : { 10.0, 11.0, 20.0 }) {
        EXPECT_FALSE(ballot.note_reference(rate)) << rate;
    }
    EXPECT_TRUE(ballot.note_reference(20.0));
    EXPECT_FALSE(ballot.far_behind(6));
    // A move was made: going back has a vote against the new way.
    ballot.changed(2, 3, 1.25);
    EXPECT_DOUBLE_EQ(ballot.typical(2), 0.8);
    // References that stray by a quarter either way make it noisy; in a
    // crowd, where that is the scheduler's doing, they are never a change.
    Ballot swinging;
    Ballot steady;
    for (int i = 0; i < 40; ++i) {
        EXPECT_FALSE(swinging.note_reference(i % 2 == 0 ? 7.5 : 12.5, true)) << i;
        steady.note_reference(i % 2 == 0 ? 9.8 : 10.2);
    }
    EXPECT_TRUE(swinging.noisy());
    EXPECT_FALSE(steady.noisy());
    Ballot slow;
    slow.note_reference(0.5);
    ASSERT_TRUE(slow.slow());
    EXPECT_FALSE(slow.vote(1, 2.0, false)); // no vote alone is decisive
    EXPECT_FALSE(slow.vote(1, 1.2, false));
    EXPECT_TRUE(slow.vote(1, 1.3, false));
}

} // namespace
