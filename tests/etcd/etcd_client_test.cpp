// The etcd client against a real 3-member cluster: watches across a member's death and a
// compaction, quorum loss and a member cut off.
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "etcd/etcd.h"
#include "etcd_cluster.h"

namespace platform::etcd {
// Failures name the outcome.
void PrintTo(Outcome o, std::ostream *os) {
    *os << outcome_name(o);
}
}  // namespace platform::etcd

namespace {

using namespace platform::etcd;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

Options options(const std::vector<std::string> &endpoints) {
    Options o;
    o.endpoints = endpoints;
    return o;
}

// Runs C's callbacks on this thread, as the daemon's loop would, until DONE holds or TIMEOUT.
bool loop_until(Client &c, const std::function<bool()> &done,
                std::chrono::milliseconds timeout = 20s) {
    auto until = Clock::now() + timeout;
    while (!done()) {
        if (Clock::now() >= until)
            return false;
        pollfd p{c.fd(), POLLIN, 0};
        if (poll(&p, 1, 50) > 0)
            c.dispatch();
    }
    return true;
}

std::string value_of(Client &c, const std::string &key) {
    Reply r = c.range_sync(key);
    return r.ok() && r.kvs.size() == 1 ? r.kvs[0].value
                                       : "<" + std::string(outcome_name(r.outcome)) + ">";
}

#define ASSERT_CLUSTER(cl) \
    ASSERT_TRUE((cl).ready()) << "etcd did not come up; logs in " << (cl).dir()

// What a watch delivered, in order, as the loop received it.
struct Seen {
    std::vector<WatchUpdate> updates;
    std::vector<int64_t> revisions;  // of every event
    std::map<std::string, std::string> items;
    std::set<std::string> endpoints;  // where the stream was opened
    std::string last_endpoint;
    int64_t at = 0;  // the revision the receiver has caught up with

