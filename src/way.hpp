#pragma once

// The ways a pipe can be written, and what each one sets: the lowest layer,
// below the block, the chooser and the outputs. A way is a point in a small
// space of settings; a probe tries one setting other than the way in use's.

#include <cstddef>
#include <cstdint>
#include <limits>

namespace floodout {

// No bound: a reach, span or size that is never the one that stops a piece.
inline constexpr std::size_t unbounded = std::numeric_limits<std::size_t>::max();

// Where the reader's bytes come from.
enum class Source : std::uint8_t {
    pages, // the block's pages by vmsplice
    teed, // a pipe filled once, then tee(2) and splice(2): no pages to pin at each piece
};

// How a full pipe is waited for.
enum class Waiting : std::uint8_t {
    asleep, // inside vmsplice: one system call a refill
    fast, // awake, for a bounded time, while the reader outpaces wake-ups
    emptied, // awake, for a bounded time, after a refill that filled most of the pipe: the reader had
             // emptied it
    paced, // asleep for a nap while the reader empties part of the pipe, then refilled in one call
};

// Which part of the block the pieces come from, and how much the pipe holds.
enum class Window : std::uint8_t {
    wide, // the whole block, pieces as long as the pipe takes
    narrow, // short pieces near the block's start and a smaller pipe: a cache shared with the reader
    deep, // the same pieces, the whole pipe: fewer refills, each of which costs the writer and the
          // reader a switch of task where many tasks share the CPUs
};

// Which is fastest depends on the CPU, the reader and what else runs; no
// point wins everywhere, so the chooser measures them. A teed way has no
// window of its own, and waits asleep inside splice or paced.
struct Way {
    Source source = Source::pages;
    Waiting waiting = Waiting::asleep;
    Window window = Window::wide;
    friend constexpr bool operator==(const Way&, const Way&) = default;
};

// One setting: a probe tries the way in use with it.
enum class Dimension : std::uint8_t { source, waiting, window };
struct Move {
    Dimension dimension;
    std::uint8_t value;
};
// Every value of every dimension, dimension by dimension.
inline constexpr Move moves[] = {
    { Dimension::source, static_cast<std::uint8_t>(Source::pages) },
    { Dimension::source, static_cast<std::uint8_t>(Source::teed) },
    { Dimension::waiting, static_cast<std::uint8_t>(Waiting::asleep) },
    { Dimension::waiting, static_cast<std::uint8_t>(Waiting::fast) },
    { Dimension::waiting, static_cast<std::uint8_t>(Waiting::emptied) },
    { Dimension::waiting, static_cast<std::uint8_t>(Waiting::paced) },
    { Dimension::window, static_cast<std::uint8_t>(Window::wide) },
    { Dimension::window, static_cast<std::uint8_t>(Window::narrow) },
    { Dimension::window, static_cast<std::uint8_t>(Window::deep) },
};
inline constexpr std::size_t move_count = sizeof moves / sizeof moves[0];
static_assert(move_count == 2 + 4 + 3, "a move for every value of every dimension");
static_assert(move_count <= 8 * sizeof(unsigned), "a set of moves fits in an unsigned");

// The index in `moves` of a dimension's value.
constexpr std::size_t move_index(Dimension dimension, std::uint8_t value) noexcept
{
    std::size_t m = 0;
    while (m + 1 < move_count && (moves[m].dimension != dimension || moves[m].value != value)) {
        ++m;
    }
    return m;
}

constexpr unsigned move_bit(std::size_t move) noexcept
{
    return 1U << move;
}
inline constexpr unsigned all_moves = (1U << move_count) - 1;

// The moves of the settings that `way` has, one a dimension.
constexpr unsigned moves_of(Way way) noexcept
{
    return move_bit(move_index(Dimension::source, static_cast<std::uint8_t>(way.source)))
        | move_bit(move_index(Dimension::waiting, static_cast<std::uint8_t>(way.waiting)))
        | move_bit(move_index(Dimension::window, static_cast<std::uint8_t>(way.window)));
}

// Moves that any pipe allows: the block's pages, waiting asleep, any window.
inline constexpr unsigned plain_moves = moves_of(Way {}) | moves_of(Way { .window = Window::narrow })
    | moves_of(Way { .window = Window::deep });

// Whether the teed way can wait so: inside splice, or paced.
constexpr bool teed_waits(Waiting waiting) noexcept
{
    return waiting == Waiting::asleep || waiting == Waiting::paced;
}

// The same way, a teed one with only the settings it has. A way that waits
// awake, teed, waits paced: never asleep inside a call. Asleep inside splice,
// the teed way runs while its reader copies the block's pages; into `dd
// bs=1M` with a long text it carried half what it did paced, less than the
// way in use, so a move to it lost its votes and the fastest way, two moves
// off, was never reached.
constexpr Way canonical(Way way) noexcept
{
    if (way.source != Source::teed) {
        return way;
    }
    const Waiting waiting = way.waiting == Waiting::asleep ? Waiting::asleep : Waiting::paced;
    return Way { Source::teed, waiting, Window::wide };
}

// `way` with the setting of `moves[move]`. The teed way has no window, nor
// waits awake: a move to those is a move to the block's pages.
constexpr Way applied(Way way, std::size_t move) noexcept
{
    const Move m = moves[move];
    if (way.source == Source::teed && m.dimension != Dimension::source
        && !(m.dimension == Dimension::waiting && teed_waits(static_cast<Waiting>(m.value)))) {
        way = Way {};
    }
    switch (m.dimension) {
    case Dimension::source:
        way.source = static_cast<Source>(m.value);
        break;
    case Dimension::waiting:
        way.waiting = static_cast<Waiting>(m.value);
        break;
    case Dimension::window:
        way.window = static_cast<Window>(m.value);
        break;
    }
    return canonical(way);
}

// The move that takes `to` back to `from`; move_count where none does.
constexpr std::size_t move_back(Way from, Way to) noexcept
{
    std::size_t m = 0;
    while (m < move_count && applied(to, m) != from) {
        ++m;
    }
    return m;
}

// The way a flood tries for one epoch at its start: of all settings, which
// window serves a reader best differs most from one CPU to the next (a
// 1 MiB reader alone took a fifth more from the wide one on an AMD EPYC;
// four at once twice as much from the narrow one on an Intel Xeon), and a
// search of one move at a time takes a tenth of a second or more to get
// there. The teed way has no window to try.
constexpr Way other_window(Way way) noexcept
{
    if (way.source == Source::teed) {
        return way;
    }
    way.window = way.window == Window::wide ? Window::narrow : Window::wide;
    return way;
}

// What a way sets. The pipe outputs write with whatever they are given: a
// new setting is a field here and a value in settings_of().
struct PipeSettings {
    Waiting waiting = Waiting::asleep;
    std::size_t reach = unbounded; // the longest piece; the pipe's size bounds it too
    std::size_t span = unbounded; // how far past the block's start bound a piece may begin
    std::size_t pipe = unbounded; // the most the pipe is made to hold; its size at start bounds it
    bool teed = false; // from a pipe of its own by tee(2), not the block's pages by vmsplice(2)
};

// The narrow window keeps what the reader copies from and into small.
inline constexpr std::size_t narrow_reach = std::size_t { 128 } << 10;
inline constexpr std::size_t narrow_span = std::size_t { 64 } << 10;
inline constexpr std::size_t narrow_pipe = std::size_t { 512 } << 10;

// A reach or a span of pieces near the block's start, with pages of `page`
// bytes: a piece takes at least one page; a span must hold two, so that a
// piece can start at any page offset.
constexpr std::size_t reach_in_pages(std::size_t reach, std::size_t page) noexcept
{
    return reach > page ? reach : page;
}
constexpr std::size_t span_in_pages(std::size_t span, std::size_t page) noexcept
{
    return span > 2 * page ? span : 2 * page;
}

// A way's settings with pages of `page` bytes.
constexpr PipeSettings settings_of(Way way, std::size_t page) noexcept
{
    PipeSettings settings;
    settings.waiting = way.waiting;
    if (way.source == Source::teed) {
        settings.teed = true;
        return settings;
    }
    if (way.window != Window::wide) {
        settings.reach = reach_in_pages(narrow_reach, page);
        settings.span = span_in_pages(narrow_span, page);
        settings.pipe = way.window == Window::narrow ? narrow_pipe : unbounded;
    }
    return settings;
}

} // namespace floodout
