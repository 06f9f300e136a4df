#include "ballot.hpp"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <iterator>
#include <limits>

namespace floodout {
namespace {

// A reference this far from the usual, twice in a row, is a change of
// reader or of load.
constexpr double change = 1.3;

} // namespace

void Ballot::Votes::add(double r) noexcept
{
    ratio[next] = r;
    next = (next + 1) % 3;
    count = count < 3 ? count + 1 : 3;
}

void Ballot::Votes::scale(double by) noexcept
{
    std::transform(std::begin(ratio), std::end(ratio), std::begin(ratio), [by](double r) { return r * by; });
}

bool Ballot::Votes::wins(double margin, double decisive) const noexcept
{
    int for_it = 0;
    int against = 0;
    for (int i = 0; i < count; ++i) {
        for_it += ratio[i] >= 1 + margin ? 1 : 0;
        against += ratio[i] < 1 ? 1 : 0;
    }
    // One far-off window, such as one the scheduler disturbed, must not
    // outvote one that said the move carries less.
    return for_it >= 2 || (count > 0 && against == 0 && last() >= 1 + decisive);
}

bool Ballot::Votes::behind(double by) const noexcept
{
    // Noise that halves a rate is rare: a vote that far down is enough.
    return (count >= 1 && last() < by * 2 / 3) || (count >= 2 && last() < by && ratio[(next + 1) % 3] < by);
}

double Ballot::Votes::typical() const noexcept
{
    if (count < 3) {
        return count == 1 ? ratio[0] : std::min(ratio[0], ratio[1]);
    }
    // The median.
    return std::max(std::min(ratio[0], ratio[1]), std::min(std::max(ratio[0], ratio[1]), ratio[2]));
}

bool Ballot::vote(std::size_t move, double ratio, bool costly) noexcept
{
    assert(move < move_count && ratio >= 0);
    Votes& v = votes(move);
    v.add(ratio);
    return v.wins(margin(costly), slow() ? std::numeric_limits<double>::infinity() : margins_.decisive);
}

void Ballot::forget() noexcept
{
    std::fill(std::begin(votes_), std::end(votes_), Votes {});
}

void Ballot::changed(std::size_t back, std::size_t made, double ratio) noexcept
{
    if (ratio > 0) {
        // Against the new way the votes are smaller by its ratio, and going
        // back gets one of its own.
        for (Votes& v : votes_) {
            v.scale(1 / ratio);
        }
        votes(made) = {};
        if (back < move_count) {
            votes(back).add(1 / ratio);
        }
    } else {
        forget();
    }
    usual_rate_ = -1;
}

bool Ballot::note_reference(double rate, bool crowded) noexcept
{
    assert(rate > 0);
    if (usual_rate_ <= 0) {
        usual_rate_ = rate;
        return false;
    }
    spread_ += (std::min(std::abs(rate / usual_rate_ - 1), 1.0) - spread_) / 8;
    noisy_ = noisy_ ? spread_ > margins_.noisy / 2 : spread_ > margins_.noisy;
    if (crowded || (rate <= usual_rate_ * change && rate * change >= usual_rate_)) {
        off_usual_ = 0;
        usual_rate_ = 0.75 * usual_rate_ + 0.25 * rate;
        return false;
    }
    if (++off_usual_ < 2) {
        return false;
    }
    forget();
    usual_rate_ = rate;
    off_usual_ = 0;
    return true;
}

} // namespace floodout
