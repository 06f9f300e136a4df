#pragma once

#include "block.hpp"
#include "output.hpp"

#include <cstddef>

namespace floodout {

// A pipe fed the way uutils yes does it: a private pipe filled once with
// whole repetitions, duplicated by tee(2) into an empty go-between pipe, and
// spliced from there into stdout. No page is pinned for each piece, as
// vmsplice must, and the reader copies from the block's own pages, which the
// private pipe holds.
// Exact because a tee always starts at a repetition's start (bytes up to one
// go by vmsplice first) and the go-between is emptied before anything else
// is written; where the layout's period fits the pipes, at a period's start,
// so that each byte keeps its stream position's cache-line offset. The pipes
// are made at the first put.
class TeedOutput {
public:
    // `pipe_bytes`: the most the private pipes may hold. `block` must outlive
    // this output.
    TeedOutput(int fd, const Block& block, std::size_t pipe_bytes) noexcept;
    TeedOutput(const TeedOutput&) = delete;
    TeedOutput& operator=(const TeedOutput&) = delete;
    ~TeedOutput();

    // Bytes of the stream from `data` on moved into stdout; `refused`, with
    // nothing moved, where tee cannot be used: the pipes cannot be made, or
    // a call is refused. REQUIRES: [data, data + size) lies in the block.
    Put put(const char* data, std::size_t size, bool nonblocking) noexcept;
    // Pieces as long as the block allows: a piece shorter than a tee would
    // split it in two splices, and a reader of whole pipes would find the
    // pipe part full and read the rest in a second call.
    [[nodiscard]] static Shape shape() noexcept { return {}; }
    // Bytes in the go-between that must reach stdout before anything else.
    [[nodiscard]] bool holding() const noexcept { return pending_ > 0; }
    [[nodiscard]] bool usable() const noexcept { return state_ != State::refused; }

private:
    enum class State : std::uint8_t { unmade, ready, refused };
    bool make() noexcept;

    int fd_;
    const Block& block_;
    std::size_t pipe_bytes_;
    State state_ = State::unmade;
    int full_[2] = { -1, -1 };
    int between_[2] = { -1, -1 };
    std::size_t unit_ = 1; // a tee starts where the stream is a multiple of it
    std::size_t filled_ = 0; // whole units in the private pipe
    std::size_t pending_ = 0; // in the go-between, not yet in stdout
    bool filled_up_ = false; // the last splice filled stdout: wait before the next
    bool splices_ = true; // false once splice is refused: the rest is written
};

} // namespace floodout
