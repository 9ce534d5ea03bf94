// The booted appliance's UDP receiver (its busybox nc speaks only TCP): binds
// 127.0.0.1:PORT and appends every datagram to FILE as it arrives, until killed.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: udp_sink PORT FILE\n");
        return 2;
    }
    const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[1])));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // Nothing lost while the file is written or the guest is busy: the forced
    // size (root) is not capped at rmem_max, which the plain one is.
    const int buffer = 8 << 20;
    if (setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer) != 0)
        setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    if (sock < 0 || bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::fprintf(stderr, "udp_sink: cannot bind 127.0.0.1:%s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    const int file = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (file < 0) {
        std::fprintf(stderr, "udp_sink: cannot open %s: %s\n", argv[2], std::strerror(errno));
        return 1;
    }
    std::vector<char> datagram(65536);
    for (;;) {
        const ssize_t got = recv(sock, datagram.data(), datagram.size(), 0);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 || write(file, datagram.data(), static_cast<size_t>(got)) != got) {
            std::fprintf(stderr, "udp_sink: %s\n", std::strerror(errno));
            return 1;
        }
    }
}
