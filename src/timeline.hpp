#pragma once

#include "way.hpp"

#include <cstddef>
#include <cstdint>
#include <numeric>

namespace floodout {

// When the chooser probes and measures. Time runs in epochs of the monotonic
// clock, which every process on the machine shares: each epoch starts with a
// probe of one way, the same in every flood at the same moment, so that a way
// that gains one flood what it takes from the others (waiting awake on a
// crowded machine) is measured as what it is for all of them, and ends with
// a window that measures the way in use, the reference for the next probe.
struct Timing {
    // Short, with time after a probe for the way in use to settle before
    // its reference: a search of one move at a time, for the same probes,
    // reaches the fastest way in half the time of epochs of 32 ms, which is
    // much of what a run of a second loses.
    std::int64_t epoch_ns = 16'000'000;
    std::int64_t warm_up_ns = 1'000'000; // after a change of way, before measuring
    std::int64_t window_ns = 5'000'000; // one measurement
    // Once the choice holds, probe only every so many epochs (the probes'
    // share of the time then stays about 2%); one more than it must be
    // prime to the count of moves, so that those epochs take every move in
    // turn.
    std::int64_t quiet_every = 12;
    // A move far behind is probed only one of its turns in this many.
    std::int64_t far_behind_every = 4;
};
static_assert(std::gcd(Timing {}.quiet_every + 1, static_cast<std::int64_t>(move_count)) == 1);

// The parts of an epoch, in order.
enum class Phase : std::uint8_t {
    warm_up, // the probed way settles in
    probe, // its window
    back, // the way in use again
    reference, // its window, the reference for the next epoch's probe
};

// What the shared clock alone says: which epoch and phase a moment is in,
// where each starts, which move every flood probes. Holds no state.
class Timeline {
public:
    // REQUIRES: the phases fit in an epoch; quiet_every + 1 prime to the moves.
    explicit Timeline(const Timing& timing = {}) noexcept;

    [[nodiscard]] std::int64_t epoch_at(std::int64_t now) const noexcept { return now / timing_.epoch_ns; }
    [[nodiscard]] std::int64_t start_of(std::int64_t epoch, Phase phase) const noexcept;
    // Where `phase` of `epoch` ends: where the next one starts.
    [[nodiscard]] std::int64_t end_of(std::int64_t epoch, Phase phase) const noexcept;
    // Whether an edge that was at `edge` still counts when seen at `now`:
    // a writer that slept past it measured nothing.
    [[nodiscard]] bool on_time(std::int64_t now, std::int64_t edge) const noexcept
    {
        return now - edge <= timing_.window_ns / 2;
    }

    // The move that epoch `epoch` probes, whatever the flood: all moves in
    // turn, also among the quiet turns.
    [[nodiscard]] std::size_t probed_in(std::int64_t epoch) const noexcept;
    // Whether a flood whose choice holds probes in `epoch`.
    [[nodiscard]] bool quiet_turn(std::int64_t epoch) const noexcept
    {
        return epoch % timing_.quiet_every == 0;
    }
    // Whether a move far behind is probed in `epoch`: one of its quiet turns
    // in far_behind_every.
    [[nodiscard]] bool far_behind_turn(std::int64_t epoch) const noexcept;

private:
    Timing timing_;
};

} // namespace floodout
