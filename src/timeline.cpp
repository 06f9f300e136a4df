#include "timeline.hpp"

#include <cassert>

namespace floodout {

Timeline::Timeline(const Timing& timing) noexcept
    : timing_(timing)
{
    assert(timing.warm_up_ns >= 0 && timing.window_ns > 0 && timing.quiet_every > 0);
    assert(timing.warm_up_ns + 2 * timing.window_ns <= timing.epoch_ns);
    assert(std::gcd(timing.quiet_every + 1, static_cast<std::int64_t>(move_count)) == 1);
    assert(timing.far_behind_every > 0);
}

std::int64_t Timeline::start_of(std::int64_t epoch, Phase phase) const noexcept
{
    const std::int64_t start = epoch * timing_.epoch_ns;
    switch (phase) {
    case Phase::warm_up:
        return start;
    case Phase::probe:
        return start + timing_.warm_up_ns;
    case Phase::back:
        return start + timing_.warm_up_ns + timing_.window_ns;
    case Phase::reference:
        return start + timing_.epoch_ns - timing_.window_ns;
    }
    return start;
}

std::int64_t Timeline::end_of(std::int64_t epoch, Phase phase) const noexcept
{
    return phase == Phase::reference ? start_of(epoch + 1, Phase::warm_up)
                                     : start_of(epoch, static_cast<Phase>(static_cast<int>(phase) + 1));
}

std::size_t Timeline::probed_in(std::int64_t epoch) const noexcept
{
    // The quiet turns are the multiples of quiet_every; with quiet_every + 1
    // prime to the count of moves, they too take every move in turn.
    const std::int64_t turn = epoch + epoch / timing_.quiet_every;
    return static_cast<std::size_t>(turn % static_cast<std::int64_t>(move_count));
}

bool Timeline::far_behind_turn(std::int64_t epoch) const noexcept
{
    // A move's quiet turns come every quiet_every * move_count epochs.
    const std::int64_t turn = epoch / (timing_.quiet_every * static_cast<std::int64_t>(move_count));
    return quiet_turn(epoch) && turn % timing_.far_behind_every == 0;
}

} // namespace floodout
