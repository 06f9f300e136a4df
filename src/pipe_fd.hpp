#pragma once

// What the kernel tells of a pipe, and the calls that give it pages. Any of
// them may be refused (a filter, an old kernel, not a pipe after all), which
// only ever costs speed: each says so in its result.

#include <sys/types.h>

#include <cstddef>

namespace floodout {

// Bytes the pipe holds unread (FIONREAD); -1 where it cannot tell.
int unread_in(int fd) noexcept;

// How much the pipe holds at most (F_GETPIPE_SZ); 0 where it cannot tell.
std::size_t capacity_of(int fd) noexcept;

// Makes the pipe hold `bytes` (F_SETPIPE_SZ), which the kernel refuses
// below what it holds; its capacity after, 0 where it cannot tell.
std::size_t resize_pipe(int fd, std::size_t bytes) noexcept;

// Makes a pipe hold up to `bytes`, never more (fewer where the system refuses
// that many) and never less than it does; its capacity after, 0 where it is
// no pipe. A bigger pipe means fewer wake-ups for writer and reader alike.
std::size_t enlarge_pipe(int fd, std::size_t bytes) noexcept;

// Whether the descriptor is O_NONBLOCK, so that a call on it must not block.
bool is_nonblocking(int fd) noexcept;

// vmsplice(2) of [data, data + size) into the pipe: its pages by reference,
// which is safe only because the block never changes. As the call returns.
ssize_t hand_pages(int fd, const char* data, std::size_t size, unsigned flags) noexcept;

// Whether a failed vmsplice, tee or splice refuses the call itself, rather
// than tell of the pipe (full, interrupted, without a reader): then another
// call must do its work.
bool refuses_the_call(int error) noexcept;

} // namespace floodout