    void operator()(const WatchUpdate &u) {
        updates.push_back(u);
        if (u.kind == WatchUpdate::Kind::snapshot || u.kind == WatchUpdate::Kind::events)
            at = u.revision;
        if (u.kind == WatchUpdate::Kind::resumed) {
            endpoints.insert(u.endpoint);
            last_endpoint = u.endpoint;
        }
        if (u.kind == WatchUpdate::Kind::snapshot) {
            items.clear();
            for (auto &kv : u.kvs)
                items[kv.key] = kv.value;
        }
        for (auto &e : u.events) {
            revisions.push_back(e.kv.mod_revision);
            if (e.deleted)
                items.erase(e.kv.key);
            else
                items[e.kv.key] = e.kv.value;
        }
    }
    size_t count(WatchUpdate::Kind k) const {
        size_t n = 0;
        for (auto &u : updates)
            n += u.kind == k;
        return n;
    }
};

TEST(EtcdClient, WatchResumesAcrossTheLossOfItsMemberWithNoEventLostOrDoubled) {
    ts::EtcdCluster cl;
    ASSERT_CLUSTER(cl);
    Client writer(options(cl.endpoints()));
    Client watcher(options(cl.endpoints()));
    int64_t from = writer.put_sync("/r/cfg/start", "0").revision;
    ASSERT_GT(from, 0);

    Seen seen, again;  // resumed; read again after every break
    watcher.watch("/r/cfg/", true, from + 1, std::ref(seen));
    watcher.watch("/r/cfg/", true, from + 1, std::ref(again), true);
    ASSERT_TRUE(loop_until(watcher, [&] { return !seen.endpoints.empty(); }));

    // Writes go on from another thread while the watch's member dies and comes back, then hangs
    // (stopped, its connections open) and goes on.
    std::atomic<bool> stop{false};
    std::mutex mu;
    std::map<std::string, Outcome> writes;  // key -> outcome
    std::thread writing([&] {
        for (int i = 0; !stop; i++) {
            std::string key = "/r/cfg/k" + std::to_string(i);
            Reply r = writer.put_sync(key, std::to_string(i), 0, 3000);
            std::lock_guard lock(mu);
            writes[key] = r.outcome;
            std::this_thread::sleep_for(20ms);
        }
    });
    struct Fault {
        const char *what;
        std::function<void(int)> inflict, heal;
    } faults[] = {
        {"SIGKILL", [&](int m) { cl.kill(m); }, [&](int m) { ASSERT_TRUE(cl.start(m)); }},
        {"SIGSTOP", [&](int m) { cl.pause(m); }, [&](int m) { cl.resume(m); }},
    };
    auto events = [&] { return seen.revisions.size(); };
    for (auto &f : faults) {
        SCOPED_TRACE(f.what);
        size_t before = events();
        ASSERT_TRUE(loop_until(watcher, [&] { return events() >= before + 10; }));
        std::string in_use = seen.last_endpoint;
        int victim = cl.member_of(in_use);
        ASSERT_GE(victim, 0);
        f.inflict(victim);
        size_t at_fault = events();
        ASSERT_TRUE(loop_until(
            watcher, [&] { return events() >= at_fault + 20 && seen.last_endpoint != in_use; }))
            << "the watch did not move from " << in_use;
        f.heal(victim);
    }
    stop = true;
    writing.join();
    // Every write that ended is delivered before the loop lets go.
    int64_t last = writer.range_sync("/r/cfg/", true).revision;
    ASSERT_TRUE(loop_until(watcher, [&] { return seen.at >= last && again.at >= last; }));

    EXPECT_EQ(seen.count(WatchUpdate::Kind::snapshot), 0u);  // resumed, not read again
    EXPECT_EQ(again.count(WatchUpdate::Kind::snapshot), again.count(WatchUpdate::Kind::broken));
    EXPECT_GE(again.count(WatchUpdate::Kind::snapshot), 1u);
    for (size_t i = 1; i < seen.revisions.size(); i++)
        ASSERT_LT(seen.revisions[i - 1], seen.revisions[i])
            << "event " << i << " doubled or out of order";
    std::lock_guard lock(mu);
    for (auto &[key, outcome] : writes) {
        bool delivered = seen.items.count(key) != 0;
        if (outcome == Outcome::ok) {
            EXPECT_TRUE(delivered) << key << " acknowledged but never delivered";
        } else if (outcome != Outcome::unknown) {
            EXPECT_FALSE(delivered)
                << key << " failed (" << outcome_name(outcome) << ") yet stored";
        }
    }
    std::map<std::string, std::string> stored;
    for (auto &kv : writer.range_sync("/r/cfg/", true).kvs)
        if (kv.mod_revision > from)
            stored[kv.key] = kv.value;
    EXPECT_EQ(seen.items, stored);
    std::map<std::string, std::string> all;
    for (auto &kv : writer.range_sync("/r/cfg/", true).kvs)
        all[kv.key] = kv.value;
    EXPECT_EQ(again.items, all);  // its snapshots brought /r/cfg/start too
}

TEST(EtcdClient, WatchFromACompactedRevisionReadsTheRangeThenFollowsOn) {
    ts::EtcdCluster cl;
    ASSERT_CLUSTER(cl);
    Client c(options(cl.endpoints()));
    int64_t first = c.put_sync("/r/cfg/a", "1").revision;
    ASSERT_TRUE(c.put_sync("/r/cfg/b", "2").ok());
    ASSERT_TRUE(c.del_sync("/r/cfg/a").ok());
    Reply now = c.range_sync("/r/cfg/b");
    ASSERT_TRUE(c.compact_sync(now.revision).ok());

    Seen seen;
    c.watch("/r/cfg/", true, first, std::ref(seen));
    ASSERT_TRUE(loop_until(c, [&] { return seen.count(WatchUpdate::Kind::snapshot) == 1; }));
    EXPECT_EQ(seen.items, (std::map<std::string, std::string>{{"/r/cfg/b", "2"}}));
    EXPECT_GE(seen.updates.back().revision, now.revision);

    Reply next = c.put_sync("/r/cfg/c", "3");
    ASSERT_TRUE(loop_until(c, [&] { return seen.items.count("/r/cfg/c") == 1; }));
    EXPECT_EQ(seen.revisions, std::vector<int64_t>{next.revision});
}

TEST(EtcdClient, WithoutQuorumCallsEndInTimeAndSayWhetherAWriteMayHaveHappened) {
    ts::EtcdCluster cl;
    ASSERT_CLUSTER(cl);
    Options o = options(cl.endpoints());
    Client c(o);
    ASSERT_TRUE(c.put_sync("/r/cfg/a", "before").ok());
    Reply lease = c.lease_grant_sync(30);
    ASSERT_TRUE(lease.ok());
    cl.kill(1);
    cl.kill(2);
    // Writes that only reach dead members were never sent.
    Client dead(options({cl.endpoint(1), cl.endpoint(2)}));

    const int timeout = 1500;
    struct {
        const char *what;
        std::function<Reply()> call;
        Outcome expect;
    } cases[] = {
        {"read", [&] { return c.range_sync("/r/cfg/a", false, 0, timeout); }, Outcome::unavailable},
        {"local read", [&] { return c.range_sync("/r/cfg/a", false, 0, timeout, true); },
         Outcome::ok},
        {"put", [&] { return c.put_sync("/r/cfg/a", "during", 0, timeout); }, Outcome::unknown},
        {"fenced txn",
         [&] {
             return c.txn_sync({{Compare::absent("/r/dlrsc")}, {TxnOp::put("/r/dlrsc", "1")}, {}},
                               timeout);
         },
         Outcome::unknown},
        {"keep-alive", [&] { return c.lease_keepalive_sync(lease.lease, timeout); },
         Outcome::unavailable},
        {"put to dead members", [&] { return dead.put_sync("/r/cfg/a", "never", 0, timeout); },
         Outcome::unavailable},
        {"status of a live member", [&] { return c.status_sync(timeout); }, Outcome::ok},
    };
    for (auto &k : cases) {
        auto start = Clock::now();
        Reply r = k.call();
        auto took = Clock::now() - start;
        EXPECT_EQ(r.outcome, k.expect) << k.what << ": " << r.reason;
        EXPECT_LT(took, std::chrono::milliseconds(timeout) + 1s) << k.what;
    }

    // With the quorum back, the same client goes on with no help.
    ASSERT_TRUE(cl.start(1));
    Reply after;
    for (auto until = Clock::now() + 10s; Clock::now() < until;) {
        after = c.put_sync("/r/cfg/a", "after");
        if (after.ok())
            break;
    }
    EXPECT_TRUE(after.ok()) << after.reason;
    EXPECT_EQ(value_of(c, "/r/cfg/a"), "after");
}

// Drops every packet to one TCP port on loopback, in an nftables table of this test's own,
// removed again when it goes.
class CutOff {
  public:
    explicit CutOff(int port) : table_("tzd_etcd_test_" + std::to_string(getpid())) {
        std::string rules = "nft -f - <<'EOF'\ntable inet " + table_ +
                            " {\n chain out {\n  type filter hook output priority 0;\n"
                            "  oif lo tcp dport " +
                            std::to_string(port) + " drop\n }\n}\nEOF\n";
        ok_ = system(rules.c_str()) == 0;
    }
    ~CutOff() {
        if (ok_)
            ok_ = system(("nft delete table inet " + table_).c_str()) != 0;
    }
    bool ok() const { return ok_; }

