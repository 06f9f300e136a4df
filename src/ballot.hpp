#pragma once

#include "way.hpp"

#include <cstddef>
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
    // References that stray from the usual rate by this much on average, as
    // the scheduler makes them in a crowd, drown a vote by the margin; until
    // they stray by less than half of it.
    double noisy = 0.1;
};

// The probes' votes, and when they make a move replace the way in use. A
// probe's rate over the reference just before it is one vote; a move wins
// when at least two of its last three votes say it carries more by the
// margin, so a noisy probe alone changes little, or when one says it
// carries far more and none of the others says it carries less. Moves are
// counted by their index in `moves`.
class Ballot {
public:
    explicit Ballot(const Margins& margins = {}) noexcept
        : margins_(margins)
    {
    }

    // Counts a vote for `move`: the rate with it over the way in use's. True
    // when it should now be made.
    bool vote(std::size_t move, double ratio, bool costly) noexcept;
    // How much more a way must carry to replace the one in use.
    [[nodiscard]] double margin(bool costly) const noexcept
    {
        return slow() ? margins_.slow_margin : costly ? margins_.costly_margin : margins_.margin;
    }
    // What the votes for `move` say it carries over the way in use, erring low.
    [[nodiscard]] double typical(std::size_t move) const noexcept { return votes(move).typical(); }
    [[nodiscard]] bool far_behind(std::size_t move) const noexcept
    {
        return votes(move).behind(margins_.far_behind);
    }

    // `made` was made, carrying `ratio` times what the way before did (0: not
    // known), and `back` undoes it (move_count: none does): the votes, which
    // were against the way before, are against the new one.
    void changed(std::size_t back, std::size_t made, double ratio) noexcept;

    // A reference: the rate of the way in use over a window. True when it is
    // a change of reader or of load (twice in a row far from the usual rate),
    // after which the votes say little and are forgotten. `crowded`: other
    // work waits for the CPUs, and a rate far from the usual is the
    // scheduler's doing, never a change.
    bool note_reference(double rate, bool crowded = false) noexcept;
    // Whether the references stray so far from the usual that a vote by the
    // margin says little.
    [[nodiscard]] bool noisy() const noexcept { return noisy_; }
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
    [[nodiscard]] const Votes& votes(std::size_t move) const noexcept { return votes_[move]; }
    Votes& votes(std::size_t move) noexcept { return votes_[move]; }
    void forget() noexcept;

    Margins margins_;
    Votes votes_[move_count];
    // A slow average of references, to tell a change.
    double usual_rate_ = -1;
    int off_usual_ = 0; // references in a row far from the usual
    double spread_ = 0; // a slow average of how far references are from the usual, as a share of it
    bool noisy_ = false;
};

} // namespace floodout
