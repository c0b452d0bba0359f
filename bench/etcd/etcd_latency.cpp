// Latencies of the etcd client against a 3-member cluster of the system's etcd, started here on
// loopback (no fsync, as in the tests): a put, a transaction fenced on a role key's create
// revision, a quorum read, and a put until its event reaches a watcher's loop. Prints the median
// and p99 of each, in microseconds.
//
//   etcd_latency [ROUNDS]     (default 500)
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "etcd/etcd.h"
#include "etcd_cluster.h"

namespace {

using namespace platform::etcd;
using Clock = std::chrono::steady_clock;

void report(const char *what, std::vector<double> us) {
    std::sort(us.begin(), us.end());
    if (us.empty())
        return;
    size_t p99 = std::min(us.size() - 1, us.size() * 99 / 100);
    printf("%-28s median %7.0f us   p99 %7.0f us   (n=%zu)\n", what, us[us.size() / 2], us[p99],
           us.size());
}

double since(Clock::time_point t) {
    return std::chrono::duration<double, std::micro>(Clock::now() - t).count();
}

// Times CALL ROUNDS times after a few untimed ones; false when one of them failed.
bool measure(const char *what, int rounds, const std::function<bool(int)> &call) {
    for (int i = 0; i < 20; i++)
        if (!call(-1 - i))
            return false;
    std::vector<double> us;
    for (int i = 0; i < rounds; i++) {
        auto t = Clock::now();
        if (!call(i)) {
            fprintf(stderr, "%s failed in round %d\n", what, i);
            return false;
        }
        us.push_back(since(t));
    }
    report(what, us);
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    int rounds = argc > 1 ? atoi(argv[1]) : 500;
    ts::EtcdCluster cl;
    if (!cl.ready()) {
        fprintf(stderr, "etcd did not come up; logs in %s\n", cl.dir().c_str());
        return 1;
    }
    Options o;
    o.endpoints = cl.endpoints();
    Client c(o), watcher(o);
    Reply role = c.put_sync("/bench/dlrsc", "0");
    if (!role.ok())
        return 1;
    bool ok =
        measure("put", rounds,
                [&](int i) { return c.put_sync("/bench/cfg/a", std::to_string(i)).ok(); }) &&
        measure("fenced txn (put)", rounds,
                [&](int i) {
                    Txn t{{Compare::create_revision("/bench/dlrsc", role.revision)},
                          {TxnOp::put("/bench/cfg/a", std::to_string(i))},
                          {}};
                    return c.txn_sync(t).ok();
                }) &&
        measure("quorum read", rounds, [&](int) { return c.range_sync("/bench/cfg/a").ok(); });

    // A put until the watcher's loop has its event.
    int64_t seen = 0;
    watcher.watch("/bench/cfg/", true, c.range_sync("/bench/cfg/a").revision + 1,
                  [&](const WatchUpdate &u) {
                      if (u.kind == WatchUpdate::Kind::events)
                          seen = u.revision;
                  });
    ok = ok && measure("put to watcher's event", rounds, [&](int i) {
             Reply r = c.put_sync("/bench/cfg/a", std::to_string(i));
             if (!r.ok())
                 return false;
             auto until = Clock::now() + std::chrono::seconds(10);
             while (seen < r.revision && Clock::now() < until) {
                 pollfd p{watcher.fd(), POLLIN, 0};
                 if (poll(&p, 1, 100) > 0)
                     watcher.dispatch();
             }
             return seen >= r.revision;
         });
    return ok ? 0 : 1;
}
