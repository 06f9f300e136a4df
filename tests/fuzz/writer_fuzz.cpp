// The input picks a text, a layout and a script of what the output does on
// each put; the real writer is driven against it: every piece it offers has
// a byte, and what the output received is an exact prefix of the endless
// repetition.
#include "block.hpp"
#include "output.hpp"
#include "writer.hpp"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>

namespace {

// Script bytes below this are failures; the rest are byte counts.
constexpr std::uint8_t failures = 8;
constexpr int errors[failures] = { EINTR, EAGAIN, EWOULDBLOCK, EPIPE, ENOSPC, EBADF, EIO, 0 };

class ScriptedOutput {
public:
    ScriptedOutput(const std::uint8_t* script, std::size_t size)
        : script_(script)
        , size_(size)
    {
    }

    [[nodiscard]] bool done() const { return at_ >= size_; }

    floodout::Put put(const char* data, std::size_t size)
    {
        if (size == 0) {
            __builtin_trap(); // an output that takes bytes must always be offered some
        }
        const std::uint8_t b = script_[at_++];
        if (b < failures) {
            return errors[b] == 0 ? floodout::Put::of(0) : floodout::Put::after(errors[b]);
        }
        // 255 takes the whole window; others a count that can cut anywhere.
        std::size_t n = b == 255 ? size : static_cast<std::size_t>(b - failures) * 37 + 1;
        n = n < size ? n : size;
        received.append(data, n);
        return floodout::Put::moved(n);
    }
    bool wait_writable() { return at_ % 3 == 0; }
    [[nodiscard]] floodout::Shape shape() const { return shape_; }
    void back_off() { }
    floodout::Shape shape_;

    std::string received;

private:
    const std::uint8_t* script_;
    std::size_t size_;
    std::size_t at_ = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // data[0]: text size, reach and grain; data[1]: page and layout; then
    // the text, then the script.
    if (size < 3) {
        return 0;
    }
    const std::size_t text_size = 1 + data[0] % 64;
    if (size < 2 + text_size) {
        return 0;
    }
    const std::string text(reinterpret_cast<const char*>(data + 2), text_size);
    // Small pages so that pieces wrap often; any of the layouts, down to one
    // text's pages.
    const std::size_t page = std::size_t { 64 } << (data[1] % 4);
    floodout::Layout layouts[24];
    const std::size_t count = floodout::layouts(text_size, page, layouts, 24);
    const floodout::Block block = floodout::Block::lay_out(text, page, layouts[data[1] / 4 % count]);
    if (block.empty()) {
        __builtin_trap();
    }
    ScriptedOutput out(data + 2 + text_size, size - 2 - text_size);
    out.shape_.reach = 1 + data[0] * 7U;
    out.shape_.grain = data[0] % 3 == 0 ? 0 : std::size_t { 1 } << (data[0] % 8);
    // A narrow span now and then, as while the CPUs are crowded.
    out.shape_.span = data[1] % 5 == 0 ? std::size_t { data[1] } : floodout::unbounded;
    floodout::Writer writer(block, out);
    while (!out.done()) {
        writer.step();
    }
    for (std::size_t i = 0; i < out.received.size(); ++i) {
        if (out.received[i] != text[i % text_size]) {
            __builtin_trap();
        }
    }
    if (writer.offset() != out.received.size() % text_size || writer.position() != out.received.size()) {
        __builtin_trap();
    }
    return 0;
}
