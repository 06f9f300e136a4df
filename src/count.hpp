#pragma once

#include <cstdint>

namespace floodout {

// The count of seconds as strtol(arg, nullptr, 0) reads it where long is 32
// bits wide: hex after "0x", octal after "0", decimal otherwise; it saturates
// at the 32-bit limits and gives 0 when no digit can be read. Written by hand
// so that a libc that also takes "0b" prefixes cannot change the answer.
std::int32_t parse_count(const char* arg) noexcept;

// alarm() gets the count's bits as unsigned: -1 asks for 4294967295 s.
constexpr unsigned alarm_seconds(std::int32_t count) noexcept
{
    return static_cast<std::uint32_t>(count);
}

} // namespace floodout
