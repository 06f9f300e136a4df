#pragma once

#include <cstdint>

namespace floodout {

// Waits for a full pipe the way a reader of small pieces is served best: not
// woken at each page it frees, which takes the pipe's lock from it at every
// read, but asleep while it empties part of the pipe, then refilled in one
// call. How long is found as it goes: the nap grows while the reader left
// more than half the pipe, and shrinks while it left less than a quarter.
class Pacer {
public:
    Pacer() noexcept;
    // Naps, then sleeps until the pipe has room. Whether the reader had
    // emptied it, as wait_until_writable() tells.
    bool wait(int fd) noexcept;
    [[nodiscard]] std::int64_t nap_ns() const noexcept { return nap_ns_; }

    static constexpr std::int64_t least_nap_ns = 2'000;
    static constexpr std::int64_t most_nap_ns = 2'000'000;
    static_assert(most_nap_ns < 1'000'000'000, "a nap is under a second: it fits tv_nsec");

private:
    std::int64_t nap_ns_ = 20'000;
};

} // namespace floodout
