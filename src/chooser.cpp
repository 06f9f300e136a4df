#include "chooser.hpp"

#include <cassert>

namespace floodout {
namespace {

// After a change, the epochs that probe every epoch: each move at least
// twice, which two votes need.
constexpr int unsettled_epochs = 3 * static_cast<int>(move_count);

} // namespace

Chooser::Chooser(Way first, unsigned allowed, const Schedule& schedule) noexcept
    : timeline_(schedule.timing)
    , ballot_(schedule.margins)
    , offered_(allowed | plain_moves | moves_of(first))
    , allowed_(offered_)
    , chosen_(canonical(first))
    , current_(chosen_)
    , reference_way_(chosen_)
{
}

bool Chooser::probes(std::int64_t epoch, std::size_t move) const noexcept
{
    if (ballot_.far_behind(move)) {
        return timeline_.far_behind_turn(epoch);
    }
    return (epochs_since_change_ < unsettled_epochs && !ballot_.slow()) || timeline_.quiet_turn(epoch);
}

void Chooser::allow(unsigned allowed, unsigned costly, bool crowded) noexcept
{
    allowed |= plain_moves;
    costly &= allowed;
    if (allowed == offered_ && costly == costly_ && crowded == crowded_) {
        return;
    }
    offered_ = allowed;
    costly_ = costly;
    crowded_ = crowded;
    allowed_ = 0; // all of it is new
    restrict();
}

void Chooser::restrict() noexcept
{
    const unsigned allowed = crowded_ && ballot_.noisy() ? offered_ & plain_moves : offered_;
    if (allowed == allowed_) {
        return;
    }
    allowed_ = allowed;
    // A setting no longer allowed gives way to the plain one of its dimension.
    if (chosen_.source != Source::pages && (allowed_ & moves_of(chosen_)) != moves_of(chosen_)) {
        make(move_index(Dimension::source, static_cast<std::uint8_t>(Source::pages)), 0);
    }
    if ((allowed_ & moves_of(chosen_)) != moves_of(chosen_)) {
        make(move_index(Dimension::waiting, static_cast<std::uint8_t>(Waiting::asleep)), 0);
    }
    if ((moves_of(current_) & ~allowed_) != 0 && epoch_ >= 0) {
        // Mid-probe: the rest of it would measure nothing allowed.
        current_ = chosen_;
        phase_ = Phase::back;
        window_start_ns_ = -1;
        next_edge_ns_ = timeline_.end_of(epoch_, phase_);
    }
    epochs_since_change_ = 0;
}

void Chooser::make(std::size_t move, double ratio) noexcept
{
    trial_ = Trial::done;
    const Way before = chosen_;
    chosen_ = applied(chosen_, move);
    ballot_.changed(move_back(before, chosen_), move, ratio);
    current_ = chosen_;
    epochs_since_change_ = 0;
}

void Chooser::try_other_window() noexcept
{
    if (trial_ == Trial::pending) {
        // Against the first way's second reference: the first one, while the
        // reader starts too, was seen at half the rate that followed.
        if (reference_rate_ <= 0 || reference_way_ != chosen_ || ++trial_references_ < 2) {
            return;
        }
        const Way other = other_window(chosen_);
        if (other == chosen_ || (allowed_ & moves_of(other)) != moves_of(other)) {
            trial_ = Trial::done;
            return;
        }
        trial_ = Trial::running;
        trial_from_ = chosen_;
        trial_from_rate_ = reference_rate_;
        chosen_ = other;
        current_ = other;
        return;
    }
    if (trial_ != Trial::running) {
        return;
    }
    const Way other = chosen_;
    const std::size_t move = move_index(Dimension::window, static_cast<std::uint8_t>(other.window));
    const double ratio
        = reference_rate_ > 0 && reference_way_ == other ? reference_rate_ / trial_from_rate_ : 0;
    chosen_ = trial_from_;
    current_ = chosen_;
    trial_ = Trial::done;
    // One vote by the margin is enough: at the start a wrong window costs
    // more than a vote that misled, which the probes undo. In a crowd the
    // scheduler's swings need the costly margin.
    if (ratio >= 1 + ballot_.margin(crowded_)) {
        make(move, ratio);
    } else if (ratio > 0) {
        // A vote below the margin wins nothing; it counts against the move.
        ballot_.vote(move, ratio, crowded_);
    }
}

void Chooser::vote(double probe_rate) noexcept
{
    // Against a reference of the way in use only.
    if (reference_rate_ <= 0 || reference_way_ != chosen_ || probe_rate < 0) {
        return;
    }
    const bool costly = (costly_ & move_bit(probing_)) != 0;
    if (ballot_.vote(probing_, probe_rate / reference_rate_, costly)) {
        make(probing_, ballot_.typical(probing_));
    }
}

void Chooser::start_epoch(std::int64_t epoch) noexcept
{
    epoch_ = epoch;
    ++epochs_since_change_;
    window_start_ns_ = -1;
    // A setting that the way in use has already is no move at all, and a
    // probe without a reference of the way in use to vote against would
    // only cost.
    const std::size_t move = timeline_.probed_in(epoch);
    const Way probe = applied(chosen_, move);
    const bool measured = reference_rate_ > 0 && reference_way_ == chosen_;
    if (measured && probes(epoch, move) && (moves_of(chosen_) & move_bit(move)) == 0
        && (allowed_ & move_bit(move)) != 0) {
        probing_ = move;
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
        // In a crowd a reference far from the usual is the scheduler's doing:
        // taken for a change of reader, it would have every flood probe every
        // epoch, and forget its votes, for as long as the crowd lasts. How far
        // references stray says whether votes can tell the ways apart.
        if (reference_rate_ > 0 && ballot_.note_reference(reference_rate_, crowded_)) {
            epochs_since_change_ = 0; // a change of reader or load: probe every epoch again
        }
        restrict();
        try_other_window();
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
