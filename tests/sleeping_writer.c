/* A writer that only ever sleeps while it waits for room, as GNU yes 9.11
 * does into a pipe: TEXT repeated, exactly, into a page-aligned buffer of
 * whole repetitions that goes to stdout by vmsplice, which blocks while the
 * pipe is full; write(2) where vmsplice is refused. The good neighbour that
 * the crowd test holds floodout to.
 *   sleeping_writer SECONDS TEXT */
#define _GNU_SOURCE
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/uio.h>
#include <unistd.h>

static void handler(int signal)
{
    (void)signal;
    _exit(0);
}

int main(int argc, char** argv)
{
    struct sigaction action = { 0 };
    action.sa_handler = handler;
    sigaction(SIGALRM, &action, 0);
    const char* text = argc > 2 ? argv[2] : "X";
    const size_t size = strlen(text);
    if (size == 0) {
        return 1;
    }
    fcntl(STDOUT_FILENO, F_SETPIPE_SZ, 1 << 20);
    const size_t page = (size_t)sysconf(_SC_PAGESIZE);
    const size_t count = ((size_t)256 << 10) / size + 1;
    char* buffer = aligned_alloc(page, (count * size + page - 1) / page * page);
    if (buffer == 0) {
        return 1;
    }
    for (size_t i = 0; i < count; ++i) {
        memcpy(buffer + i * size, text, size);
    }
    const size_t filled = count * size;
    alarm(argc > 1 ? (unsigned)atoi(argv[1]) : 0);
    int spliced = 1;
    for (size_t at = 0;;) {
        struct iovec piece = { buffer + at, filled - at };
        ssize_t n = spliced ? vmsplice(STDOUT_FILENO, &piece, 1, 0) : -1;
        if (n < 0) {
            spliced = 0;
            n = write(STDOUT_FILENO, buffer + at, filled - at);
        }
        if (n < 0) {
            return 1;
        }
        /* Past the last whole repetition: back to the start, at the same
         * place in the text. */
        at += (size_t)n;
        if (at >= filled - size) {
            at %= size;
        }
    }
}
