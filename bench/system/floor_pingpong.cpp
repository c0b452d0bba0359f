// The floor for a warm query: a bare SOCK_SEQPACKET ping-pong between two processes of a
// 74216-byte request and a 74220-byte reply. Prints the median round trip in microseconds and
// the round trips per second of one client.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <vector>

constexpr size_t kMsg = 74216;

int main(int argc, char **argv) {
    int n = argc > 1 ? atoi(argv[1]) : 20000;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv) != 0)
        return 1;
    int size = 4 * 1024 * 1024;
    for (int s : sv) {
        setsockopt(s, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    pid_t pid = fork();
    if (pid == 0) {
        close(sv[0]);
        std::vector<char> buf(kMsg);
        int32_t status = 0;
        for (;;) {
            ssize_t r = recv(sv[1], buf.data(), buf.size(), 0);
            if (r <= 0)
                _exit(0);
            iovec iov[2] = {{&status, 4}, {buf.data(), kMsg}};
            msghdr m{};
            m.msg_iov = iov;
            m.msg_iovlen = 2;
            if (sendmsg(sv[1], &m, 0) < 0)
                _exit(1);
        }
    }
    close(sv[1]);
    std::vector<char> req(kMsg, 1), rep(kMsg + 4);
    std::vector<double> us;
    us.reserve(n);
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < n; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        send(sv[0], req.data(), req.size(), 0);
        recv(sv[0], rep.data(), rep.size(), 0);
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
