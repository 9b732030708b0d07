// The ceiling for `make bench`: the least any server can do per connection on
// this machine. One thread, blocking accept, one read, the agent's own
// preflight bytes, close. Loopback only.
//
// Usage: corvane-ceiling-server PORT [ORIGIN] [LIFETIME_SECONDS]

#include "bridge/Http.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PORT [ORIGIN] [LIFETIME_SECONDS]\n", argv[0]);
        return 2;
    }
    const long port = std::strtol(argv[1], nullptr, 10);
    const std::string answer = corvane::http::preflightAnswer(argc > 2 ? argv[2] : "*").serialize();
    // Bounded even when nobody stops it: SIGALRM ends the process.
    const long lifetime = argc > 3 ? std::strtol(argv[3], nullptr, 10) : 600;
    if (port <= 0 || port > 65535 || lifetime <= 0) {
        std::fprintf(stderr, "bad port or lifetime\n");
        return 2;
    }
    ::alarm(static_cast<unsigned>(lifetime));

    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || ::listen(listener, 511) != 0) {
        std::perror("ceiling server");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);

    char request[65536];
    for (;;) {
        const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            continue;
        if (::read(client, request, sizeof request) > 0)
            (void)!::write(client, answer.data(), answer.size());
        ::close(client);
    }
}
