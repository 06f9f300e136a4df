// Starts a command with stdout on a pipe and prints the microseconds until
// its first byte can be read; the command is then killed.
#include <csignal>
#include <cstdio>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

int main(int argc, char** argv)
{
    if (argc < 2) {
        return 2;
    }
    int fds[2];
    if (pipe(fds) != 0) {
        return 1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[1], &actions, nullptr, argv + 1, environ) != 0) {
        return 1;
    }
    char byte = 0;
    const ssize_t n = read(fds[0], &byte, 1);
    const std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - start;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    std::printf("%.1f\n", n == 1 ? took.count() : -1.0);
    return n == 1 ? 0 : 1;
}
