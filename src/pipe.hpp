#pragma once

#include "block.hpp"
#include "chooser.hpp"
#include "load.hpp"
#include "output.hpp"
#include "pacer.hpp"
#include "teed.hpp"
#include "vmspliced.hpp"

#include <cstddef>
#include <cstdint>

namespace floodout {

// A pipe as the writer's output, written the way that its reader takes the
// most bytes a second from, here and now, as the chooser measures it: the
// block's pages by vmsplice with each way's settings, or a pipe of its own by
// tee. No fixed choice is best on every CPU, for every reader and every load.
class PipeOutput {
public:
    // `pipe_bytes`: the most a pipe of its own may hold. `load`: where to see
    // whether other work needs the CPUs; none, as with one CPU, means never
    // wait awake. `schedule`: when the chooser measures. `block` and `load`
    // must outlive this output.
    PipeOutput(int fd, const Block& block, std::size_t pipe_bytes, Load* load,
        const Schedule& schedule = {}) noexcept;

    Put put(const char* data, std::size_t size) noexcept;
    [[nodiscard]] bool wait_writable() noexcept;
    [[nodiscard]] Shape shape() const noexcept
    {
        return settings_.teed ? TeedOutput::shape() : pages_.shape();
    }
    static void back_off() noexcept { pause_after_failure(); }

    // The way written now, which may be a probe's; and the one chosen.
    [[nodiscard]] Way way() const noexcept { return way_; }
    [[nodiscard]] Way chosen() const noexcept { return chooser_.chosen(); }

private:
    // What the reader has taken in all: what went in, less what it still holds.
    [[nodiscard]] std::uint64_t taken() const noexcept;
    // Tells the chooser which moves it may make now.
    void allow(std::int64_t now) noexcept;
    static Way first_way(Load* load, std::int64_t now) noexcept;
    void change_to(Way way) noexcept;

    int fd_;
    std::size_t page_;
    PipeSettings settings_;
    // Waiting awake is bounded by the clock: without one, never.
    Load* load_;
    VmsplicedOutput pages_;
    TeedOutput teed_;
    Pacer pacer_; // how a paced way waits
    Chooser chooser_;
    Way way_;
    std::uint64_t position_ = 0;
};

} // namespace floodout
