#pragma once

#include <cstddef>
#include <cstdint>

namespace floodout {

// The number of runnable tasks in "/proc/loadavg" text (its fourth field,
// "running/total"); -1 when the text has none.
long runnable_in_loadavg(const char* text) noexcept;

// Whether the machine has more runnable work than CPUs to run it: then a
// task that waits awake takes a CPU from work that needs it. Sampled from
// the kernel's count of runnable tasks, at most once an interval, since
// reading it is a system call; the answer changes only when two samples in
// a row agree, since a task that runs for a moment is no crowd.
class Load {
public:
    // `cpus`: the CPUs that the kernel's count is shared among. The count's
    // file is opened at the first sample: an output that never waits for a
    // fast reader never opens it.
    explicit Load(long cpus) noexcept
        : cpus_(cpus)
    {
    }
    Load(const Load&) = delete;
    Load& operator=(const Load&) = delete;
    ~Load();

    // At `now_ns` on the monotonic clock. True also when the count cannot be
    // read: waiting awake is only ever an optimisation.
    bool crowded(std::int64_t now_ns) noexcept;

    // Whether one sample at `now_ns` says so; it counts as the first of two
    // that agree. True where the count cannot be read.
    bool crowded_now(std::int64_t now_ns) noexcept;

    // One decision from one sample of runnable tasks (-1: unknown), this
    // task among them.
    static bool crowded_by(long runnable, long cpus) noexcept { return runnable < 0 || runnable > cpus; }

    // Two samples in an epoch of the chooser. Reading the count costs more
    // than its microsecond: with 16 floods on 2 CPUs, sampling every
    // millisecond cost a tenth of what they carried.
    static constexpr std::int64_t sample_interval_ns = 16'000'000;

private:
    // One reading of the count.
    bool sample(std::int64_t now_ns) noexcept;

    static constexpr int unopened = -2;
    int fd_ = unopened; // -1 once it could not be opened
    long cpus_;
    bool crowded_ = true;
    bool last_ = true; // what the last sample said
    int agreeing_ = 0; // samples in a row that said it
    std::int64_t next_sample_ns_ = 0;
};

} // namespace floodout
