// The memory room read from cgroup files, over trees of files made here.
#include "allowance.hpp"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;
using floodout::memory_room;
using floodout::no_limit;

constexpr std::uint64_t mib = std::uint64_t { 1 } << 20;

struct Tree {
    const char* name;
    std::string proc_cgroup; // /proc/self/cgroup
    std::vector<std::pair<std::string, std::string>> files; // under the mount
    std::uint64_t room;
};

std::string bytes(std::uint64_t n)
{
    return std::to_string(n) + "\n";
}

// A memory.stat with these page-cache counts among other lines.
std::string stat(const char* inactive, const char* active, std::uint64_t inactive_n, std::uint64_t active_n)
{
    return "cache 1\nrss 2\nshmem 0\n" + std::string(inactive) + " " + std::to_string(inactive_n) + "\n"
        + active + " " + std::to_string(active_n) + "\nunevictable 0\n";
}

TEST(MemoryRoom, TheTightestLimitAlongThePathLessWhatItUses)
{
    const char* v1 = "4:memory:/a/b\n3:cpu,cpuacct:/a\n1:name=systemd:/\n0::/\n";
    const Tree trees[] = {
        { "v1, the cgroup's own limit, less usage without page cache", v1,
            { { "memory/memory.limit_in_bytes", "9223372036854771712\n" },
                { "memory/a/memory.limit_in_bytes", "9223372036854771712\n" },
                { "memory/a/b/memory.limit_in_bytes", bytes(8 * mib) },
                { "memory/a/b/memory.usage_in_bytes", bytes(5 * mib) },
                { "memory/a/b/memory.stat",
                    stat("total_inactive_file", "total_active_file", 1 * mib, 2 * mib)
                        + "inactive_file 7\n" } },
            6 * mib },
        { "v1, a parent tighter than the cgroup", v1,
            { { "memory/a/memory.limit_in_bytes", bytes(4 * mib) },
                { "memory/a/memory.usage_in_bytes", bytes(3 * mib) },
                { "memory/a/b/memory.limit_in_bytes", bytes(64 * mib) },
                { "memory/a/b/memory.usage_in_bytes", bytes(1 * mib) } },
            1 * mib },
        { "v1, using more than the limit allows", v1,
            { { "memory/a/b/memory.limit_in_bytes", bytes(2 * mib) },
                { "memory/a/b/memory.usage_in_bytes", bytes(3 * mib) } },
            0 },
        { "v1, controllers mounted together", "5:cpu,memory:/x\n",
            { { "cpu,memory/x/memory.limit_in_bytes", bytes(3 * mib) } }, 3 * mib },
        { "v1, a container that sees its cgroup as the root", "4:memory:/docker/0123abcd\n",
            { { "memory/memory.limit_in_bytes", bytes(16 * mib) },
                { "memory/memory.usage_in_bytes", bytes(6 * mib) } },
            10 * mib },
        { "v2, memory.high below memory.max", "0::/user.slice/app\n",
            { { "user.slice/memory.max", "max\n" }, { "user.slice/app/memory.max", bytes(32 * mib) },
                { "user.slice/app/memory.high", bytes(8 * mib) },
                { "user.slice/app/memory.current", bytes(3 * mib) },
                { "user.slice/app/memory.stat", stat("inactive_file", "active_file", 1 * mib, 0) } },
            6 * mib },
        { "v2, a parent's memory.max", "0::/p/c\n",
            { { "p/memory.max", bytes(5 * mib) }, { "p/memory.current", bytes(1 * mib) },
                { "p/c/memory.max", "max\n" }, { "p/c/memory.high", "max\n" } },
            4 * mib },
        { "v2 beside v1 controllers", "1:cpu:/\n0::/s\n",
            { { "unified/s/memory.max", bytes(2 * mib) }, { "unified/s/memory.current", bytes(mib / 2) } },
            3 * mib / 2 },
        { "v2, a cgroup outside the namespace's root", "0::/../../elsewhere\n",
            { { "memory.max", bytes(7 * mib) }, { "../elsewhere/memory.max", bytes(1 * mib) } }, 7 * mib },
        { "no limit anywhere", v1,
            { { "memory/memory.limit_in_bytes", "9223372036854771712\n" },
                { "memory/a/b/memory.usage_in_bytes", bytes(5 * mib) } },
            9223372036854771712U },
        { "unreadable values", "0::/g\n4:memory:/g\n",
            { { "g/memory.max", "lots\n" }, { "memory/g/memory.limit_in_bytes", "" },
                { "memory/memory.limit_in_bytes", "-5\n" } },
            no_limit },
        { "names longer than a path can be",
            "4:memory," + std::string(6000, 'c') + ":/q\n0::/" + std::string(5000, 'p') + "\n",
            { { "memory/q/memory.limit_in_bytes", bytes(3 * mib) } }, 3 * mib },
        { "no cgroup file", "", {}, no_limit },
        { "lines without fields", "garbage\n::\n:\n4:memory\n", {}, no_limit },
    };
    for (const Tree& tree : trees) {
        const fs::path root = fs::temp_directory_path() / ("floodout-room-" + std::to_string(getpid()));
        const fs::path mount = root / "mnt";
        fs::create_directories(mount);
        for (const auto& [path, content] : tree.files) {
            fs::create_directories((mount / path).parent_path());
            std::ofstream(mount / path) << content;
        }
        const fs::path proc = root / "cgroup";
        if (!tree.proc_cgroup.empty()) {
            std::ofstream(proc) << tree.proc_cgroup;
        }
        EXPECT_EQ(memory_room(proc.c_str(), mount.c_str()), tree.room) << tree.name;
        fs::remove_all(root);
    }
}

TEST(MemoryRoom, AModestShareOfItIsTaken)
{
    EXPECT_EQ(floodout::share_of(no_limit), SIZE_MAX);
    EXPECT_EQ(floodout::share_of(8 * mib), 2 * mib);
    EXPECT_EQ(floodout::share_of(0), 0U);
    EXPECT_EQ(floodout::share_of(no_limit - 1), sizeof(std::size_t) < 8 ? SIZE_MAX : (no_limit - 1) / 4);
}

} // namespace
