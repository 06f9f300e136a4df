#include "allowance.hpp"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace floodout {
namespace {

// Large enough for /proc/self/cgroup and memory.stat as the kernel writes them.
constexpr std::size_t file_bytes = 8192;
constexpr std::size_t path_bytes = 4096;

// A small file, NUL-terminated, as much of it as fits; false when it cannot
// be read.
bool read_file(const char* path, char* buffer, std::size_t size) noexcept
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    std::size_t used = 0;
    bool ok = true;
    while (used + 1 < size) {
        const ssize_t n = read(fd, buffer + used, size - 1 - used);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        used += static_cast<std::size_t>(n);
    }
    close(fd);
    buffer[used] = '\0';
    return ok;
}

// A decimal count at `s`, saturating; "max" is no limit. False when neither.
bool parse_bytes(const char* s, std::uint64_t& value) noexcept
{
    if (std::strncmp(s, "max", 3) == 0) {
        value = no_limit;
        return true;
    }
    if (*s < '0' || *s > '9') {
        return false;
    }
    value = 0;
    for (; *s >= '0' && *s <= '9'; ++s) {
        const auto digit = static_cast<std::uint64_t>(*s - '0');
        value = value > (no_limit - digit) / 10 ? no_limit : value * 10 + digit;
    }
    return true;
}

bool read_bytes(const char* path, std::uint64_t& value) noexcept
{
    char text[64];
    return read_file(path, text, sizeof text) && parse_bytes(text, value);
}

// The value of the line "key N" of a memory.stat; 0 when there is none.
std::uint64_t stat_value(const char* stat, const char* key) noexcept
{
    const std::size_t length = std::strlen(key);
    for (const char* line = stat; *line != '\0';) {
        std::uint64_t value = 0;
        if (std::strncmp(line, key, length) == 0 && line[length] == ' '
            && parse_bytes(line + length + 1, value)) {
            return value;
        }
        const char* next = std::strchr(line, '\n');
        line = next == nullptr ? "" : next + 1;
    }
    return 0;
}

struct Version {
    const char* limits[2]; // the tightest of them counts
    const char* usage;
    const char* reclaimable[2]; // page cache, in memory.stat
};

constexpr Version v1 { { "memory.limit_in_bytes", nullptr }, "memory.usage_in_bytes",
    { "total_inactive_file", "total_active_file" } };
constexpr Version v2 { { "memory.max", "memory.high" }, "memory.current",
    { "inactive_file", "active_file" } };

// `dir`/`name` into `path`; false when it does not fit.
bool join(char* path, const char* dir, const char* name) noexcept
{
    const int n = std::snprintf(path, path_bytes, "%s/%s", dir, name);
    return n > 0 && static_cast<std::size_t>(n) < path_bytes;
}

// What one cgroup directory leaves: its tightest limit less what it uses.
std::uint64_t room_in(const char* dir, const Version& version) noexcept
{
    char path[path_bytes];
    std::uint64_t limit = no_limit;
    for (const char* name : version.limits) {
        std::uint64_t value = 0;
        if (name != nullptr && join(path, dir, name) && read_bytes(path, value) && value < limit) {
            limit = value;
        }
    }
    if (limit == no_limit) {
        return no_limit;
    }
    std::uint64_t used = 0;
    if (join(path, dir, version.usage)) {
        read_bytes(path, used); // unread, the whole limit is room
    }
    char stat[file_bytes];
    if (join(path, dir, "memory.stat") && read_file(path, stat, sizeof stat)) {
        for (const char* key : version.reclaimable) {
            const std::uint64_t cache = stat_value(stat, key);
            used = used > cache ? used - cache : 0;
        }
    }
    return limit > used ? limit - used : 0;
}

