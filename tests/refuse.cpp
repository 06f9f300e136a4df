// Runs a program with one system call refused, or with its address space
// limited, the way a container runtime or a shell's ulimit would:
//   refuse SYSCALL ERRNO [ARG1] -- PROGRAM ARGS...   SYSCALL fails with ERRNO
//                                                   (only when its second
//                                                   argument is ARG1, if given)
//   refuse limit-as KIB -- PROGRAM ARGS...          RLIMIT_AS of KIB KiB
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The audit architecture that seccomp reports for this build's system calls.
#if defined(__x86_64__)
constexpr unsigned arch = AUDIT_ARCH_X86_64;
#elif defined(__i386__)
constexpr unsigned arch = AUDIT_ARCH_I386;
#elif defined(__aarch64__)
constexpr unsigned arch = AUDIT_ARCH_AARCH64;
#elif defined(__arm__)
constexpr unsigned arch = AUDIT_ARCH_ARM;
#elif defined(__powerpc64__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr unsigned arch = AUDIT_ARCH_PPC64LE;
#elif defined(__s390x__)
constexpr unsigned arch = AUDIT_ARCH_S390X;
#elif defined(__riscv) && __riscv_xlen == 64
constexpr unsigned arch = AUDIT_ARCH_RISCV64;
#else
#error "add this architecture's AUDIT_ARCH"
#endif

// seccomp_data.args holds 64-bit words: the low half of one comes first only
// where the machine is little-endian.
constexpr unsigned low_half = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? 4 : 0;

struct Name {
    const char* name;
    long number;
};

// Where a 32-bit build calls the 64-bit-offset variant, that is the one.
const Name calls[] = {
    { "vmsplice", SYS_vmsplice },
    { "splice", SYS_splice },
    { "tee", SYS_tee },
#ifdef SYS_fcntl64
    { "fcntl", SYS_fcntl64 },
#else
    { "fcntl", SYS_fcntl },
#endif
    { "madvise", SYS_madvise },
    { "sched_getaffinity", SYS_sched_getaffinity },
    { "ioctl", SYS_ioctl },
// poll(2) is ppoll underneath where the kernel has no poll (arm64, riscv64).
#ifdef SYS_poll
    { "poll", SYS_poll },
#else
    { "poll", SYS_ppoll },
#endif
    { "ppoll", SYS_ppoll },
};

int usage()
{
    std::fprintf(stderr,
        "usage: refuse SYSCALL ERRNO [ARG1] -- PROGRAM ARGS... | refuse limit-as KIB -- PROGRAM ARGS...\n");
    return 2;
}

bool refuse(long number, unsigned error, bool match_arg, unsigned arg)
{
    const auto offset = [](std::size_t field) { return static_cast<unsigned>(field); };
    const unsigned errno_action = SECCOMP_RET_ERRNO | (error & SECCOMP_RET_DATA);
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offset(offsetof(seccomp_data, arch))),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offset(offsetof(seccomp_data, nr))),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(number), 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        // The low 32 bits of the second argument, where it must match.
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offset(offsetof(seccomp_data, args) + sizeof(__u64) + low_half)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arg, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, match_arg ? SECCOMP_RET_ALLOW : errno_action),
        BPF_STMT(BPF_RET | BPF_K, errno_action),
    };
    sock_fprog program { static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter };
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0
        && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

} // namespace

int main(int argc, char** argv)
{
    int dashes = 1;
    while (dashes < argc && std::strcmp(argv[dashes], "--") != 0) {
        ++dashes;
    }
    if (dashes < 3 || dashes + 1 >= argc) {
        return usage();
    }
    if (std::strcmp(argv[1], "limit-as") == 0) {
        const rlimit limit { std::strtoul(argv[2], nullptr, 0) * 1024,
            std::strtoul(argv[2], nullptr, 0) * 1024 };
        if (setrlimit(RLIMIT_AS, &limit) != 0) {
            std::perror("setrlimit");
            return 2;
        }
    } else {
        long number = -1;
        for (const Name& call : calls) {
            if (std::strcmp(call.name, argv[1]) == 0) {
                number = call.number;
            }
        }
        const bool match_arg = dashes > 3;
        if (number < 0
            || !refuse(number, static_cast<unsigned>(std::atoi(argv[2])), match_arg,
                match_arg ? static_cast<unsigned>(std::strtoul(argv[3], nullptr, 0)) : 0)) {
            std::fprintf(stderr, "refuse: cannot filter %s\n", argv[1]);
            return 2;
        }
    }
    execv(argv[dashes + 1], argv + dashes + 1);
    std::perror("execv");
    return 127;
}
