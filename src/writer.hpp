#pragma once

#include "block.hpp"

#include <sys/types.h>

#include <cerrno>
#include <cstddef>

namespace floodout {

// Hands the block to an output for ever, each piece starting where the last
// one stopped, so the output is always an exact prefix of the repetition.
// Output needs:
//   ssize_t put(const char*, size_t)  bytes taken, or -errno
//   void wait_writable()              after -EAGAIN
//   void back_off()                   after any other failure, so that an
//                                     output that takes nothing costs no CPU
template <class Output> class Writer {
public:
    Writer(const Block& block, Output& out) noexcept
        : block_(block)
        , out_(out)
    {
    }

    void step()
    {
        const ssize_t n = out_.put(block_.data() + offset_, block_.window());
        if (n > 0) {
            offset_ = (offset_ + static_cast<std::size_t>(n)) % block_.text_size();
        } else if (n == -EAGAIN) {
            out_.wait_writable();
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

    // Where in the text the next byte comes from.
    [[nodiscard]] std::size_t offset() const noexcept { return offset_; }

private:
    const Block& block_;
    Output& out_;
    std::size_t offset_ = 0;
};

} // namespace floodout
