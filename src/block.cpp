#include "block.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <cstring>
#include <utility>

namespace floodout {
namespace {

constexpr std::size_t huge_page_size = std::size_t { 2 } << 20;

std::size_t round_up(std::size_t n, std::size_t to) noexcept
{
    return (n + to - 1) / to * to;
}

// Whole huge pages, aligned to one, so that the kernel can back them with
// transparent huge pages: fewer page-table walks for every vmsplice and
// copy out of the block.
char* map_huge_aligned(std::size_t size) noexcept
{
    void* p
        = mmap(nullptr, size + huge_page_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        return nullptr;
    }
    const auto start = reinterpret_cast<std::uintptr_t>(p); // NOLINT(performance-no-int-to-ptr)
    const std::uintptr_t aligned = round_up(start, huge_page_size);
    if (aligned > start) {
        munmap(p, aligned - start);
    }
    // The slack left after the block; never empty, since aligned < start + huge_page_size.
    munmap(reinterpret_cast<void*>(aligned + size), start + huge_page_size - aligned); // NOLINT
    auto* block = reinterpret_cast<char*>(aligned); // NOLINT(performance-no-int-to-ptr)
    madvise(block, size, MADV_HUGEPAGE); // a refusal only costs speed
    return block;
}

} // namespace

Block::Block(Block&& other) noexcept
    : data_(std::exchange(other.data_, nullptr))
    , mapped_(std::exchange(other.mapped_, 0))
    , text_size_(std::exchange(other.text_size_, 0))
    , window_(std::exchange(other.window_, 0))
{
}

Block::~Block()
{
    if (data_ != nullptr) {
        munmap(data_, mapped_);
    }
}

Block Block::make(std::string_view text, std::size_t capacity) noexcept
{
    Block block;
    const std::size_t n = text.size();
    if (n == 0) {
        return block;
    }
    // A window may start as far in as the text's last byte.
    const std::size_t repetitions = capacity >= 2 * n - 1 ? (capacity - (n - 1)) / n : 1;
    const std::size_t run = repetitions * n;
    const std::size_t used = run + n - 1;
    const std::size_t mapped = round_up(used, huge_page_size);
    char* bytes = map_huge_aligned(mapped);
    if (bytes == nullptr) {
        return block;
    }
    // Doubling keeps every copy starting on a whole repetition.
    std::memcpy(bytes, text.data(), n);
    for (std::size_t filled = n; filled < used;) {
        const std::size_t more = filled < used - filled ? filled : used - filled;
        std::memcpy(bytes + filled, bytes, more);
        filled += more;
    }
    block.data_ = bytes;
    block.mapped_ = mapped;
    block.text_size_ = n;
    block.window_ = run;
    return block;
}

} // namespace floodout
