#pragma once

#include "output.hpp"

#include <sys/socket.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

namespace floodout {

// A datagram socket (UDP, Unix SOCK_DGRAM or SOCK_SEQPACKET) as the writer's
// output. Each datagram carries one repetition of the text, so that a reader
// sees one message a datagram; a repetition longer than the socket takes
// goes as consecutive pieces, each as large as the socket takes, the last
// ending the repetition. Many datagrams go in one sendmmsg, pointing into
// the block; for UDP, where the kernel takes it, one message carries many
// datagrams of one size for the kernel to cut (UDP_SEGMENT). The writer's
// grain, the text's length, makes every piece offered end a repetition.
class DatagramOutput {
public:
    DatagramOutput(int fd, std::size_t text_size, bool udp) noexcept;

    Put put(const char* data, std::size_t size) noexcept;
    [[nodiscard]] bool wait_writable() const noexcept { return wait_until_writable(fd_); }
    [[nodiscard]] Shape shape() const noexcept
    {
        Shape shape;
        shape.grain = text_size_;
        return shape;
    }
    static void back_off() noexcept { pause_after_failure(); }

    // The largest datagram known to be taken, 0 before one was.
    [[nodiscard]] std::size_t largest_taken() const noexcept { return largest_ok_; }
    // Datagrams one UDP message carries, 1 where the kernel does not cut.
    [[nodiscard]] std::size_t segments() const noexcept { return segments_ > 1 ? segments_ : 1; }

    static constexpr std::size_t batch = 256; // messages a call
    // The kernel cuts at most this many datagrams out of one message.
    static constexpr std::size_t most_segments = 64;

private:
    // The length to try for a datagram that could be up to `rest` long.
    [[nodiscard]] std::size_t cap(std::size_t rest) const noexcept;
    // The message for `segments` datagrams of the text's length at `data`.
    void segmented(std::size_t i, const char* data, std::size_t count) noexcept;
    // What to tell the writer when the call sent nothing.
    Put after_failure(int error, std::size_t first_length, bool first_segmented) noexcept;

    int fd_;
    std::size_t text_size_;
    std::uint64_t taken_ = 0; // bytes so far: where the next one sits in its repetition
    std::size_t largest_ok_ = 0; // the largest datagram taken
    std::size_t smallest_refused_ = ~std::size_t { 0 }; // the smallest one refused as too long
    std::size_t segments_ = 0; // datagrams a segmented UDP message carries; 0 or 1: none
    mmsghdr messages_[batch] {};
    iovec pieces_[batch] {};
    // One control message a message: UDP_SEGMENT and the datagram length.
    alignas(cmsghdr) unsigned char controls_[batch][CMSG_SPACE(sizeof(std::uint16_t))] {};
};

} // namespace floodout
