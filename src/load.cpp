#include "load.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace floodout {
long runnable_in_loadavg(const char* text) noexcept
{
    // "0.52 0.58 0.59 3/467 12345": skip three fields and the blanks after them.
    const char* s = text;
    for (int field = 0; field < 3; ++field) {
        while (*s != '\0' && *s != ' ') {
            ++s;
        }
        while (*s == ' ') {
            ++s;
        }
    }
    if (*s < '0' || *s > '9') {
        return -1;
    }
    long runnable = 0;
    for (; *s >= '0' && *s <= '9'; ++s) {
        if (runnable > 100'000'000) {
            return -1; // no machine runs that many; not a count
        }
        runnable = runnable * 10 + (*s - '0');
    }
    return *s == '/' ? runnable : -1;
}

Load::~Load()
{
    if (fd_ >= 0) {
        close(fd_);
    }
}

bool Load::sample(std::int64_t now_ns) noexcept
{
    if (fd_ == unopened) {
        fd_ = open("/proc/loadavg", O_RDONLY | O_CLOEXEC);
    }
    if (fd_ < 0) {
        return true;
    }
    next_sample_ns_ = now_ns + sample_interval_ns;
    char text[128];
    ssize_t n = -1;
    do {
        n = pread(fd_, text, sizeof text - 1, 0);
    } while (n < 0 && errno == EINTR);
    text[n > 0 ? n : 0] = '\0';
    const bool now_crowded = crowded_by(runnable_in_loadavg(text), cpus_);
    agreeing_ = now_crowded == last_ ? agreeing_ + 1 : 1;
    last_ = now_crowded;
    return now_crowded;
}

bool Load::crowded_now(std::int64_t now_ns) noexcept
{
    return sample(now_ns);
}

bool Load::crowded(std::int64_t now_ns) noexcept
{
    if (now_ns >= next_sample_ns_ && fd_ != -1) {
        sample(now_ns);
        if (agreeing_ >= 2) {
            crowded_ = last_;
        }
    }
    return fd_ == -1 || crowded_;
}

} // namespace floodout
