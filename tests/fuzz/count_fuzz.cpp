// Any bytes as the seconds argument: never a fault, and the same answer as
// the C library's strtol with base 0, clamped to 32 bits.
#include "count.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

// Newer C libraries also read "0b101" as binary; the count does not.
bool has_binary_prefix(const std::string& s)
{
    std::size_t i = s.find_first_not_of(" \t\n\v\f\r");
    if (i == std::string::npos) {
        return false;
    }
    if (s[i] == '+' || s[i] == '-') {
        ++i;
    }
    return s.compare(i, 2, "0b") == 0 || s.compare(i, 2, "0B") == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string arg(reinterpret_cast<const char*>(data), size); // stops at the first NUL as argv would
    const std::int32_t seconds = floodout::parse_count(arg.c_str());
    if (has_binary_prefix(arg)) {
        return 0;
    }
    long wide = std::strtol(arg.c_str(), nullptr, 0);
    wide = wide > INT32_MAX ? INT32_MAX : wide < INT32_MIN ? INT32_MIN : wide;
    if (seconds != wide) {
        __builtin_trap();
    }
    return 0;
}
