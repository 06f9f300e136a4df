#include "block.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <utility>

namespace floodout {
namespace {

// A hint: where transparent huge pages are another size, the block is only
// aligned less well than it could be.
constexpr std::size_t huge_page_size = std::size_t { 2 } << 20;
// How far a piece may reach at least: with the start bound, one huge page for any
// text below 64 KiB. Larger writes measured no faster anywhere.
constexpr std::size_t full_reach = huge_page_size - (std::size_t { 128 } << 10);
// Room past the period to start a piece at another page offset, in pages.
constexpr std::size_t max_slack_pages = 16;
constexpr std::size_t cache_line = 64;
// How far a restart moves along the page: a reader that never empties the
// pipe keeps the alignment of its last restart, and this way a bad one does
// not last.
constexpr std::size_t drift = cache_line;
static_assert(huge_page_size % cache_line == 0 && full_reach % cache_line == 0);

std::size_t round_up(std::size_t n, std::size_t to) noexcept
{
    return (n + to - 1) / to * to;
}

// lcm(a, b), or SIZE_MAX where that does not fit: with 64 KiB pages and a
// long text it can exceed 32 bits.
std::size_t lcm_or_most(std::size_t a, std::size_t b) noexcept
{
    const std::size_t most = unbounded;
    const std::size_t share = a / std::gcd(a, b);
    return share > most / b ? most : share * b;
}

// Distance between two page offsets, the shorter way round the page.
std::size_t circular_distance(std::size_t a, std::size_t b, std::size_t page) noexcept
{
    const std::size_t d = a > b ? a - b : b - a;
    return d < page - d ? d : page - d;
}

// `size` bytes at a multiple of `alignment` (a power of two), or null.
char* map_aligned(std::size_t size, std::size_t alignment) noexcept
{
    constexpr int protection = PROT_READ | PROT_WRITE;
    constexpr int flags = MAP_PRIVATE | MAP_ANONYMOUS;
    void* p = mmap(nullptr, size, protection, flags, -1, 0);
    if (p == MAP_FAILED) {
        return nullptr;
    }
    auto start = reinterpret_cast<std::uintptr_t>(p); // NOLINT(performance-no-int-to-ptr)
    if (start % alignment == 0) {
        return static_cast<char*>(p);
    }
    munmap(p, size);
    p = mmap(nullptr, size + alignment, protection, flags, -1, 0);
    if (p == MAP_FAILED) {
        return nullptr;
    }
    start = reinterpret_cast<std::uintptr_t>(p); // NOLINT(performance-no-int-to-ptr)
    const std::uintptr_t aligned = round_up(start, alignment);
    if (aligned > start) {
        munmap(p, aligned - start);
    }
    // What is left after the block; never empty, since aligned < start + alignment.
    munmap(reinterpret_cast<void*>(aligned + size), start + alignment - aligned); // NOLINT
    return reinterpret_cast<char*>(aligned); // NOLINT(performance-no-int-to-ptr)
}

// Aligned to the page the layout counts with (a test may count with pages
// larger than the machine's), or to a huge page so that the kernel can back
// the block with transparent huge pages: vmsplice takes references on them
// about twice as fast as on small pages.
char* map(const Layout& layout, std::size_t page) noexcept
{
    char* block = map_aligned(layout.size, layout.huge_pages ? huge_page_size : page);
    if (block != nullptr && layout.huge_pages) {
        madvise(block, layout.size, MADV_HUGEPAGE); // a refusal only costs speed
    }
    return block;
}

Layout least_layout(std::size_t text_size, std::size_t page) noexcept
{
    return { text_size, text_size, round_up(text_size, page), false };
}

} // namespace

std::size_t layouts(std::size_t text_size, std::size_t page, Layout* out, std::size_t max) noexcept
{
    const std::size_t n = text_size;
    std::size_t count = 0;
    const auto add = [&](const Layout& layout) {
        if (count < max) {
            out[count++] = layout;
        }
    };
    if (n == 0 || page == 0) {
        return 0;
    }
    const std::size_t period = lcm_or_most(n, cache_line);
    // Room to start at every page offset the period allows, when that is cheap.
    const std::size_t every_offset = lcm_or_most(period, page) - period;
    const std::size_t max_slack = max_slack_pages * page;
    const std::size_t bound = period + (every_offset < max_slack ? every_offset : max_slack);
    if (bound < unbounded / 4) { // else the period alone would not fit anywhere
        add({ period, bound, round_up(bound + full_reach, huge_page_size), true });
        add({ period, bound, round_up(bound + full_reach, page), false });
    }
    for (std::size_t reach = full_reach; reach >= page; reach /= 2) {
        add({ n, n, round_up(n + reach, page), false });
    }
    // Whole pages cost no more than the text alone, and make longer pieces.
    add(least_layout(n, page));
    return count;
}

Block::Block(Block&& other) noexcept
    : data_(std::exchange(other.data_, nullptr))
    , mapped_(std::exchange(other.mapped_, 0))
    , text_size_(std::exchange(other.text_size_, 0))
    , page_(std::exchange(other.page_, 0))
    , mark_(std::exchange(other.mark_, 0))
    , layout_(std::exchange(other.layout_, {}))
{
}

Block::~Block()
{
    if (data_ != nullptr) {
        munmap(data_, mapped_);
    }
}

Block Block::make(std::string_view text, std::size_t page, std::size_t max_bytes) noexcept
{
    constexpr std::size_t most = 24;
    Layout candidates[most];
    const std::size_t count = layouts(text.size(), page, candidates, most);
    for (std::size_t i = 0; i < count; ++i) {
        if (candidates[i].size <= max_bytes || i + 1 == count) {
            Block block = lay_out(text, page, candidates[i]);
            if (!block.empty()) {
                return block;
            }
        }
    }
    return {};
}

Block Block::least(std::string_view text, std::size_t page) noexcept
{
    return text.empty() || page == 0 ? Block {} : lay_out(text, page, least_layout(text.size(), page));
}

Block Block::lay_out(std::string_view text, std::size_t page, const Layout& layout) noexcept
{
    Block block;
    const std::size_t n = text.size();
    if (n == 0 || layout.size < n) {
        return block;
    }
    block.data_ = map(layout, page);
    if (block.data_ == nullptr) {
        return block;
    }
    const std::size_t size = layout.size;
    // Doubling keeps every copy starting on a whole repetition.
    std::memcpy(block.data_, text.data(), n);
    for (std::size_t filled = n; filled < size;) {
        const std::size_t more = filled < size - filled ? filled : size - filled;
        std::memcpy(block.data_ + filled, block.data_, more);
        filled += more;
    }
    block.layout_ = layout;
    block.mapped_ = size;
    block.text_size_ = n;
    block.page_ = page;
    block.mark_ = page / 2 / cache_line * cache_line;
    return block;
}

bool Block::holds(const char* data, std::size_t size) const noexcept
{
    return data_ != nullptr && data >= data_ && size <= layout_.size
        && static_cast<std::size_t>(data - data_) <= layout_.size - size;
}

std::size_t Block::nearest_start(std::size_t index, std::size_t offset) const noexcept
{
    assert(!empty() && offset < page_);
    const std::size_t period = layout_.period;
    std::size_t best = index % period;
    std::size_t best_distance = circular_distance(best % page_, offset, page_);
    for (std::size_t i = best + period; i < layout_.start_bound && best_distance > 0; i += period) {
        const std::size_t d = circular_distance(i % page_, offset, page_);
        if (d < best_distance) {
            best = i;
            best_distance = d;
        }
    }
    return best;
}

Piece Block::piece(std::size_t index, std::uint64_t position, const Shape& shape) const noexcept
{
    assert(!empty() && index < layout_.size);
    assert(index % layout_.period == position % layout_.period);
    const std::size_t most = std::min(shape.reach, layout_.size - index);
    const std::size_t size = shape.grain != 0 ? to_grain(position, most, shape.grain) : to_mark(index, most);
    assert(size > 0);
    return { data_ + index, size };
}

std::size_t Block::to_mark(std::size_t index, std::size_t most) const noexcept
{
    // The last mark within reach, if any.
    const std::size_t limit = index + most;
    std::size_t end = limit / page_ * page_ + mark_;
    if (end > limit) {
        end = end >= page_ ? end - page_ : 0;
    }
    return end > index ? end - index : most;
}

std::size_t Block::to_grain(std::uint64_t position, std::size_t most, std::size_t grain) noexcept
{
    // The last multiple of the grain in the stream within reach, if any.
    const std::uint64_t end = (position + most) / grain * grain;
    return end > position ? static_cast<std::size_t>(end - position) : most;
}

std::size_t Block::room_needed(std::uint64_t position, const Shape& shape) const noexcept
{
    // At least one byte: a block with no room past its start bound wraps at
    // its end, so that the next piece is never empty. With a grain, enough
    // to end at its next multiple: a datagram output sends one repetition a
    // datagram.
    const std::size_t reach = shape.shortest != 0 ? shape.shortest : shape.reach;
    std::size_t needed = std::max<std::size_t>(1, std::min(reach, layout_.size - layout_.start_bound));
    if (shape.grain != 0) {
        needed = std::max(needed, shape.grain - static_cast<std::size_t>(position % shape.grain));
    }
    return needed;
}

std::size_t Block::next_start(std::size_t index, std::uint64_t position, const Shape& shape) const noexcept
{
    assert(index <= layout_.size);
    if (index < layout_.start_bound) {
        return index;
    }
    const bool past_span = index - layout_.start_bound >= shape.span;
    const bool near_end = layout_.size - index < room_needed(position, shape);
    if (!past_span && !near_end) {
        return index;
    }
    // Back to the block's start, one cache line further on in the page.
    return nearest_start(index, (index + drift) % page_);
}

} // namespace floodout
