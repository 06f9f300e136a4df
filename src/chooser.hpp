#pragma once

#include <cstddef>
#include <cstdint>

namespace floodout {

// The ways a pipe can be written to. Which is fastest depends on the CPU,
// the reader and what else runs; none wins everywhere.
enum class Way : std::uint8_t {
    awake, // the whole block, pieces as long as the pipe; waits awake for a fast reader
    asleep, // the same, but sleeps inside vmsplice whenever the pipe is full
    narrow, // short pieces near the block's start and a smaller pipe: a cache shared with the reader
    teed, // a pipe filled once, then tee(2) and splice(2): no pages to pin at each piece
};
inline constexpr std::size_t way_count = 4;

constexpr unsigned way_bit(Way way) noexcept
{
    return 1U << static_cast<unsigned>(way);
}
inline constexpr unsigned all_ways = (1U << way_count) - 1;

// When to try the other ways. Time runs in epochs of the monotonic clock,
// which every process on the machine shares: each epoch starts with a probe
// of one way, the same in every flood at the same moment, so that a way
// that gains one flood what it takes from the others (waiting awake on a
// crowded machine) is measured as what it is for all of them, and ends with
// a window that measures the way in use, the reference for the next probe.
struct Schedule {
    std::int64_t epoch_ns = 32'000'000;
    std::int64_t settle_ns = 1'000'000; // after a change of way, before measuring
    std::int64_t window_ns = 5'000'000; // one measurement
    // Once settled, probe only every so many epochs; one more than it must be
    // prime to the count of ways, so that those epochs take every way.
    std::int64_t quiet_every = 8;
    double margin = 0.04; // a way must carry this much more to replace the one in use
    // A costly way, such as waiting awake beside other work, must carry this
    // much more: what it gains may come from a neighbour that no probe sees.
    double costly_margin = 0.12;
    // A way that carries this much more wins with one vote: at the start,
    // a wrong way costs more than a probe that misled.
    double decisive = 0.3;
    // A way whose last two votes were both below this, or the last one below
    // two thirds of it, carries far less: probing it costs more than it is
    // likely to find, so it is probed only once every `far_behind_every`
    // times its turn comes, until the rate changes.
    double far_behind = 0.6;
    std::int64_t far_behind_every = 4;
    // A reader slower than this, in bytes a nanosecond, is held back by its
    // own work, whatever the way: probes only cost CPU there, so they come
    // only every `quiet_every` epochs, even after a change, and a way must
    // win two votes by `slow_margin` (its few reads a window make each vote
    // coarse), never one alone.
    double slow_rate = 1.0;
    double slow_margin = 0.25;
};

// Chooses the way that the reader takes the most bytes a second from, here
// and now. A probe's rate over the reference just before it is one vote; a
// way replaces the one in use when at least two of its last three votes say
// it carries more by the margin, so a noisy probe alone changes little, or
// when one says it carries far more.
// After a change (of way, of the ways allowed, or of the rate itself) it
// probes every epoch, and only every `quiet_every`th once its choice holds.
class Chooser {
public:
    Chooser(Way first, unsigned allowed, const Schedule& schedule = {}) noexcept;

    // The way to write with at `now_ns`. `taken` gives the bytes that the
    // reader has taken in all; it is called only at the edges of a window.
    template <class Taken> Way at(std::int64_t now_ns, Taken&& taken)
    {
        if (now_ns >= next_edge_ns_) {
            edge(now_ns, taken());
        }
        return current_;
    }

    // The ways that may be used, and those of them that are costly; the one
    // in use is kept in them.
    void allow(unsigned allowed, unsigned costly = 0) noexcept;
    [[nodiscard]] unsigned allowed() const noexcept { return allowed_; }
    // The way in use between probes.
    [[nodiscard]] Way settled() const noexcept { return settled_; }
    // The way that epoch `epoch` probes, whatever the flood: all ways in
    // turn, also among the epochs that a quiet flood probes.
    [[nodiscard]] Way probed_in(std::int64_t epoch) const noexcept;

private:
    enum class Phase : std::uint8_t { probe_settle, probe, back, reference };
    struct Votes {
        double ratio[3] {};
        int count = 0;
        int next = 0;
        void add(double r) noexcept;
        void scale(double by) noexcept;
        [[nodiscard]] bool wins(double margin, double decisive) const noexcept;
        [[nodiscard]] bool behind(double by) const noexcept;
        // What the votes say, erring low.
        [[nodiscard]] double typical() const noexcept;
        void clear() noexcept { *this = {}; }
    };

    void edge(std::int64_t now, std::uint64_t taken) noexcept;
    void start_epoch(std::int64_t epoch) noexcept;
    void vote(double probe_rate) noexcept;
    // `ratio`: the new way's over the old one's, or 0 when unknown.
    void change_to(Way way, double ratio) noexcept;
    void forget() noexcept;
    void unsettle() noexcept;
    [[nodiscard]] bool probes(std::int64_t epoch) const noexcept;
    [[nodiscard]] bool slow() const noexcept { return usual_rate_ > 0 && usual_rate_ < schedule_.slow_rate; }

    Schedule schedule_;
    unsigned allowed_;
    unsigned costly_ = 0;
    Way settled_;
    Way current_;
    Way probing_;
    Phase phase_ = Phase::reference;
    std::int64_t epoch_ = -1;
    std::int64_t next_edge_ns_ = 0;
    // The window being measured: where it started.
    std::int64_t window_start_ns_ = -1;
    std::uint64_t window_start_taken_ = 0;
    // The last reference, and a slow average of references to tell a change.
    double reference_rate_ = -1;
    double usual_rate_ = -1;
    int off_usual_ = 0; // references in a row far from the usual
    int settled_epochs_ = 0; // epochs since the last change
    Votes votes_[way_count];
};

} // namespace floodout
