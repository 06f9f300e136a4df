#include "block.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <cstring>
#include <numeric>
#include <utility>

namespace floodout {
namespace {

// A hint: where transparent huge pages are another size, the block is only
// aligned less well than it could be.
constexpr std::size_t huge_page_size = std::size_t { 2 } << 20;
// How far a piece may reach at least: with the starts, one huge page for any
// text below 64 KiB. Larger writes measured no faster anywhere.
constexpr std::size_t full_reach = huge_page_size - (std::size_t { 128 } << 10);
// Room past the period to start a piece at another page offset, in pages.
constexpr std::size_t max_slack_pages = 16;
constexpr std::size_t cache_line = 64;

std::size_t round_up(std::size_t n, std::size_t to) noexcept
{
    return (n + to - 1) / to * to;
}

// lcm(a, b), or SIZE_MAX where that does not fit: with 64 KiB pages and a
// long text it can exceed 32 bits.
std::size_t lcm_or_most(std::size_t a, std::size_t b) noexcept
{
    const std::size_t most = ~std::size_t { 0 };
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
    // Enough starts to reach every page offset the period allows, when that is cheap.
    const std::size_t every_offset = lcm_or_most(period, page) - period;
    const std::size_t max_slack = max_slack_pages * page;
    const std::size_t starts = period + (every_offset < max_slack ? every_offset : max_slack);
    if (starts < ~std::size_t { 0 } / 4) { // else the period alone would not fit anywhere
        add({ period, starts, round_up(starts + full_reach, huge_page_size), true });
        add({ period, starts, round_up(starts + full_reach, page), false });
    }
    for (std::size_t reach = full_reach; reach >= page; reach /= 2) {
        add({ n, n, round_up(n + reach, page), false });
    }
    // Whole pages cost no more than the text alone, and make longer pieces.
    add({ n, n, round_up(n, page), false });
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

std::size_t Block::settle(std::size_t index, std::size_t offset) const noexcept
{
    const std::size_t period = layout_.period;
    std::size_t best = index % period;
    std::size_t best_distance = circular_distance(best % page_, offset, page_);
    for (std::size_t i = best + period; i < layout_.starts && best_distance > 0; i += period) {
        const std::size_t d = circular_distance(i % page_, offset, page_);
        if (d < best_distance) {
            best = i;
            best_distance = d;
        }
    }
    return best;
}

Piece Block::piece(std::size_t index, std::size_t reach) const noexcept
{
    const std::size_t room = layout_.size - index;
    const std::size_t limit = index + (reach < room ? reach : room);
    // The last mark at or below the limit.
    std::size_t end = limit / page_ * page_ + mark_;
    if (end > limit) {
        end = end >= page_ ? end - page_ : 0;
    }
    if (end <= index) {
        end = limit;
    }
    return { data_ + index, end - index };
}

} // namespace floodout