  private:
    std::string table_;
    bool ok_ = false;
};

TEST(EtcdClient, AMemberCutOffCostsAWriteItsConnectTimeNotItsOutcome) {
    if (geteuid() != 0 || system("nft --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs root and nft to cut a member off; not run";
    ts::EtcdCluster cl;
    ASSERT_CLUSTER(cl);
    auto port = [&](int m) {
        return atoi(cl.endpoint(m).substr(cl.endpoint(m).rfind(':') + 1).c_str());
    };
    CutOff cut(port(0));
    ASSERT_TRUE(cut.ok());
    // The cut-off member is tried first: no connection is made, so the write is known not to
    // have been sent and goes to the next member.
    Client c(options(cl.endpoints()));
    Reply put = c.put_sync("/r/cfg/a", "1", 0, 3000);
    EXPECT_EQ(put.outcome, Outcome::ok) << put.reason;
    EXPECT_EQ(put.endpoint, cl.endpoint(1));
    Reply txn =
        c.txn_sync({{Compare::absent("/r/cfg/b")}, {TxnOp::put("/r/cfg/b", "2")}, {}}, 3000);
    EXPECT_EQ(txn.outcome, Outcome::ok) << txn.reason;
    Client only(options({cl.endpoint(0)}));
    EXPECT_EQ(only.put_sync("/r/cfg/a", "never", 0, 2000).outcome, Outcome::unavailable);
    EXPECT_EQ(value_of(c, "/r/cfg/a"), "1");
}

}  // namespace
