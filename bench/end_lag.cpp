// How long after its alarm a run ends: starts "floodout SECONDS" with stdout
// on a pipe (drained by read(2) in a thread), /dev/null or a file, and prints
// the end time less SECONDS, counted from the start (an upper bound: it
// includes the start-up) and from the first byte (a lower bound).
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s FLOODOUT pipe|PATH SECONDS\n", argv[0]);
        return 2;
    }
    using clock = std::chrono::steady_clock;
    const bool to_pipe = std::strcmp(argv[2], "pipe") == 0;
    int fds[2] = { -1, -1 };
    if (to_pipe) {
        if (pipe(fds) != 0) {
            return 1;
        }
    } else {
        fds[1] = open(argv[2], O_WRONLY | O_CREAT, 0600);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    char* child_argv[] = { argv[1], argv[3], nullptr };
    const auto start = clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[1], &actions, nullptr, child_argv, environ) != 0) {
        return 1;
    }
    close(fds[1]);
    clock::time_point first {};
    std::thread reader;
    if (to_pipe) {
        reader = std::thread([&] {
            std::vector<char> buffer(std::size_t { 1 } << 20);
            while (read(fds[0], buffer.data(), buffer.size()) > 0) {
                if (first == clock::time_point {}) {
                    first = clock::now();
                }
            }
        });
    }
    int status = 0;
    waitpid(pid, &status, 0);
    const auto end = clock::now();
    if (to_pipe) {
        reader.join();
    }
    const double seconds = std::atof(argv[3]);
    const auto ms = [&](clock::time_point from) {
        return (std::chrono::duration<double>(end - from).count() - seconds) * 1e3;
    };
    std::printf("%.2f %.2f\n", ms(start), to_pipe ? ms(first) : ms(start));
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
