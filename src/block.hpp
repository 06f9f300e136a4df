#pragma once

#include <cstddef>
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
    std::size_t starts; // pieces start below this index
    std::size_t size; // bytes in the block
    bool huge_pages; // aligned to and rounded up to whole huge pages
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
// the text.
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
    static Block make(
        std::string_view text, std::size_t page, std::size_t max_bytes = ~std::size_t { 0 }) noexcept;
    // The text in exactly this layout; empty when its memory cannot be had.
    static Block lay_out(std::string_view text, std::size_t page, const Layout& layout) noexcept;

    [[nodiscard]] bool empty() const noexcept { return data_ == nullptr; }
    [[nodiscard]] const char* data() const noexcept { return data_; }
    [[nodiscard]] std::size_t text_size() const noexcept { return text_size_; }
    [[nodiscard]] const Layout& layout() const noexcept { return layout_; }
    [[nodiscard]] std::size_t page() const noexcept { return page_; }

    // Where pieces end within a page: a multiple of 64 in mid-page. A read
    // that starts at a page boundary of the source copies with
    // (destination - source) mod 4096 equal to the reader's buffer offset,
    // which for a buffer from malloc (16 past a page) hits the slow copy of
    // some CPUs; one that starts at the mark does not.
    [[nodiscard]] std::size_t mark() const noexcept { return mark_; }

    // The start index for the same stream position as `index` (congruent to
    // it mod the period) whose page offset is nearest to `offset`.
    [[nodiscard]] std::size_t settle(std::size_t index, std::size_t offset) const noexcept;

    // From `index` to the last mark within `reach` bytes, or as far as
    // `reach` and the block allow when no mark is there.
    [[nodiscard]] Piece piece(std::size_t index, std::size_t reach) const noexcept;

private:
    char* data_ = nullptr;
    std::size_t mapped_ = 0;
    std::size_t text_size_ = 0;
    std::size_t page_ = 0;
    std::size_t mark_ = 0;
    Layout layout_ {};
};

} // namespace floodout
