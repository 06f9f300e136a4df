#include "block.hpp"

#include <sys/mman.h>

#include <cstring>
#include <utility>

namespace floodout {
namespace {

constexpr std::size_t page_size = 4096;

std::size_t round_up(std::size_t n, std::size_t to) noexcept
{
    return (n + to - 1) / to * to;
}

} // namespace

Block::Block(Block&& other) noexcept
    : data_(std::exchange(other.data_, nullptr))
    , mapped_(std::exchange(other.mapped_, 0))
    , text_size_(std::exchange(other.text_size_, 0))
    , window_(std::exchange(other.window_, 0))
{
}

Block& Block::operator=(Block&& other) noexcept
{
    if (this != &other) {
        Block old(std::move(*this));
        data_ = std::exchange(other.data_, nullptr);
        mapped_ = std::exchange(other.mapped_, 0);
        text_size_ = std::exchange(other.text_size_, 0);
        window_ = std::exchange(other.window_, 0);
    }
    return *this;
}

Block::~Block()
{
    if (data_ != nullptr) {
        munmap(data_, mapped_);
    }
}

Block Block::make(std::string_view text, std::size_t target_window) noexcept
{
    Block block;
    const std::size_t n = text.size();
    if (n == 0) {
        return block;
    }
    const std::size_t repetitions = target_window > n ? target_window / n : 1;
    const std::size_t run = repetitions * n;
    // A window may start as far in as the text's last byte.
    const std::size_t used = run + n - 1;
    const std::size_t mapped = round_up(used, page_size);
    void* p = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        return block;
    }
    auto* bytes = static_cast<char*>(p);
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