// The least room of the cgroup at `path` (from /proc/self/cgroup) under
// `base` and of every cgroup above it. A directory that is not there (a
// container that sees its own cgroup as the root) leaves no limit of its own.
std::uint64_t room_along(
    const char* base, const char* path, std::size_t length, const Version& version) noexcept
{
    char dir[path_bytes];
    const std::size_t base_length = std::strlen(base);
    // A cgroup outside this namespace's root ("/.." ...) is not below base.
    const bool below_base = length > 0 && path[0] == '/' && std::strstr(path, "/..") == nullptr;
    while (length > 0 && path[length - 1] == '/') {
        --length; // the root, "/", is base itself: read once
    }
    if (!below_base || base_length + length + 1 > path_bytes) {
        length = 0;
    }
    const int written = std::snprintf(dir, sizeof dir, "%s%.*s", base, static_cast<int>(length), path);
    if (written < 0 || static_cast<std::size_t>(written) != base_length + length) {
        return no_limit;
    }
    std::size_t end = base_length + length;
    std::uint64_t room = no_limit;
    for (;;) {
        dir[end] = '\0';
        const std::uint64_t here = room_in(dir, version);
        room = here < room ? here : room;
        if (end == base_length) {
            return room;
        }
        while (end > base_length && dir[end] != '/') {
            --end;
        }
    }
}

// Whether the comma-separated `list` (of length `length`) names the memory controller.
bool names_memory(const char* list, std::size_t length) noexcept
{
    constexpr std::size_t word = 6;
    for (std::size_t i = 0; i + word <= length; ++i) {
        if ((i == 0 || list[i - 1] == ',') && std::strncmp(list + i, "memory", word) == 0
            && (i + word == length || list[i + word] == ',')) {
            return true;
        }
    }
    return false;
}

} // namespace

std::uint64_t memory_room(const char* proc_cgroup, const char* mount) noexcept
{
    char lines[file_bytes];
    if (!read_file(proc_cgroup, lines, sizeof lines)) {
        return no_limit;
    }
    std::uint64_t room = no_limit;
    char base[path_bytes];
    for (char* line = lines; *line != '\0';) {
        char* next = std::strchr(line, '\n');
        if (next != nullptr) {
            *next = '\0';
        }
        // hierarchy-ID:controller-list:path, the path possibly holding colons.
        char* first = std::strchr(line, ':');
        char* second = first == nullptr ? nullptr : std::strchr(first + 1, ':');
        if (second != nullptr) {
            *second = '\0';
            const char* controllers = first + 1;
            const auto listed = static_cast<std::size_t>(second - controllers);
            const char* path = second + 1;
            const std::size_t length = std::strlen(path);
            const auto take = [&](const char* dir_name, const Version& version) {
                if (join(base, mount, dir_name)) {
                    const std::uint64_t here = room_along(base, path, length, version);
                    room = here < room ? here : room;
                }
            };
            if (listed == 0) {
                // cgroup v2: at the mount, or beside the v1 controllers.
                const std::uint64_t here = room_along(mount, path, length, v2);
                room = here < room ? here : room;
                take("unified", v2);
            } else if (names_memory(controllers, listed)) {
                take(controllers, v1);
                if (listed != std::strlen("memory") || std::strncmp(controllers, "memory", listed) != 0) {
                    take("memory", v1); // the usual link to a joint mount
                }
            }
        }
        line = next == nullptr ? line + std::strlen(line) : next + 1;
    }
    return room;
}

Allowance read_allowance() noexcept
{
    cpu_set_t set;
    CPU_ZERO(&set);
    // Unknown counts as one: a wrong guess then costs speed, never the reader's CPU.
    const bool several = sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 1;
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    std::uint64_t asked_at_most = 0;
    if (!read_bytes("/proc/sys/net/core/wmem_max", asked_at_most) || asked_at_most > SIZE_MAX / 2) {
        asked_at_most = 0;
    }
    return { share_of(memory_room("/proc/self/cgroup", "/sys/fs/cgroup")), several, online > 0 ? online : 1,
        static_cast<std::size_t>(asked_at_most) * 2 };
}

} // namespace floodout
