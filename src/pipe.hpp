#pragma once

#include "block.hpp"
#include "chooser.hpp"
#include "load.hpp"
#include "output.hpp"
#include "teed.hpp"

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace floodout {

// A pipe as the writer's output, written the way that its reader takes the
// most bytes a second from, here and now, as the chooser measures it: the
// block's pages by vmsplice (waiting awake, asleep, or in narrow pieces) or
// a pipe of its own by tee. No fixed choice is best on every CPU, for every
// reader and every load.
class PipeOutput {
public:
    // `pipe_bytes`: the most a pipe of its own may hold. `load`: where to see
    // whether other work needs the CPUs; none, as with one CPU, means never
    // wait awake. `schedule`: when the chooser measures.
    PipeOutput(int fd, const Block& block, std::size_t pipe_bytes, Load* load,
        const Schedule& schedule = {}) noexcept;

    ssize_t put(const char* data, std::size_t size) noexcept;
    void wait_writable() noexcept;
    bool drained() noexcept;
    [[nodiscard]] std::size_t reach() const noexcept { return direct_.reach(); }
    [[nodiscard]] std::size_t span() const noexcept { return direct_.span(); }
    static std::size_t grain() noexcept { return 0; }
    static void back_off() noexcept { pause_after_failure(); }

    [[nodiscard]] Way way() const noexcept { return way_; }

private:
    // What the reader has taken in all: what went in, less what it still holds.
    [[nodiscard]] std::uint64_t taken() const noexcept;
    // Tells the chooser which ways it may take now.
    void allow(std::int64_t now) noexcept;
    void change_to(Way way) noexcept;

    int fd_;
    FdOutput direct_;
    TeedOutput teed_;
    Chooser chooser_;
    Load* load_;
    bool nonblocking_ = false;
    Way way_;
    std::uint64_t position_ = 0;
};

} // namespace floodout
