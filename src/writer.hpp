#pragma once

#include "block.hpp"

#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <concepts>
#include <cstddef>
#include <cstdint>

namespace floodout {

// Where the writer's bytes go: one per kind of standard output.
template <class O>
concept Output = requires(O& out, const char* data, std::size_t size)
{
    // Bytes taken, or -errno; -EINTR asks for another try at once.
    {
        out.put(data, size)
        } -> std::same_as<ssize_t>;
    // After -EAGAIN, until there is room.
    out.wait_writable();
    // Nothing is left unread, as far as the output can tell.
    {
        out.drained()
        } -> std::same_as<bool>;
    // The longest piece to offer.
    {
        out.reach()
        } -> std::convertible_to<std::size_t>;
    // How far past the block's starts a piece may begin: a narrow span
    // keeps the pages a reader copies from in its cache.
    {
        out.span()
        } -> std::convertible_to<std::size_t>;
    // 0, or a length whose multiples in the stream pieces should end at.
    {
        out.grain()
        } -> std::convertible_to<std::size_t>;
    // After any other failure, so that an output that takes nothing costs no CPU.
    out.back_off();
};

// Hands the block to an output for ever, each piece starting where the last
// one stopped, so the output is always an exact prefix of the repetition.
// Every byte comes from a block index congruent to its stream position mod
// the layout's period, and pieces end at the output's grain, or else at the
// block's mark, where they can.
template <Output O> class Writer {
public:
    Writer(const Block& block, O& out) noexcept
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
            // at its end, so that the next piece is never empty. With a
            // grain, far enough for the next piece to end at a multiple of
            // it: a datagram output sends one repetition a datagram.
            std::size_t most = std::max<std::size_t>(1, std::min(out_.reach(), layout.size - layout.starts));
            if (const std::size_t grain = out_.grain(); grain != 0) {
                most = std::max(most, grain - static_cast<std::size_t>(position_ % grain));
            }
            if (index_ >= layout.starts
                && (layout.size - index_ < most || index_ - layout.starts >= out_.span())) {
                // Too near the end to reach as far as a piece may, or past
                // the span the output keeps to: back to the start of the
                // block, one cache line further on in the page: a reader
                // that never empties the pipe keeps the alignment of its
                // last restart, and this way a bad one does not last.
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
    O& out_;
    std::size_t index_;
    std::uint64_t position_ = 0;
    bool recheck_ = false;
};

} // namespace floodout
