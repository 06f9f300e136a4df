#pragma once

#include <cstddef>
#include <string_view>

namespace floodout {

// Whole repetitions of the text, laid out once at start and never changed
// after, so that window() bytes read from any offset below text_size() are
// still a run of the endless repetition. Pages handed to a pipe by vmsplice
// stay correct for that reason, even after the process has ended.
class Block {
public:
    Block() = default;
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;
    Block(Block&& other) noexcept;
    Block& operator=(Block&& other) = delete;
    ~Block();

    // A block of about `capacity` bytes whose window is the largest multiple
    // of the text's length that can start anywhere in the first text (at
    // least one whole text). Empty on an empty text or when memory cannot be
    // had.
    static Block make(std::string_view text, std::size_t capacity) noexcept;

    [[nodiscard]] bool empty() const noexcept { return data_ == nullptr; }
    [[nodiscard]] const char* data() const noexcept { return data_; }
    [[nodiscard]] std::size_t text_size() const noexcept { return text_size_; }
    [[nodiscard]] std::size_t window() const noexcept { return window_; }

private:
    char* data_ = nullptr;
    std::size_t mapped_ = 0;
    std::size_t text_size_ = 0;
    std::size_t window_ = 0;
};

} // namespace floodout
