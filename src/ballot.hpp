#pragma once

#include "way.hpp"

#include <cstdint>

namespace floodout {

// How much more a way must carry to be chosen.
struct Margins {
    double margin = 0.04; // a way must carry this much more to replace the one in use
    // A costly way, such as waiting awake beside other work, must carry this
    // much more: what it gains may come from a neighbour that no probe sees.
    double costly_margin = 0.12;
    // A way that carries this much more wins with one vote: at the start, a
    // wrong way costs more than a probe that misled.
    double decisive = 0.3;
    // A way whose last two votes were both below this, or the last one below
    // two thirds of it, carries far less: probing it costs more than it is
    // likely to find, so it is probed rarely until the rate changes.
    double far_behind = 0.6;
    // A reader slower than this, in bytes a nanosecond, is held back by its
    // own work, whatever the way: a way must win two votes by `slow_margin`
    // (its few reads a window make each vote coarse), never one alone.
    double slow_rate = 1.0;
    double slow_margin = 0.25;
};

// The probes' votes, and when they make a way replace the one in use. A
// probe's rate over the reference just before it is one vote; a way wins
// when at least two of its last three votes say it carries more by the
// margin, so a noisy probe alone changes little, or when one says it
// carries far more.
class Ballot {
public:
    explicit Ballot(const Margins& margins = {}) noexcept
        : margins_(margins)
    {
    }

    // Counts a vote for `way`: its rate over the way in use's. True when it
    // should now replace that way.
    bool vote(Way way, double ratio, bool costly) noexcept;
    // What the votes for `way` say it carries over the way in use, erring low.
    [[nodiscard]] double typical(Way way) const noexcept { return votes(way).typical(); }
    [[nodiscard]] bool far_behind(Way way) const noexcept { return votes(way).behind(margins_.far_behind); }

    // The way in use is now `to`, carrying `ratio` times what `from` did (0:
    // not known): the votes, which were against `from`, are against `to`.
    void changed(Way from, Way to, double ratio) noexcept;

    // A reference: the rate of the way in use over a window. True when it is
    // a change of reader or of load (twice in a row far from the usual rate),
    // after which the votes say little and are forgotten.
    bool note_reference(double rate) noexcept;
    // Whether the reader is slow, held back by its own work.
    [[nodiscard]] bool slow() const noexcept { return usual_rate_ > 0 && usual_rate_ < margins_.slow_rate; }

private:
    struct Votes {
        double ratio[3] {};
        int count = 0;
        int next = 0;
        void add(double r) noexcept;
        void scale(double by) noexcept;
        [[nodiscard]] double last() const noexcept { return ratio[(next + 2) % 3]; }
        [[nodiscard]] bool wins(double margin, double decisive) const noexcept;
        [[nodiscard]] bool behind(double by) const noexcept;
        [[nodiscard]] double typical() const noexcept;
    };
    [[nodiscard]] const Votes& votes(Way way) const noexcept { return votes_[static_cast<std::size_t>(way)]; }
    Votes& votes(Way way) noexcept { return votes_[static_cast<std::size_t>(way)]; }
    void forget() noexcept;

    Margins margins_;
    Votes votes_[way_count];
    // A slow average of references, to tell a change.
    double usual_rate_ = -1;
    int off_usual_ = 0; // references in a row far from the usual
};

} // namespace floodout
