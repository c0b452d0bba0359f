// Load for the query channel: C clients, each on its own connection, send queries of one type for
// a number of round trips and check every reply. Prints the median and 99th-percentile round trip
// in microseconds, the total replies per second, and the number of failed exchanges.
//
//   tzload SOCKET TYPE CLIENTS ROUNDS [ARG]
//   ARG: the abbreviation (types 2, 3) or location (type 4)
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "tz_cli_msg.h"

int main(int argc, char **argv) {
    if (argc < 5) {
        fprintf(stderr, "usage: tzload SOCKET TYPE CLIENTS ROUNDS [ARG]\n");
        return 2;
    }
    const char *path = argv[1];
    int type = atoi(argv[2]);
    int clients = atoi(argv[3]);
    int rounds = atoi(argv[4]);
    const char *arg = argc > 5 ? argv[5] : "";

    std::mutex mu;
    std::vector<double> all;
    std::atomic<long> failures{0};
    auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&] {
            int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
            sockaddr_un sa{};
            sa.sun_family = AF_UNIX;
            strncpy(sa.sun_path, path, sizeof sa.sun_path - 1);
            if (connect(fd, (sockaddr *)&sa, sizeof sa) != 0) {
                failures += rounds;
                close(fd);
                return;
            }
            auto *msg = static_cast<tz_cli_msg *>(calloc(1, sizeof(tz_cli_msg)));
            std::vector<char> reply(TZ_CLI_REPLY_SIZE);
            msg->type_word = (uint16_t)type;
            tz_msg_put_text(msg->abbrev, sizeof msg->abbrev, arg);
            tz_msg_put_text(msg->lookup_location, sizeof msg->lookup_location, arg);
            std::vector<double> us;
            us.reserve(rounds);
            for (int i = 0; i < rounds; ++i) {
                auto t0 = std::chrono::steady_clock::now();
                ssize_t s = send(fd, msg, sizeof *msg, 0);
                ssize_t r = recv(fd, reply.data(), reply.size(), 0);
                auto t1 = std::chrono::steady_clock::now();
                int32_t status = -1;
                if (r >= 4)
                    memcpy(&status, reply.data(), 4);
                if (s != (ssize_t)sizeof *msg || r != TZ_CLI_REPLY_SIZE || status != 0)
                    ++failures;
                us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
            }
            free(msg);
            close(fd);
            std::lock_guard lock(mu);
            all.insert(all.end(), us.begin(), us.end());
        });
    }
    for (auto &t : threads)
        t.join();
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::sort(all.begin(), all.end());
    double med = all.empty() ? 0 : all[all.size() / 2];
    double p99 = all.empty() ? 0 : all[std::min(all.size() - 1, all.size() * 99 / 100)];
    printf("%.2f %.2f %.0f %ld\n", med, p99, all.size() / secs, failures.load());
    return failures ? 1 : 0;
}
