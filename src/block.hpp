#pragma once

#include "way.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace floodout {

// Part of the block to hand to the output in one call.
struct Piece {
    const char* data;
    std::size_t size;
};

// How the repetitions are laid out in memory.
struct Layout {
    std::size_t period; // the layout repeats every `period` bytes
    std::size_t start_bound; // pieces start below this index
    std::size_t size; // bytes in the block
    bool huge_pages; // aligned to and rounded up to whole huge pages
};

// What an output asks of the pieces it is offered.
struct Shape {
    std::size_t reach = unbounded; // the longest piece
    std::size_t span = unbounded; // how far past the start bound a piece may begin
    // 0: pieces end at the block's mark; else at stream positions that are
    // multiples of it (a datagram output's text, a TCP socket's pages).
    std::size_t grain = 0;
    // With less than this left before the block's end, the next piece starts
    // back near its start; 0: less than a whole reach.
    std::size_t shortest = 0;
};

// The layouts to try, best first. The first has a period of lcm(text, 64),
// so that the byte at stream position P can always come from an index
// congruent to P mod 64 (the block itself is page aligned), and room to
// start a piece at any page offset for small periods; the next ones give up
// huge pages, then the 64-byte period, then length, down to the pages that
// one text takes. Returns how many were written to `out` (at most `max`).
std::size_t layouts(std::size_t text_size, std::size_t page, Layout* out, std::size_t max) noexcept;

// Whole repetitions of the text, laid out once at start and never changed
// after, so that pages handed to a pipe by vmsplice stay correct even after
// the process has ended. Byte i of the block is byte i mod text_size() of
// the text. Outputs and writers hold a reference to it: it must outlive them.
class Block {
public:
    Block() = default;
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;
    Block(Block&& other) noexcept;
    Block& operator=(Block&& other) = delete;
    ~Block();

    // The first of layouts() within `max_bytes` whose memory can be had; the
    // last, one text's pages, is tried whatever `max_bytes` says, since less
    // cannot work at all. Empty on an empty text or when not even that fits.
    static Block make(std::string_view text, std::size_t page, std::size_t max_bytes = unbounded) noexcept;
    // The least that works: one text's pages, the last of layouts().
    static Block least(std::string_view text, std::size_t page) noexcept;
    // The text in exactly this layout; empty when its memory cannot be had.
    static Block lay_out(std::string_view text, std::size_t page, const Layout& layout) noexcept;

    [[nodiscard]] bool empty() const noexcept { return data_ == nullptr; }
    [[nodiscard]] const char* data() const noexcept { return data_; }
    [[nodiscard]] std::size_t text_size() const noexcept { return text_size_; }
    [[nodiscard]] const Layout& layout() const noexcept { return layout_; }
    [[nodiscard]] std::size_t page() const noexcept { return page_; }
    // Whether [data, data + size) lies inside the block.
    [[nodiscard]] bool holds(const char* data, std::size_t size) const noexcept;

    // Where pieces end within a page: a multiple of 64 in mid-page. A read
    // that starts at a page boundary of the source copies with
    // (destination - source) mod 4096 equal to the reader's buffer offset,
    // which for a buffer from malloc (16 past a page) hits the slow copy of
    // some CPUs; one that starts at the mark does not.
    [[nodiscard]] std::size_t mark() const noexcept { return mark_; }

    // The start index for the same stream position as `index` (congruent to
    // it mod the period) whose page offset is nearest to `offset`.
    [[nodiscard]] std::size_t nearest_start(std::size_t index, std::size_t offset) const noexcept;
    // The same at the mark: where a reader that emptied the pipe reads best from.
    [[nodiscard]] std::size_t start_at_mark(std::size_t index) const noexcept
    {
        return nearest_start(index, mark_);
    }

    // The piece from `index`, at stream position `position`, as `shape` asks:
    // at most its reach, ending at its grain or else at the last mark within
    // reach (as far as the block allows where no mark is). Never empty.
    // REQUIRES: index < layout().size.
    [[nodiscard]] Piece piece(std::size_t index, std::uint64_t position, const Shape& shape) const noexcept;

    // Where the next piece starts after one that ended at `index`, stream
    // position `position`: there, or back near the block's start for the same
    // stream position when too little is left ahead for a piece of the
    // shape or the span is passed.
    [[nodiscard]] std::size_t next_start(
        std::size_t index, std::uint64_t position, const Shape& shape) const noexcept;

private:
    // How long a piece of at most `most` bytes from `index` is when it ends
    // at a mark, or at a multiple of the grain in the stream.
    [[nodiscard]] std::size_t to_mark(std::size_t index, std::size_t most) const noexcept;
    [[nodiscard]] static std::size_t to_grain(
        std::uint64_t position, std::size_t most, std::size_t grain) noexcept;
    // The least room a piece must have ahead of it.
    [[nodiscard]] std::size_t room_needed(std::uint64_t position, const Shape& shape) const noexcept;

    char* data_ = nullptr;
    std::size_t mapped_ = 0;
    std::size_t text_size_ = 0;
    std::size_t page_ = 0;
    std::size_t mark_ = 0;
    Layout layout_ {};
};

} // namespace floodout
