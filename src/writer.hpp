#pragma once

#include "block.hpp"
#include "output.hpp"

#include <cassert>
#include <cstddef>
#include <cstdint>

namespace floodout {

// Hands the block to an output for ever, each piece starting where the last
// one stopped, so the output is always an exact prefix of the repetition.
// Every byte comes from a block index congruent to its stream position mod
// the layout's period; the block cuts each piece as the output's shape asks.
// The block and the output must outlive the writer.
template <Output O> class Writer {
public:
    // `position`: the bytes of the stream that went out before.
    Writer(const Block& block, O& out, std::uint64_t position = 0) noexcept
        : block_(block)
        , out_(out)
        , index_(block.start_at_mark(static_cast<std::size_t>(position % block.layout().period)))
        , position_(position)
    {
        assert(!block.empty());
    }

    void step()
    {
        if (realign_) {
            // The reader will start its next read at the next piece: let
            // that be at a mark, not where the last piece was cut short.
            realign_ = false;
            index_ = block_.start_at_mark(index_);
        }
        const Piece piece = block_.piece(index_, position_, out_.shape());
        const Put put = out_.put(piece.data, piece.size);
        switch (put.status) {
        case Put::Status::done:
            assert(put.bytes > 0 && put.bytes <= piece.size);
            position_ += put.bytes;
            // The output may have changed its shape while it took them.
            index_ = block_.next_start(index_ + put.bytes, position_, out_.shape());
            break;
        case Put::Status::wait:
            realign_ = out_.wait_writable();
            break;
        case Put::Status::failed:
            out_.back_off();
            break;
        case Put::Status::again:
        case Put::Status::refused: // only ever said to an output by its own parts
            assert(put.status == Put::Status::again);
            break;
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
    // Where in the text the next byte comes from.
    [[nodiscard]] std::size_t offset() const noexcept { return index_ % block_.text_size(); }

private:
    const Block& block_;
    O& out_;
    std::size_t index_;
    std::uint64_t position_;
    bool realign_ = false;
};

} // namespace floodout
