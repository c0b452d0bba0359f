// The etcd client's watches against a real 3-member cluster: across a member's death or hang, and
// from a compacted revision.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <thread>

#include "etcd/etcd.h"
#include "etcd_cluster.h"

namespace {

using namespace platform::etcd;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Runs C's callbacks on this thread, as the daemon's loop would, until DONE holds or TIMEOUT.
bool loop_until(Client &c, const std::function<bool()> &done,
                std::chrono::milliseconds timeout = 20s) {
    for (auto until = Clock::now() + timeout; !done();) {
        if (Clock::now() >= until)
            return false;
        pollfd p{c.fd(), POLLIN, 0};
        if (poll(&p, 1, 50) > 0)
            c.dispatch();
    }
    return true;
}

// What a watch delivered, in order, as the loop received it.
struct Seen {
    std::map<WatchUpdate::Kind, int> count;
    std::vector<int64_t> revisions;  // of every event
    std::map<std::string, std::string> items;
    std::string endpoint;  // where the stream was last opened
    int64_t at = 0;        // the revision the receiver has caught up with

    void operator()(const WatchUpdate &u) {
        count[u.kind]++;
        if (u.kind == WatchUpdate::Kind::resumed)
            endpoint = u.endpoint;
        else if (u.kind != WatchUpdate::Kind::broken)
            at = u.revision;
        if (u.kind == WatchUpdate::Kind::snapshot)
            items.clear();
        for (auto &kv : u.kvs)
            items[kv.key] = kv.value;
        for (auto &e : u.events) {
            revisions.push_back(e.kv.mod_revision);
            if (e.deleted)
                items.erase(e.kv.key);
            else
                items[e.kv.key] = e.kv.value;
        }
    }
};

TEST(EtcdClient, WatchResumesAcrossTheLossOfItsMemberWithNoEventLostOrDoubled) {
    ts::EtcdCluster cl;
    ASSERT_TRUE(cl.ready()) << "etcd did not come up; logs in " << cl.dir();
    Client writer({.endpoints = cl.endpoints()}), watcher({.endpoints = cl.endpoints()});
    int64_t from = writer.put_sync("/r/cfg/start", "0").revision;
    ASSERT_GT(from, 0);
    Seen seen;
    watcher.watch("/r/cfg/", true, from + 1, std::ref(seen));
    ASSERT_TRUE(loop_until(watcher, [&] { return !seen.endpoint.empty(); }));

    // Writes go on from another thread while the watch's member dies and comes back, then hangs
    // (stopped, its connections open) and goes on.
    std::jthread writing([&](std::stop_token st) {
        for (int i = 0; !st.stop_requested(); i++) {
            writer.put_sync("/r/cfg/k" + std::to_string(i), std::to_string(i), 0, 3000);
            std::this_thread::sleep_for(20ms);
        }
    });
    for (int sig : {SIGKILL, SIGSTOP}) {
        SCOPED_TRACE(sig == SIGKILL ? "SIGKILL" : "SIGSTOP");
        size_t before = seen.revisions.size();
        ASSERT_TRUE(loop_until(watcher, [&] { return seen.revisions.size() >= before + 10; }));
        std::string in_use = seen.endpoint;
        auto eps = cl.endpoints();
        int victim = int(std::ranges::find(eps, in_use) - eps.begin());
        ASSERT_LT(victim, cl.size()) << in_use;
        sig == SIGKILL ? cl.kill(victim) : cl.signal(victim, sig);
        size_t at_fault = seen.revisions.size();
        ASSERT_TRUE(loop_until(
            watcher,
            [&] { return seen.revisions.size() >= at_fault + 20 && seen.endpoint != in_use; }))
            << "the watch did not move from " << in_use;
        if (sig == SIGKILL)
            ASSERT_TRUE(cl.start(victim));
        else
            cl.signal(victim, SIGCONT);
    }
    writing.request_stop();
    writing.join();
    // Every write that ended is delivered before the loop lets go: what is stored, no more.
    Reply all = writer.range_sync("/r/cfg/", true);
    ASSERT_TRUE(loop_until(watcher, [&] { return seen.at >= all.revision; }));
    EXPECT_EQ(seen.count[WatchUpdate::Kind::snapshot], 0);  // resumed, not read again
    for (size_t i = 1; i < seen.revisions.size(); i++)
        ASSERT_LT(seen.revisions[i - 1], seen.revisions[i])
            << "event " << i << " doubled or out of order";
    std::map<std::string, std::string> stored;
    for (auto &kv : all.kvs)
        if (kv.mod_revision > from)
            stored[kv.key] = kv.value;
    EXPECT_EQ(seen.items, stored);
}

TEST(EtcdClient, WatchFromACompactedRevisionReadsTheRangeThenFollowsOn) {
    ts::EtcdCluster cl;
    ASSERT_TRUE(cl.ready()) << "etcd did not come up; logs in " << cl.dir();
    Client c({.endpoints = cl.endpoints()});
    int64_t first = c.put_sync("/r/cfg/a", "1").revision;
    ASSERT_TRUE(c.put_sync("/r/cfg/b", "2").ok());
    ASSERT_TRUE(c.del_sync("/r/cfg/a").ok());
    Reply now = c.range_sync("/r/cfg/b");
    ASSERT_TRUE(c.compact_sync(now.revision).ok());

    Seen seen;
    c.watch("/r/cfg/", true, first, std::ref(seen));
    ASSERT_TRUE(loop_until(c, [&] { return seen.count[WatchUpdate::Kind::snapshot] == 1; }));
    EXPECT_EQ(seen.items, (std::map<std::string, std::string>{{"/r/cfg/b", "2"}}));
    EXPECT_GE(seen.at, now.revision);

    Reply next = c.put_sync("/r/cfg/c", "3");
    ASSERT_TRUE(loop_until(c, [&] { return seen.items.count("/r/cfg/c") == 1; }));
    EXPECT_EQ(seen.revisions, std::vector<int64_t>{next.revision});
}

}  // namespace
