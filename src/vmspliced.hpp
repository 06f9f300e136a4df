#pragma once

#include "output.hpp"
#include "way.hpp"

#include <cstddef>
#include <cstdint>

#include <sys/types.h>

namespace floodout {

// A pipe written with the block's pages by vmsplice, without a copy, as the
// settings in use say: how to wait, how long a piece, how far from the
// block's start, how large the pipe. Safe because the block never changes
// after start. Once vmsplice is refused, write(2) from the same pieces.
class VmsplicedOutput {
public:
    VmsplicedOutput(int fd, std::size_t page) noexcept;

    // Writes the way `settings` say from the next put on (asleep, as the
    // block's full pipe, until told otherwise); refits the pipe.
    void use(const PipeSettings& settings) noexcept;
    Put put(const char* data, std::size_t size) noexcept;
    // Awake while the settings' rule says the reader will soon make room;
    // asleep in poll otherwise. Paced ways wait in their pipe's pacer.
    [[nodiscard]] bool wait_writable() noexcept;
    [[nodiscard]] Shape shape() const noexcept;
    static void back_off() noexcept { pause_after_failure(); }

    [[nodiscard]] bool nonblocking() const noexcept { return nonblocking_; }
    [[nodiscard]] bool hands_pages() const noexcept { return hands_pages_; }

private:
    [[nodiscard]] bool waits_awake() const noexcept;
    // Counts a put's bytes into the refill under way; when the pipe is full,
    // whether that refill filled most of it: the reader had emptied it.
    void note_refill(ssize_t moved, std::size_t offered) noexcept;
    // The reader freed `freed` bytes of the pipe in `interval_ns`.
    void note_pace(std::int64_t now, std::int64_t interval_ns, std::size_t freed) noexcept;
    void fit_pipe(std::int64_t now) noexcept;

    int fd_;
    bool hands_pages_ = true; // false once vmsplice is refused: write(2)
    bool nonblocking_; // the file is O_NONBLOCK: vmsplice must not block
    PipeSettings settings_ {};
    bool reader_fast_ = false; // it took bytes faster than a wake-up, at the last note
    // Bytes put since the pipe was last seen full, in pieces of any length
    // (the narrow window's are a quarter of its pipe), and whether the last
    // refill, or this one already, filled most of the pipe.
    std::size_t refill_ = 0;
    bool emptied_ = false;
    bool filled_up_ = false; // paced: the last put filled the pipe, so the next one waits first
    // Emptied waiting: after a spin the reader did not end, no spin before
    // this time; the pause doubles at each such spin, up to a bound.
    std::int64_t spin_again_ns_ = 0;
    std::int64_t backoff_ns_ = 0;
    std::size_t capacity_; // of the pipe now, in bytes
    std::size_t start_capacity_; // as found at start
    std::size_t reach_; // the longest piece an empty pipe takes whole
    std::int64_t next_fit_ns_ = 0;
    std::int64_t last_put_ns_ = 0;
};

} // namespace floodout
