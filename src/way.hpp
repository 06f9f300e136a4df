#pragma once

// The ways a pipe can be written, and what each one sets: the lowest layer,
// below the block, the chooser and the outputs.

#include <cstddef>
#include <cstdint>
#include <limits>

namespace floodout {

// No bound: a reach, span or size that is never the one that stops a piece.
inline constexpr std::size_t unbounded = std::numeric_limits<std::size_t>::max();

// Which is fastest depends on the CPU, the reader and what else runs; none
// wins everywhere, so the chooser measures them.
enum class Way : std::uint8_t { awake, asleep, narrow, teed };
inline constexpr std::size_t way_count = 4;
static_assert(static_cast<std::size_t>(Way::teed) + 1 == way_count, "way_count follows the enum");

constexpr unsigned way_bit(Way way) noexcept
{
    return 1U << static_cast<unsigned>(way);
}
inline constexpr unsigned all_ways = (1U << way_count) - 1;

// How a full pipe is waited for.
enum class Waiting : std::uint8_t {
    asleep, // inside vmsplice: one system call a refill
    awake, // polling, for a bounded time, while the reader outpaces wake-ups
};

// What a way of writing a pipe sets. The pipe outputs write with whatever
// they are given: a new setting is a field here and a value in settings_of().
struct PipeSettings {
    Waiting waiting = Waiting::asleep;
    std::size_t reach = unbounded; // the longest piece; the pipe's size bounds it too
    std::size_t span = unbounded; // how far past the block's start bound a piece may begin
    std::size_t pipe = unbounded; // the most the pipe is made to hold; its size at start bounds it
    bool teed = false; // from a pipe of its own by tee(2), not the block's pages by vmsplice(2)
};

// The narrow way keeps what the reader copies from and into small, for a
// reader that shares a CPU's cache with the writer.
inline constexpr std::size_t narrow_reach = std::size_t { 128 } << 10;
inline constexpr std::size_t narrow_span = std::size_t { 64 } << 10;
inline constexpr std::size_t narrow_pipe = std::size_t { 512 } << 10;

// Each way's settings with pages of `page` bytes (a piece takes at least one
// page; a span must hold two, so that it can start at any page offset).
constexpr PipeSettings settings_of(Way way, std::size_t page) noexcept
{
    PipeSettings settings;
    switch (way) {
    case Way::awake:
        settings.waiting = Waiting::awake;
        break;
    case Way::narrow:
        settings.reach = narrow_reach > page ? narrow_reach : page;
        settings.span = narrow_span > 2 * page ? narrow_span : 2 * page;
        settings.pipe = narrow_pipe;
        break;
    case Way::teed:
        settings.teed = true;
        break;
    case Way::asleep:
        break;
    }
    return settings;
}

} // namespace floodout
