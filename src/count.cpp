#include "count.hpp"

namespace floodout {
namespace {

constexpr int not_a_digit = 99;

bool is_space(char c) noexcept
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int digit_value(char c) noexcept
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'Z') {
        return c - 'A' + 10;
    }
    return not_a_digit;
}

} // namespace

std::int32_t parse_count(const char* arg) noexcept
{
    if (arg == nullptr) {
        return 0;
    }
    const char* s = arg;
    while (is_space(*s)) {
        ++s;
    }
    bool negative = false;
    if (*s == '+' || *s == '-') {
        negative = *s == '-';
        ++s;
    }
    int radix = 10;
    if (s[0] == '0') {
        // "0x" without a hex digit after it is just the number 0.
        if ((s[1] == 'x' || s[1] == 'X') && digit_value(s[2]) < 16) {
            radix = 16;
            s += 2;
        } else {
            radix = 8;
        }
    }
    // Saturate at 2^31, which is enough to pick either limit.
    constexpr std::int64_t limit = std::int64_t { 1 } << 31;
    std::int64_t magnitude = 0;
    for (int d = digit_value(*s); d < radix; d = digit_value(*++s)) {
        magnitude = magnitude * radix + d;
        if (magnitude > limit) {
            magnitude = limit;
        }
    }
    if (negative) {
        return static_cast<std::int32_t>(-magnitude);
    }
    return magnitude >= limit ? INT32_MAX : static_cast<std::int32_t>(magnitude);
}

} // namespace floodout
