// The floor of a userspace UDP tap: a process that sleeps in recv() and
// sends each datagram on at once, with nothing else to do. It prints the
// port it listens on (127.0.0.1, given by the system), then forwards to the
// 127.0.0.1 port named on its command line until it is killed.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: forward-reference PORT\n");
        return 2;
    }
    const int in = socket(AF_INET, SOCK_DGRAM, 0);
    const int out = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sockaddr_in to = local;
    to.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[1])));
    socklen_t length = sizeof local;
    if (in < 0 || out < 0 || bind(in, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        getsockname(in, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
        connect(out, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        std::perror("forward-reference");
        return 1;
    }
    std::printf("%d\n", ntohs(local.sin_port));
    std::fflush(stdout);
    static char buffer[65536];
    for (;;) {
        const ssize_t size = recv(in, buffer, sizeof buffer, 0);
        if (size >= 0)
            send(out, buffer, static_cast<size_t>(size), 0);
    }
}
