#pragma once

#include <sys/types.h>

#include <cstddef>

namespace floodout {

// What stdout is, as far as the way of writing to it goes.
enum class OutputKind { pipe, other };

OutputKind classify_output(int fd) noexcept;

// Makes a pipe hold up to `bytes` (fewer where the system refuses that many);
// a bigger pipe means fewer wake-ups for writer and reader alike.
void enlarge_pipe(int fd, std::size_t bytes) noexcept;

// A file descriptor as the writer's output. Into a pipe the block's pages are
// handed over by vmsplice, without a copy; that is safe because the block is
// never changed after start. Elsewhere, and wherever vmsplice is refused,
// plain write(2).
class FdOutput {
public:
    FdOutput(int fd, OutputKind kind) noexcept;

    ssize_t put(const char* data, std::size_t size) noexcept;
    void wait_writable() const noexcept;
    static void back_off() noexcept;

private:
    int fd_;
    bool splice_;
    unsigned splice_flags_ = 0;
};

} // namespace floodout
