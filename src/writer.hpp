#pragma once

#include "block.hpp"

#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace floodout {

// Hands the block to an output for ever, each piece starting where the last
// one stopped, so the output is always an exact prefix of the repetition.
// Every byte comes from a block index congruent to its stream position mod
// the layout's period, and pieces end at the block's mark where they can.
// Output needs:
//   ssize_t put(const char*, size_t)  bytes taken, or -errno
//   void wait_writable()              after -EAGAIN
//   bool drained()                    nothing is left unread
//   size_t reach()                    the longest piece to offer
//   size_t grain()                    0, or a length whose multiples the
//                                     stream should be cut at
//   void back_off()                   after any other failure, so that an
//                                     output that takes nothing costs no CPU
template <class Output> class Writer {
public:
    Writer(const Block& block, Output& out) noexcept
        : block_(block)
        , out_(out)
        , index_(block.settle(0, block.mark()))
    {
    }

    void step()
    {
        if (recheck_) {
            recheck_ = false;
            // The reader will start its next read at the next piece: let
            // that be at a mark, not where the last piece was cut short.
            if (out_.drained()) {
                index_ = block_.settle(index_, block_.mark());
            }
        }
        const Piece piece = next_piece();
        const ssize_t n = out_.put(piece.data, piece.size);
        if (n > 0) {
            const auto taken = static_cast<std::size_t>(n);
            index_ += taken;
            position_ += taken;
            const Layout& layout = block_.layout();
            // At least one byte: a block with no room past its starts wraps
            // at its end, so that the next piece is never empty.
            const std::size_t most
                = std::max<std::size_t>(1, std::min(out_.reach(), layout.size - layout.starts));
            if (index_ >= layout.starts && layout.size - index_ < most) {
                // Too near the end to reach as far as a piece may: back to
                // the start of the block, one cache line further on
                // in the page: a reader that never empties the pipe keeps
                // the alignment of its last restart, and this way a bad one
                // does not last.
                index_ = block_.settle(index_, (index_ + drift) % block_.page());
            }
        } else if (n == -EAGAIN) {
            out_.wait_writable();
            recheck_ = true;
        } else if (n != -EINTR) {
            out_.back_off();
        }
    }

    [[noreturn]] void run()
    {
        for (;;) {
            step();
        }
    }

    // How many bytes the output has taken.
    [[nodiscard]] std::uint64_t position() const noexcept { return position_; }
    // Where in the block the next byte comes from.
    [[nodiscard]] std::size_t index() const noexcept { return index_; }
    // Where in the text the next byte comes from.
    [[nodiscard]] std::size_t offset() const noexcept { return index_ % block_.text_size(); }

private:
    static constexpr std::size_t drift = 64;

    [[nodiscard]] Piece next_piece() const noexcept
    {
        const std::size_t grain = out_.grain();
        if (grain == 0) {
            return block_.piece(index_, out_.reach());
        }
        const std::size_t room = block_.layout().size - index_;
        const std::size_t most = std::min(out_.reach(), room);
        const std::uint64_t end = (position_ + most) / grain * grain;
        const std::size_t size = end > position_ ? static_cast<std::size_t>(end - position_) : most;
        return { block_.data() + index_, size };
    }

    const Block& block_;
    Output& out_;
    std::size_t index_;
    std::uint64_t position_ = 0;
    bool recheck_ = false;
};

} // namespace floodout
