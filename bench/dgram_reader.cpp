// Receives datagrams with recvmmsg and prints "<datagrams> <bytes> <seconds
// from the first datagram to the last>" once none has come for 300 ms.
//   bench_dgram_reader udp         binds 127.0.0.1, prints its port first
//   bench_dgram_reader unix PATH   binds a Unix datagram socket at PATH,
//                                  prints "ready" first
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

int main(int argc, char** argv)
{
    const bool unix_socket = argc > 2 && std::strcmp(argv[1], "unix") == 0;
    const int fd = socket(unix_socket ? AF_UNIX : AF_INET, SOCK_DGRAM, 0);
    const int big = 64 << 20;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big) != 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    }
    if (unix_socket) {
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, argv[2], sizeof address.sun_path - 1);
        if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            std::perror("bind");
            return 1;
        }
        std::printf("ready\n");
    } else {
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
            || getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            std::perror("bind");
            return 1;
        }
        std::printf("%d\n", ntohs(address.sin_port));
    }
    std::fflush(stdout);
    constexpr unsigned many = 256;
    constexpr std::size_t largest = 65536;
    std::vector<char> buffers(many * largest);
    std::vector<iovec> pieces(many);
    std::vector<mmsghdr> messages(many);
    for (unsigned i = 0; i < many; ++i) {
        pieces[i] = { buffers.data() + i * largest, largest };
        messages[i].msg_hdr.msg_iov = &pieces[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    long long datagrams = 0;
    long long bytes = 0;
    std::chrono::steady_clock::time_point first;
    std::chrono::steady_clock::time_point last;
    for (;;) {
        pollfd p { fd, POLLIN, 0 };
        if (poll(&p, 1, datagrams == 0 ? 30000 : 300) != 1) {
            break;
        }
        const int n = recvmmsg(fd, messages.data(), many, MSG_DONTWAIT, nullptr);
        if (n <= 0) {
            continue;
        }
        last = std::chrono::steady_clock::now();
        if (datagrams == 0) {
            first = last;
        }
        datagrams += n;
        for (int i = 0; i < n; ++i) {
            bytes += messages[static_cast<std::size_t>(i)].msg_len;
        }
    }
    if (unix_socket) {
        unlink(argv[2]);
    }
    const std::chrono::duration<double> took = last - first;
    std::printf("%lld %lld %.6f\n", datagrams, bytes, took.count());
    return 0;
}
