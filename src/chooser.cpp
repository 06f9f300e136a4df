#include "chooser.hpp"

#include <algorithm>
#include <iterator>
#include <limits>

namespace floodout {
namespace {

// A reference this far from the usual, twice in a row, is a change of
// reader or of load: probe every epoch again.
constexpr double change = 1.3;
// After a change, the epochs that probe every epoch: each way at least twice.
constexpr int unsettled_epochs = 3 * static_cast<int>(way_count);

} // namespace

void Chooser::Votes::add(double r) noexcept
{
    ratio[next] = r;
    next = (next + 1) % 3;
    count = count < 3 ? count + 1 : 3;
}

bool Chooser::Votes::behind(double by) const noexcept
{
    // Noise that halves a rate is rare: a vote that far down is enough.
    const double last = ratio[(next + 2) % 3];
    return (count >= 1 && last < by * 2 / 3) || (count >= 2 && last < by && ratio[(next + 1) % 3] < by);
}

double Chooser::Votes::typical() const noexcept
{
    if (count < 3) {
        return count == 1 ? ratio[0] : std::min(ratio[0], ratio[1]);
    }
    return std::max(std::min(ratio[0], ratio[1]), std::min(std::max(ratio[0], ratio[1]), ratio[2]));
}

void Chooser::Votes::scale(double by) noexcept
{
    std::transform(std::begin(ratio), std::end(ratio), std::begin(ratio), [by](double r) { return r * by; });
}

bool Chooser::Votes::wins(double margin, double decisive) const noexcept
{
    int for_it = 0;
    for (int i = 0; i < count; ++i) {
        for_it += ratio[i] >= 1 + margin ? 1 : 0;
    }
    const double last = ratio[(next + 2) % 3];
    return for_it >= 2 || (count > 0 && last >= 1 + decisive);
}

Chooser::Chooser(Way first, unsigned allowed, const Schedule& schedule) noexcept
    : schedule_(schedule)
    , allowed_(allowed | way_bit(first))
    , settled_(first)
    , current_(first)
    , probing_(first)
{
}

Way Chooser::probed_in(std::int64_t epoch) const noexcept
{
    // Quiet floods probe the epochs that are multiples of quiet_every; with
    // quiet_every + 1 prime to the count of ways, those too take every way
    // in turn.
    const std::int64_t turn = epoch + epoch / schedule_.quiet_every;
    return static_cast<Way>(turn % static_cast<std::int64_t>(way_count));
}

bool Chooser::probes(std::int64_t epoch) const noexcept
{
    const Way way = probed_in(epoch);
    if (votes_[static_cast<std::size_t>(way)].behind(schedule_.far_behind)) {
        // Its turns come every quiet_every * way_count epochs.
        const std::int64_t turn = epoch / (schedule_.quiet_every * static_cast<std::int64_t>(way_count));
        return epoch % schedule_.quiet_every == 0 && turn % schedule_.far_behind_every == 0;
    }
    return (settled_epochs_ < unsettled_epochs && !slow()) || epoch % schedule_.quiet_every == 0;
}

void Chooser::allow(unsigned allowed, unsigned costly) noexcept
{
    allowed = allowed | way_bit(Way::asleep); // always possible
    costly &= allowed;
    if (allowed == allowed_ && costly == costly_) {
        return;
    }
    allowed_ = allowed;
    costly_ = costly;
    if ((allowed_ & way_bit(settled_)) == 0) {
        change_to(Way::asleep, 0);
    }
    if ((allowed_ & way_bit(current_)) == 0 && epoch_ >= 0) {
        // Mid-probe: the rest of it would measure nothing allowed.
        current_ = settled_;
        phase_ = Phase::back;
        window_start_ns_ = -1;
        next_edge_ns_ = (epoch_ + 1) * schedule_.epoch_ns - schedule_.window_ns;
    }
    unsettle();
}

void Chooser::unsettle() noexcept
{
    settled_epochs_ = 0;
}

void Chooser::forget() noexcept
{
    for (Votes& v : votes_) {
        v.clear();
    }
}

void Chooser::change_to(Way way, double ratio) noexcept
{
    // The votes were against the old way; against the new one they are
    // smaller by its ratio, and the old way gets one of its own.
    const Way old = settled_;
    if (ratio > 0) {
        for (Votes& v : votes_) {
            v.scale(1 / ratio);
        }
        votes_[static_cast<std::size_t>(way)].clear();
        votes_[static_cast<std::size_t>(old)].add(1 / ratio);
    } else {
        forget();
    }
    settled_ = way;
    current_ = way;
    reference_rate_ = -1;
    usual_rate_ = -1;
    unsettle();
}

void Chooser::vote(double probe_rate) noexcept
{
    if (reference_rate_ <= 0 || probe_rate < 0) {
        return;
    }
    Votes& votes = votes_[static_cast<std::size_t>(probing_)];
    votes.add(probe_rate / reference_rate_);
    const bool costly = (costly_ & way_bit(probing_)) != 0;
    const double margin = slow() ? schedule_.slow_margin
        : costly                 ? schedule_.costly_margin
                                 : schedule_.margin;
    if (votes.wins(margin, slow() ? std::numeric_limits<double>::infinity() : schedule_.decisive)) {
        change_to(probing_, votes.typical());
    }
}

void Chooser::start_epoch(std::int64_t epoch) noexcept
{
    epoch_ = epoch;
    ++settled_epochs_;
    const std::int64_t start = epoch * schedule_.epoch_ns;
    const Way probe = probed_in(epoch);
    window_start_ns_ = -1;
    if (probes(epoch) && probe != settled_ && (allowed_ & way_bit(probe)) != 0) {
        probing_ = probe;
        current_ = probe;
        phase_ = Phase::probe_settle;
        next_edge_ns_ = start + schedule_.settle_ns;
    } else {
        current_ = settled_;
        phase_ = Phase::back;
        next_edge_ns_ = start + schedule_.epoch_ns - schedule_.window_ns;
        // A reference that this epoch's probe does not use is stale by the next.
        reference_rate_ = -1;
    }
}

void Chooser::edge(std::int64_t now, std::uint64_t taken) noexcept
{
    const std::int64_t epoch_ns = schedule_.epoch_ns;
    const std::int64_t window = schedule_.window_ns;
    // A window's edges count only when seen within half a window of where
    // they are: a writer that slept past them measured nothing.
    const auto close = [&](std::int64_t end) {
        if (window_start_ns_ < 0 || now - end > window / 2 || now <= window_start_ns_) {
            window_start_ns_ = -1;
            return -1.0;
        }
        const double rate
            = static_cast<double>(taken - window_start_taken_) / static_cast<double>(now - window_start_ns_);
        window_start_ns_ = -1;
        return rate;
    };
    const auto open = [&](std::int64_t start) {
        if (now - start <= window / 2) {
            window_start_ns_ = now;
            window_start_taken_ = taken;
        } else {
            window_start_ns_ = -1;
        }
    };
    const std::int64_t epoch = now / epoch_ns;
    if (epoch != epoch_) {
        const double reference
            = phase_ == Phase::reference && epoch == epoch_ + 1 ? close(epoch * epoch_ns) : -1.0;
        reference_rate_ = reference;
        if (reference > 0) {
            if (usual_rate_ <= 0) {
                usual_rate_ = reference;
            } else if (reference > usual_rate_ * change || reference * change < usual_rate_) {
                if (++off_usual_ >= 2) {
                    // What was measured before says little now.
                    forget();
                    unsettle();
                    usual_rate_ = reference;
                    off_usual_ = 0;
                }
            } else {
                off_usual_ = 0;
                usual_rate_ = 0.75 * usual_rate_ + 0.25 * reference;
            }
        }
        start_epoch(epoch);
    }
    const std::int64_t start = epoch_ * epoch_ns;
    while (now >= next_edge_ns_) {
        switch (phase_) {
        case Phase::probe_settle:
            phase_ = Phase::probe;
            open(start + schedule_.settle_ns);
            next_edge_ns_ = start + schedule_.settle_ns + window;
            break;
        case Phase::probe:
            vote(close(next_edge_ns_));
            phase_ = Phase::back;
            current_ = settled_;
            next_edge_ns_ = start + epoch_ns - window;
            break;
        case Phase::back:
            phase_ = Phase::reference;
            open(next_edge_ns_);
            next_edge_ns_ = start + epoch_ns;
            break;
        case Phase::reference:
            // Its end is the next epoch's start, handled above.
            return;
        }
    }
}

} // namespace floodout
