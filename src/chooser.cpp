#include "chooser.hpp"

#include <cassert>

namespace floodout {
namespace {

// After a change, the epochs that probe every epoch: each way at least twice.
constexpr int unsettled_epochs = 3 * static_cast<int>(way_count);

} // namespace

Chooser::Chooser(Way first, unsigned allowed, const Schedule& schedule) noexcept
    : timeline_(schedule.timing)
    , ballot_(schedule.margins)
    , allowed_(allowed | way_bit(first))
    , chosen_(first)
    , current_(first)
    , probing_(first)
    , reference_way_(first)
{
}

bool Chooser::probes(std::int64_t epoch, Way way) const noexcept
{
    if (ballot_.far_behind(way)) {
        return timeline_.far_behind_turn(epoch);
    }
    return (epochs_since_change_ < unsettled_epochs && !ballot_.slow()) || timeline_.quiet_turn(epoch);
}

void Chooser::allow(unsigned allowed, unsigned costly) noexcept
{
    allowed |= way_bit(Way::asleep);
    costly &= allowed;
    if (allowed == allowed_ && costly == costly_) {
        return;
    }
    allowed_ = allowed;
    costly_ = costly;
    if ((allowed_ & way_bit(chosen_)) == 0) {
        change_to(Way::asleep, 0);
    }
    if ((allowed_ & way_bit(current_)) == 0 && epoch_ >= 0) {
        // Mid-probe: the rest of it would measure nothing allowed.
        current_ = chosen_;
        phase_ = Phase::back;
        window_start_ns_ = -1;
        next_edge_ns_ = timeline_.end_of(epoch_, phase_);
    }
    epochs_since_change_ = 0;
}

void Chooser::change_to(Way way, double ratio) noexcept
{
    ballot_.changed(chosen_, way, ratio);
    chosen_ = way;
    current_ = way;
    epochs_since_change_ = 0;
}

void Chooser::vote(double probe_rate) noexcept
{
    // Against a reference of the way in use only.
    if (reference_rate_ <= 0 || reference_way_ != chosen_ || probe_rate < 0) {
        return;
    }
    const bool costly = (costly_ & way_bit(probing_)) != 0;
    if (ballot_.vote(probing_, probe_rate / reference_rate_, costly)) {
        change_to(probing_, ballot_.typical(probing_));
    }
}

void Chooser::start_epoch(std::int64_t epoch) noexcept
{
    epoch_ = epoch;
    ++epochs_since_change_;
    window_start_ns_ = -1;
    const Way probe = timeline_.probed_in(epoch);
    if (probes(epoch, probe) && probe != chosen_ && (allowed_ & way_bit(probe)) != 0) {
        probing_ = probe;
        current_ = probe;
        phase_ = Phase::warm_up;
    } else {
        current_ = chosen_;
        phase_ = Phase::back;
    }
    next_edge_ns_ = timeline_.end_of(epoch, phase_);
}

void Chooser::open(std::int64_t now, std::uint64_t taken, std::int64_t edge) noexcept
{
    window_start_ns_ = timeline_.on_time(now, edge) ? now : -1;
    window_start_taken_ = taken;
}

double Chooser::close(std::int64_t now, std::uint64_t taken, std::int64_t edge) noexcept
{
    const std::int64_t start = window_start_ns_;
    window_start_ns_ = -1;
    if (start < 0 || !timeline_.on_time(now, edge) || now <= start) {
        return -1;
    }
    assert(taken >= window_start_taken_);
    return static_cast<double>(taken - window_start_taken_) / static_cast<double>(now - start);
}

void Chooser::edge(std::int64_t now, std::uint64_t taken, bool switched) noexcept
{
    const std::int64_t epoch = timeline_.epoch_at(now);
    if (epoch != epoch_) {
        // The reference window ends where this epoch starts.
        const bool measured = phase_ == Phase::reference && epoch == epoch_ + 1;
        reference_rate_ = measured ? close(now, taken, timeline_.start_of(epoch, Phase::warm_up)) : -1.0;
        reference_way_ = chosen_;
        if (reference_rate_ > 0 && ballot_.note_reference(reference_rate_)) {
            epochs_since_change_ = 0; // a change of reader or load: probe every epoch again
        }
        start_epoch(epoch);
    }
    while (now >= next_edge_ns_) {
        switch (phase_) {
        case Phase::warm_up:
            if (!switched) {
                return; // the window opens once the output writes the way probed
            }
            open(now, taken, next_edge_ns_);
            break;
        case Phase::probe:
            vote(close(now, taken, next_edge_ns_));
            current_ = chosen_;
            break;
        case Phase::back:
            if (!switched) {
                return;
            }
            open(now, taken, next_edge_ns_);
            break;
        case Phase::reference:
            return; // its end is the next epoch's start, seen above
        }
        phase_ = static_cast<Phase>(static_cast<int>(phase_) + 1);
        next_edge_ns_ = timeline_.end_of(epoch_, phase_);
    }
}

} // namespace floodout
