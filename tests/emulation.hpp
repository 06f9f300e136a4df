// What the tests need to know when they run under qemu-user.
#pragma once

#include <cstdlib>
#include <cstring>

namespace harness {

// The qemu-user program the tests run under, or null where they run
// natively. FLOODOUT_EMULATOR names it where tests built for this machine
// start a program built for another (FLOODOUT_BINARY, a script that runs it
// under qemu-user).
inline const char* emulator()
{
    const char* named = std::getenv("FLOODOUT_EMULATOR");
    if (named != nullptr && *named != '\0') {
        return named;
    }
#ifdef FLOODOUT_EMULATED
    return FLOODOUT_EMULATED;
#else
    return nullptr;
#endif
}

// What qemu-user cannot show; a test that checks one of these is skipped
// under it, saying why.
inline constexpr const char* no_seccomp = "it answers PR_SET_SECCOMP with EINVAL: no filter can be installed";
inline constexpr const char* no_address_space_limit
    = "it accepts an address-space limit but does not apply it to the program";
inline constexpr const char* late_sigalrm
    = "it delivers a SIGALRM only once a blocking vmsplice has returned";
inline constexpr const char* counts_qemu_memory = "the memory a process uses includes qemu-user's own";
inline constexpr const char* counts_emulation_cpu = "the CPU time a run costs includes the emulation";
// Emulating a big-endian machine on a little-endian one: the tests' own
// byte order, or FLOODOUT_EMULATED_BYTE_ORDER=big for the program's.
inline bool cross_endian()
{
    const char* order = std::getenv("FLOODOUT_EMULATED_BYTE_ORDER");
    if (emulator() == nullptr) {
        return false;
    }
    return order != nullptr ? std::strcmp(order, "big") == 0 : __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;
}
inline constexpr const char* swapped_segment_size
    = "it hands a UDP_SEGMENT control message to the kernel without "
      "converting its byte order, so the kernel cuts at another length";

#define SKIP_UNDER_EMULATION(why)                                                                            \
    if (harness::emulator() != nullptr)                                                                      \
    GTEST_SKIP() << "under " << harness::emulator() << ", " << (why)

} // namespace harness
