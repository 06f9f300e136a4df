#pragma once

#include <cstddef>
#include <cstdint>

namespace floodout {

// What the process may use, read once at start.
struct Allowance {
    // Bytes that the block, and a pipe that is written into, should each stay
    // within; SIZE_MAX where no limit can be read.
    std::size_t memory;
    // Whether more than one CPU may run this process: only then can waiting
    // awake for the reader help it rather than take its CPU.
    bool several_cpus;
    // The CPUs that the kernel's count of runnable tasks is shared among.
    long online_cpus;
    // The most a socket's send buffer can be made to hold without privilege
    // (twice net.core.wmem_max); 0 where that cannot be read.
    std::size_t send_buffer;
};

inline constexpr std::uint64_t no_limit = UINT64_MAX;

// The memory that the cgroups listed in `proc_cgroup` (a copy of
// /proc/self/cgroup) still leave, with their files under `mount` (where
// /sys/fs/cgroup is): the least, along each cgroup's path, of its limits
// (cgroup v2 memory.max and memory.high, v1 memory.limit_in_bytes) less what
// it uses, page cache that the kernel can reclaim not counted. no_limit where
// nothing can be read. Only reads.
std::uint64_t memory_room(const char* proc_cgroup, const char* mount) noexcept;

// A modest share of the room: others in the same container need the rest,
// and the kernel kills rather than refuses once a cgroup is over its limit.
constexpr std::size_t share_of(std::uint64_t room) noexcept
{
    const std::uint64_t share = room == no_limit ? no_limit : room / 4;
    return share < SIZE_MAX ? static_cast<std::size_t>(share) : SIZE_MAX;
}

Allowance read_allowance() noexcept;

} // namespace floodout
