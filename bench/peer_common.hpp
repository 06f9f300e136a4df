// What the two peer-technique writers share: the line that yes writes, a
// buffer of whole lines, and the plain write(2) loop that they fall back to.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace peer {

// "TEXT\n", as yes writes it; "y\n" without an argument.
inline std::string line_of(int argc, char** argv)
{
    return std::string(argc > 1 ? argv[1] : "y") + "\n";
}

// As many whole lines as fit in `size` bytes (at least one), page aligned.
inline char* whole_lines(const std::string& line, std::size_t size, std::size_t& filled)
{
    const long page = sysconf(_SC_PAGESIZE);
    const std::size_t count = size / line.size() > 0 ? size / line.size() : 1;
    filled = count * line.size();
    const auto alignment = static_cast<std::size_t>(page);
    auto* buffer
        = static_cast<char*>(std::aligned_alloc(alignment, (filled + alignment - 1) / alignment * alignment));
    for (std::size_t i = 0; i < count; ++i) {
        std::memcpy(buffer + i * line.size(), line.data(), line.size());
    }
    return buffer;
}

// Writes the buffer, from `offset`, for ever.
[[noreturn]] inline void write_for_ever(const char* buffer, std::size_t size, std::size_t offset)
{
    for (;;) {
        const ssize_t n = write(STDOUT_FILENO, buffer + offset, size - offset);
        if (n < 0) {
            std::_Exit(1);
        }
        offset = (offset + static_cast<std::size_t>(n)) % size;
    }
}

} // namespace peer
