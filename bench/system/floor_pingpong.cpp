// The floor for a warm query: a bare SOCK_SEQPACKET ping-pong between two processes of a
// 74216-byte request and a 74220-byte reply (a 4-byte status and the message, one gather write).
// Prints the median round trip in microseconds and the round trips per second of one client.
//
//   floor_pingpong [ROUNDS] [SERVER]
//
// SERVER says how the answering side waits, so that the cost of an event loop can be told apart
// from the cost of the service:
//   blocking    a blocking recv, then the reply (the floor the targets are judged against)
//   epoll       epoll_wait, a non-blocking recv, the reply
//   epoll-peek  epoll_wait, a peek at the record's length, the recv, the reply: the system calls
//               the platform's channel makes per message
// The socket buffers are those of the service: the system default on the client, room for four
// replies on the server.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

constexpr size_t kMsg = 74216;

enum class Server { blocking, epoll, epoll_peek };

[[noreturn]] void serve(int fd, Server mode) {
    std::vector<char> buf(kMsg);
    int32_t status = 0;
    int ep = epoll_create1(0);
    epoll_event ev{};
    ev.events = EPOLLIN;
    if (mode != Server::blocking && epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev) != 0)
        _exit(1);
    int flags = mode == Server::blocking ? 0 : MSG_DONTWAIT;
    for (;;) {
        if (mode != Server::blocking && epoll_wait(ep, &ev, 1, -1) != 1)
            continue;
        if (mode == Server::epoll_peek && recv(fd, nullptr, 0, MSG_PEEK | MSG_TRUNC | flags) <= 0)
            _exit(0);
        ssize_t r = recv(fd, buf.data(), buf.size(), flags);
        if (r <= 0)
            _exit(0);
        iovec iov[2] = {{&status, 4}, {buf.data(), kMsg}};
        msghdr m{};
        m.msg_iov = iov;
        m.msg_iovlen = 2;
        if (sendmsg(fd, &m, MSG_NOSIGNAL | flags) < 0)
            _exit(1);
    }
}

int main(int argc, char **argv) {
    int n = argc > 1 ? atoi(argv[1]) : 20000;
    std::string name = argc > 2 ? argv[2] : "blocking";
    Server mode;
    if (name == "blocking")
        mode = Server::blocking;
    else if (name == "epoll")
        mode = Server::epoll;
    else if (name == "epoll-peek")
        mode = Server::epoll_peek;
    else {
        fprintf(stderr, "usage: floor_pingpong [ROUNDS] [blocking|epoll|epoll-peek]\n");
        return 2;
    }
    int sv[2];
    if (n <= 0 || socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0)
        return 1;
    int sndbuf = 4 * int(kMsg + 4);
    setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    pid_t pid = fork();
    if (pid < 0)
        return 1;
    if (pid == 0) {
        close(sv[0]);
        serve(sv[1], mode);
    }
    close(sv[1]);
    std::vector<char> req(kMsg, 1), rep(kMsg + 4);
    std::vector<double> us;
    us.reserve(size_t(n));
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < n; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        if (send(sv[0], req.data(), req.size(), 0) != ssize_t(req.size()) ||
            recv(sv[0], rep.data(), rep.size(), 0) != ssize_t(rep.size())) {
            fprintf(stderr, "floor_pingpong: exchange failed\n");
            return 1;
        }
        auto t1 = std::chrono::steady_clock::now();
        us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    close(sv[0]);
    waitpid(pid, nullptr, 0);
    std::sort(us.begin(), us.end());
    printf("%.2f %.0f\n", us[us.size() / 2], n / total);
    return 0;
}
