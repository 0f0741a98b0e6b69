// A program that takes a TCP port on 127.0.0.1 for whoever runs it: it prints "listening" once
// bound, answers every request with 200 and an empty JSON object, and copies what it received
// to its standard output. It plays another local user's program in the connection tests.
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s PORT\n", argv[0]);
        return 2;
    }
    const int server = socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    setsockopt(server, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<unsigned short>(std::atoi(argv[1])));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (server < 0 || bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(server, 16) != 0) {
        std::perror("port holder");
        return 1;
    }
    std::printf("listening\n");
    std::fflush(stdout);
    for (;;) {
        const int client = accept(server, nullptr, nullptr);
        if (client < 0)
            continue;
        pollfd wait{client, POLLIN, 0};
        char buffer[4096];
        if (poll(&wait, 1, 1000) > 0) {
            const ssize_t got = read(client, buffer, sizeof buffer);
            if (got > 0) {
                std::fwrite(buffer, 1, size_t(got), stdout);
                std::fflush(stdout);
            }
        }
        const char reply[] = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}";
        if (write(client, reply, sizeof reply - 1) < 0)
            std::perror("port holder");
        close(client);
    }
}
