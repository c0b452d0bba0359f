// Commit latency without a command-line process: one connection to platformd commits the
// time-zone item ROUNDS times, alternating two zones, and times each commit from request to reply
// (verify, apply, durable store on the dLRSC) and to the moment a follower card's localtime link
// names the new zone (notification and apply there).
//
//   commit_client ROUNDS FOLLOWER_LINK [DLRSC_LINK]
//
// Uses PLATFORM_SOCKET and the other platform variables like any client. Prints, in milliseconds,
// the medians on one line: connect and hello, request to reply, request to the follower's link,
// and the number of commits refused or whose follower link did not change within 5 seconds (with
// DLRSC_LINK, a reply before that link names the zone counts as a failure too); then every
// request-to-reply time on a line, and every request-to-follower time on another.
#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "platform/env.h"
#include "platform/proto.h"
#include "platform/proto_cfg.h"
#include "platform/tuple.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace proto = platform::proto;

double ms_between(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

double median(std::vector<double> v) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// True when LINK is a symbolic link whose target ends in "/" ZONE.
bool names_zone(const std::string &link, const std::string &zone) {
    char target[PATH_MAX];
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0)
        return false;
    std::string t(target, size_t(n));
    return t.size() > zone.size() && t.compare(t.size() - zone.size(), zone.size(), zone) == 0 &&
           t[t.size() - zone.size() - 1] == '/';
}

// Waits until LINK names ZONE, woken by changes in its directory; false after TIMEOUT_MS.
bool wait_link(int inotify_fd, const std::string &link, const std::string &zone, int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    char events[4096];
    while (!names_zone(link, zone)) {
        int left = int(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        if (left <= 0)
            return false;
        pollfd p{inotify_fd, POLLIN, 0};
        // A short bound as well, in case the directory itself was replaced.
        if (poll(&p, 1, std::min(left, 50)) > 0) [[maybe_unused]]
            ssize_t n = read(inotify_fd, events, sizeof events);
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: commit_client ROUNDS FOLLOWER_LINK [DLRSC_LINK]\n");
        return 2;
    }
    int rounds = atoi(argv[1]);
    std::string follower = argv[2];
    std::string dlrsc = argc > 3 ? argv[3] : "";
    const char *item = "/cfg/gl/clock/timezone";
    const std::pair<const char *, const char *> zones[] = {{"CET", "Europe/Paris"},
                                                           {"IST", "Asia/Kolkata"}};

    int in = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    std::string dir = follower.substr(0, follower.find_last_of('/'));
    if (in < 0 || inotify_add_watch(in, dir.c_str(), IN_CREATE | IN_MOVED_TO | IN_DELETE) < 0) {
        fprintf(stderr, "commit_client: cannot watch %s: %s\n", dir.c_str(), strerror(errno));
        return 1;
    }

    auto t0 = Clock::now();
    proto::Conn conn;
    std::string error;
    if (!conn.connect(platform::env().socket, 2000, &error) ||
        !proto::hello(conn, uint32_t(platform::env().card), uint32_t(getpid()), "commit_client",
                      proto::HELLO_OBSERVER, error)) {
        fprintf(stderr, "commit_client: %s\n", error.c_str());
        return 1;
    }
    double connect_ms = ms_between(t0, Clock::now());

    std::vector<double> reply_ms, follower_ms;
    int failures = 0;
    for (int i = 0; i < rounds; ++i) {
        auto [abbrev, zone] = zones[i % 2];
        proto::Writer w;
        w.str(item).u32(0).bytes(platform::tuple_pack_strings({abbrev, zone}));
        uint32_t status = 0;
        std::string message;
        std::vector<uint8_t> body;
        auto start = Clock::now();
        proto::Recv r = conn.call(proto::T_CFG_COMMIT, w, status, message, body, 30000);
        auto replied = Clock::now();
        if (r != proto::Recv::ok || status != 0 || (!dlrsc.empty() && !names_zone(dlrsc, zone))) {
            fprintf(stderr, "commit_client: commit %d of %s failed: %s\n", i, zone,
                    message.empty() ? strerror(int(status)) : message.c_str());
            ++failures;
            continue;
        }
        reply_ms.push_back(ms_between(start, replied));
        if (!wait_link(in, follower, zone, 5000)) {
            ++failures;
            continue;
        }
        follower_ms.push_back(ms_between(start, Clock::now()));
    }
    printf("%.3f %.3f %.3f %d\n", connect_ms, median(reply_ms), median(follower_ms), failures);
    for (auto *times : {&reply_ms, &follower_ms}) {
        for (size_t i = 0; i < times->size(); ++i)
            printf("%s%.3f", i ? " " : "", (*times)[i]);
        printf("\n");
    }
    return failures ? 1 : 0;
}
