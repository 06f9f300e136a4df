#pragma once

#include "ballot.hpp"
#include "timeline.hpp"
#include "way.hpp"

#include <cstddef>
#include <cstdint>

namespace floodout {

struct Schedule {
    Timing timing;
    Margins margins;
};

// Chooses the way that the reader takes the most bytes a second from, here
// and now: at the moments the timeline gives, it measures the way in use
// with one move made (a probe) and the way in use, and lets the ballot count
// the votes. After a change (of way, of the moves allowed, or of the rate
// itself) it probes every epoch; once its choice holds, and always for a
// slow reader, only at the quiet turns.
class Chooser {
public:
    Chooser(Way first, unsigned allowed, const Schedule& schedule = {}) noexcept;

    // The way to write with at `now_ns`. `taken` gives the bytes that the
    // reader has taken in all; it is called only at the edges of a phase.
    // `switched`: whether the output writes the way last asked for yet; a
    // window opens only once it does, if still on time.
    template <class Taken> Way at(std::int64_t now_ns, Taken&& taken, bool switched = true)
    {
        if (now_ns >= next_edge_ns_) {
            edge(now_ns, taken(), switched);
        }
        return current_;
    }

    // The moves that may be made, and those of them that are costly; the
    // plain ones are always allowed, and a way in use that is no longer is
    // left for a plain one. `crowded`: other work waits for the CPUs, so
    // this flood's rate over a window may swing with the scheduler, not with
    // its reader; a change of load shows as a change of this instead. Where
    // it does swing, votes tell little and every flood pays for each probe
    // at once: only the plain moves are made then.
    void allow(unsigned allowed, unsigned costly = 0, bool crowded = false) noexcept;
    // The way in use between probes.
    [[nodiscard]] Way chosen() const noexcept { return chosen_; }
    // The move being probed, or move_count between probes.
    [[nodiscard]] std::size_t probing() const noexcept { return current_ == chosen_ ? move_count : probing_; }

private:
    void edge(std::int64_t now, std::uint64_t taken, bool switched) noexcept;
    // Sets the moves that may be made from those offered, and leaves a way
    // in use that may no longer be.
    void restrict() noexcept;
    void start_epoch(std::int64_t epoch) noexcept;
    [[nodiscard]] bool probes(std::int64_t epoch, std::size_t move) const noexcept;
    // A window's start at the edge `edge`, or none when it is seen too late.
    void open(std::int64_t now, std::uint64_t taken, std::int64_t edge) noexcept;
    // The rate over the window that ends at `edge`; -1 when there is none.
    double close(std::int64_t now, std::uint64_t taken, std::int64_t edge) noexcept;
    void vote(double probe_rate) noexcept;
    // Makes `move`; `ratio`: the new way's rate over the old one's, or 0 when unknown.
    void make(std::size_t move, double ratio) noexcept;
    // At the start, once the first way has a reference: the other window for
    // an epoch, then the better of the two. An epoch that starts in another
    // way than its reference measured probes nothing.
    void try_other_window() noexcept;

    Timeline timeline_;
    Ballot ballot_;
    unsigned offered_; // the moves allowed by the output
    unsigned allowed_; // those that may be made here and now
    unsigned costly_ = 0;
    bool crowded_ = false;
    Way chosen_;
    Way current_; // the way probed during a probe, else the chosen one
    std::size_t probing_ = 0;
    std::int64_t epoch_ = -1;
    Phase phase_ = Phase::reference;
    std::int64_t next_edge_ns_ = 0; // where the phase ends
    // The window being measured: where it started.
    std::int64_t window_start_ns_ = -1;
    std::uint64_t window_start_taken_ = 0;
    // The rate of the last reference window, and the way it measured.
    double reference_rate_ = -1;
    Way reference_way_;
    int epochs_since_change_ = 0;
    enum class Trial : std::uint8_t { pending, running, done };
    Trial trial_ = Trial::pending;
    int trial_references_ = 0; // of the first way
    Way trial_from_; // the first way, and its reference
    double trial_from_rate_ = -1;
};

} // namespace floodout
