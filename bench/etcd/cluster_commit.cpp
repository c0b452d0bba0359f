// A commit in cluster mode, end to end: a 3-member etcd cluster and 3 cards (platformd with
// PLATFORM_ETCD and tzd each, card 0 the dLRSC) started here on loopback; one connection to card
// 1's platformd commits the time-zone item, alternating two zones, and each commit is timed from
// the request to its reply and to the moment every card's localtime link names the new zone.
// The floor is etcd's own put on the same cluster, timed in the same rounds. Prints the median
// and p99 of each, in microseconds.
//
//   cluster_commit [ROUNDS]     (default 200)
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "bench_children.h"
#include "etcd/etcd.h"
#include "etcd_cluster.h"
#include "platform/proto.h"
#include "platform/proto_cfg.h"
#include "platform/tuple.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace proto = platform::proto;
constexpr int kCards = 3;

double us_since(Clock::time_point t) {
    return std::chrono::duration<double, std::micro>(Clock::now() - t).count();
}

void report(const char *what, std::vector<double> us) {
    if (us.empty())
        return;
    std::sort(us.begin(), us.end());
    size_t p99 = std::min(us.size() - 1, us.size() * 99 / 100);
    printf("%-44s median %7.0f us   p99 %7.0f us   (n=%zu)\n", what, us[us.size() / 2], us[p99],
           us.size());
}

bool names_zone(const std::string &link, const std::string &zone) {
    char target[PATH_MAX];
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0)
        return false;
    std::string t(target, size_t(n));
    return t.size() > zone.size() && t.compare(t.size() - zone.size(), zone.size(), zone) == 0 &&
           t[t.size() - zone.size() - 1] == '/';
}

using bench::spawn;
using bench::stop_all;

}  // namespace

int main(int argc, char **argv) {
    int rounds = argc > 1 ? atoi(argv[1]) : 200;
    ts::EtcdCluster cl;
    if (!cl.ready()) {
        fprintf(stderr, "cluster_commit: the etcd cluster did not come up (%s)\n",
                cl.dir().c_str());
        return 1;
    }
    std::string dir = cl.dir() + "/cards";
    mkdir(dir.c_str(), 0755);
    std::string bin = TZD_BIN_DIR;
    std::string links[kCards], sockets[kCards];
    for (int n = 0; n < kCards; n++) {
        std::string card = dir + "/card" + std::to_string(n);
        mkdir(card.c_str(), 0755);
        links[n] = card + "/localtime";
        sockets[n] = card + "/platformd.sock";
        std::vector<std::string> env = {
            "PLATFORM_ETCD=" + cl.endpoint_list(), "PLATFORM_ROUTER=bench",
            "PLATFORM_CARD=" + std::to_string(n),  "PLATFORM_RUNDIR=" + card,
            "PLATFORM_SOCKET=" + sockets[n],       "PLATFORM_STATEDIR=" + card + "/state",
            "PLATFORM_LOCALTIME=" + links[n],      "PLATFORM_LOG_STDERR=1"};
        spawn(bin + "/platformd", env, card + "/platformd.log");
        for (int i = 0; i < 100 && access(sockets[n].c_str(), F_OK) != 0; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        spawn(bin + "/tzd", env, card + "/tzd.log");
    }

    proto::Conn conn;
    std::string error;
    if (!conn.connect(sockets[1], 2000, &error) ||
        !proto::hello(conn, 1, uint32_t(getpid()), "cluster_commit", proto::HELLO_OBSERVER,
                      error)) {
        fprintf(stderr, "cluster_commit: card 1: %s\n", error.c_str());
        stop_all();
        return 1;
    }
    platform::etcd::Options eo;
    eo.endpoints = cl.endpoints();
    platform::etcd::Client etcd(eo);

    const std::pair<const char *, const char *> zones[] = {{"CET", "Europe/Paris"},
                                                           {"IST", "Asia/Kolkata"}};
    // Untimed commits until the dLRSC's verifier and every follower are there.
    auto commit = [&](int i, double *reply_us, double *everywhere_us) {
        auto [abbrev, zone] = zones[i & 1];
        proto::Writer w;
        w.str("/cfg/gl/clock/timezone").u32(0).bytes(platform::tuple_pack_strings({abbrev, zone}));
        uint32_t status = 0;
        std::string message;
        std::vector<uint8_t> body;
        auto start = Clock::now();
        if (conn.call(proto::T_CFG_COMMIT, w, status, message, body, 30000) != proto::Recv::ok ||
            status != 0)
            return false;
        *reply_us = us_since(start);
        auto deadline = start + std::chrono::seconds(5);
        for (int n = 0; n < kCards; n++)
            while (!names_zone(links[n], zone))
                if (Clock::now() > deadline)
                    return false;
                else
                    std::this_thread::sleep_for(std::chrono::microseconds(50));
        *everywhere_us = us_since(start);
        return true;
    };
    double a, b;
    int warm = 0;
    for (int i = 0; i < 600 && warm < 10; i++) {
        if (commit(i, &a, &b))
            warm++;
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (warm < 10) {
        fprintf(stderr, "cluster_commit: the cards did not come up (logs in %s)\n", dir.c_str());
        stop_all();
        return 1;
    }

    std::vector<double> reply, everywhere, put;
    int failed = 0;
    for (int i = 0; i < rounds; i++) {
        auto t = Clock::now();
        if (etcd.put_sync("/bench-floor/key", std::to_string(i)).ok())
            put.push_back(us_since(t));
        if (commit(i, &a, &b)) {
            reply.push_back(a);
            everywhere.push_back(b);
        } else {
            failed++;
        }
    }
    report("etcd put (the floor)", put);
    report("commit from card 1, request to reply", reply);
    report("commit from card 1, to in effect on all 3", everywhere);
    if (failed)
        printf("failed or late commits: %d\n", failed);
    stop_all();
    return failed ? 1 : 0;
}
