#pragma once

// What every output shares: the result of a put, the contract the writer
// holds each output to, what stdout is, and how to wait.

#include "block.hpp"

#include <sys/types.h>

#include <cerrno>
#include <concepts>
#include <cstddef>
#include <cstdint>

namespace floodout {

// What one put did.
struct Put {
    enum class Status : std::uint8_t {
        done, // `bytes` (at least one) moved
        again, // nothing moved: call again at once
        wait, // nothing moved, the output is full: wait until it has room
        refused, // nothing moved: this way of writing cannot be used here, another must take over
        failed, // nothing moved (`error` says why): back off before trying again
    };
    Status status;
    std::size_t bytes = 0;
    int error = 0;

    static constexpr Put moved(std::size_t bytes) noexcept { return { Status::done, bytes, 0 }; }
    static constexpr Put again() noexcept { return { Status::again, 0, 0 }; }
    static constexpr Put refused() noexcept { return { Status::refused, 0, 0 }; }
    // After a call that failed with `error`: EAGAIN waits, EINTR goes again,
    // anything else fails.
    static constexpr Put after(int error) noexcept;
    // After a write-like call that returned `n` (and set errno when negative).
    static Put of(ssize_t n) noexcept;
};

constexpr Put Put::after(int error) noexcept
{
    if (error == EAGAIN || error == EWOULDBLOCK) {
        return { Status::wait, 0, 0 };
    }
    return error == EINTR ? again() : Put { Status::failed, 0, error };
}

// Where the writer's bytes go: one per kind of standard output.
template <class O>
concept Output = requires(O& out, const char* data, std::size_t size)
{
    // Part of [data, data + size), a piece of the block, moved; never
    // `refused`, which only an output's own parts say to it.
    {
        out.put(data, size)
        } -> std::same_as<Put>;
    // After `wait`, until there is room. True when the reader had taken
    // everything, so that the next piece starts its next read.
    {
        out.wait_writable()
        } -> std::same_as<bool>;
    // What the pieces offered should be like.
    {
        out.shape()
        } -> std::convertible_to<Shape>;
    // After `failed`, so that an output that takes nothing costs no CPU.
    out.back_off();
};

// What stdout is, as far as the way of writing to it goes: a pipe, a TCP
// socket, a Unix stream socket, a datagram socket (UDP, or a Unix
// SOCK_DGRAM or SOCK_SEQPACKET), or anything else a plain write(2) serves.
enum class OutputKind : std::uint8_t { pipe, tcp, unix_stream, udp, datagram, other };

OutputKind classify_output(int fd) noexcept;

// Long enough to cost no CPU, short enough to resume soon when the output
// takes bytes again.
void pause_after_failure() noexcept;

// Until `fd` has room; whatever poll says, the next write tells the truth.
// False: all but a pipe cannot tell whether the reader took everything.
bool wait_until_writable(int fd) noexcept;

// The monotonic clock, which every process shares, in nanoseconds; -1
// without one.
std::int64_t now_ns() noexcept;

} // namespace floodout
