// The plain stdio loop that floodout is measured against: fputs for ever,
// ended by an alarm after argv[1] seconds.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {
void handler(int /*signal*/)
{
    _exit(0);
}
} // namespace

int main(int argc, char** argv)
{
    const unsigned seconds = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 0;
    const char* text = argc > 2 ? argv[2] : "X";
    std::signal(SIGALRM, handler);
    alarm(seconds);
    for (;;) {
        std::fputs(text, stdout);
    }
}
