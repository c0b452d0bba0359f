// The configuration database end to end: platformd's commit pipeline with verifiers and
// notifiees in processes of their own (platform_peer), platformctl, tzctl, and libsysdb.so in
// this process.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include "platform/proto_cfg.h"
#include "platform/tuple.h"
#include "platform_events.h"
#include "platform_sysdb.h"
#include "support.h"

using namespace std::chrono_literals;
using ts::contains;
using ts::eventually;
using Lines = std::vector<std::string>;
namespace proto = platform::proto;

namespace {

const std::string TZ_ITEM = "/cfg/gl/clock/timezone";

// Peer lines "EVENT NAME FLAGS SEQUENCE VALUE" without the sequence.
Lines unseq(Lines lines) {
    for (auto &l : lines) {
        size_t p = 0;
        for (int i = 0; i < 3 && p != std::string::npos; i++)
            p = l.find(' ', p + 1);
        if (p != std::string::npos)
            l.erase(p, l.find(' ', p + 1) - p);
    }
    return lines;
}

uint32_t commit(ts::Client &c, const std::string &path, const std::vector<std::string> &strings,
                std::string *reason = nullptr) {
    proto::Writer w;
    w.str(path).u32(0).bytes(platform::tuple_pack_strings(strings));
    return c.call(proto::T_CFG_COMMIT, w, nullptr, reason).value_or(~0u);
}

// The tests share one router: libsysdb.so in this process reads its environment once. Each test
// has a platformd and a database of its own.
class CfgDb : public ::testing::Test {
  protected:
    void SetUp() override {
        r.fresh_state();
        ASSERT_GT(r.start_platformd(), 0);
    }
    void TearDown() override {
        if (HasFailure())
            std::cerr << "platformd log:\n" << r.log(r.platformd());
        r.stop_all();
    }
    // A platform_peer of CARD, once it serves.
    pid_t peer(const std::vector<std::string> &args, int card = 0) {
        pid_t p = r.start(ts::bin("platform_peer"), args, card);
        EXPECT_TRUE(r.wait_line(p, "serving")) << r.log(p);
        return p;
    }
    ts::Result set(const std::string &path, const std::vector<std::string> &strings) {
        std::vector<std::string> args = {"cfg", "set", path};
        args.insert(args.end(), strings.begin(), strings.end());
        return r.ctl(args);
    }
    std::string get(const std::string &path) { return r.ctl({"cfg", "get", path}).out; }

    ts::Router &r = ts::shared_router();
};

TEST_F(CfgDb, CommitsAreAllOrNothingAndReachEveryNotifiee) {
    pid_t v = peer({"--verify", ""}), f1 = peer({"--notify", ""}, 1),
          f2 = peer({"--notify", ""}, 2);
    ts::Result res = set(TZ_ITEM, {"CET", "Europe/Paris"});
    ASSERT_EQ(res.status, 0) << res.err;
    // Verify, check, apply, applied, in that order and named below the registered path, all on
    // the peer's loop thread though it registered on another.
    const std::string cet = "timezone 0 CET|Europe/Paris";
    EXPECT_EQ(unseq(r.lines(v, "")),
              (Lines{"bind 0", "register-verify 0", "serving", "verify " + cet, "check " + cet,
                     "apply " + cet, "applied " + cet}));
    for (pid_t f : {f1, f2})
        EXPECT_TRUE(eventually([&] { return r.lines(f, "notified ").size() == 1; })) << r.log(f);

    struct {
        std::string path, first, reason;
    } refused[] = {{TZ_ITEM, "refuse", "no good: Not/AZone"},
                   {TZ_ITEM, "failapply", "failed to apply"},
                   {"/cfg/other/item", "x", "no verifier"}};
    for (auto &c : refused) {
        res = set(c.path, {c.first, "Not/AZone"});
        EXPECT_EQ(res.status, 1) << c.first;
        EXPECT_TRUE(contains(res.err, c.reason)) << res.err;
    }
    EXPECT_EQ(get(TZ_ITEM), "CET Europe/Paris\n");
    EXPECT_EQ(r.ctl({"cfg", "get", "/cfg/other/item"}).status, 1);

    // A deletion goes through the verifier with the delete flag; one of nothing is refused.
    ASSERT_EQ(r.ctl({"cfg", "delete", TZ_ITEM}).status, 0);
    EXPECT_EQ(unseq(r.lines(v, "apply ")).back(), "apply timezone 4 -");
    for (const char *cmd : {"get", "delete"}) {
        res = r.ctl({"cfg", cmd, TZ_ITEM});
        EXPECT_EQ(res.status, 1);
        EXPECT_TRUE(contains(res.err, "no such item")) << res.err;
    }
    EXPECT_EQ(r.lines(v, "verify ").size(), 4u);
    // The notifiees saw the good commits only.
    for (pid_t f : {f1, f2}) {
        EXPECT_TRUE(eventually([&] { return r.lines(f, "notified ").size() == 2; }));
        EXPECT_EQ(unseq(r.lines(f, "notified ")),
                  (Lines{"notified " + cet, "notified timezone 4 -"}));
        EXPECT_TRUE(r.lines(f, "offthread").empty());
    }

    // Values come back as the shell would read them.
    ASSERT_EQ(set(TZ_ITEM, {"IST", "it's quoted"}).status, 0);
    EXPECT_EQ(r.ctl({"cfg", "list", "/cfg/gl/"}).out, TZ_ITEM + " IST 'it'\\''s quoted'\n");
}

TEST_F(CfgDb, AVerifierThatDiesOrFallsSilentFailsTheCommitAndNothingHangs) {
    pid_t v = peer({"--verify", ""});
    ASSERT_EQ(set(TZ_ITEM, {"CET", "Europe/Paris"}).status, 0);
    for (std::string how : {"die", "dieapply"}) {
        ts::Result res = set(TZ_ITEM, {how, "Europe/Rome"});
        EXPECT_EQ(res.status, 1);
        EXPECT_TRUE(contains(res.err, "went away")) << how << ": " << res.err;
        EXPECT_EQ(r.wait_exit(v), 3);
        v = peer({"--verify", ""});
    }
    ASSERT_EQ(r.ctl({"fault", "cfg-verify-timeout", "1000"}).status, 0);
    kill(v, SIGSTOP);
    ts::Result res = set(TZ_ITEM, {"WET", "Europe/Lisbon"});
    EXPECT_EQ(res.status, 1);
    EXPECT_TRUE(contains(res.err, "did not answer")) << res.err;
    EXPECT_EQ(get(TZ_ITEM), "CET Europe/Paris\n");

    // The late answer to the timed-out commit is ignored; the next commit is served normally.
    kill(v, SIGCONT);
    ASSERT_TRUE(eventually([&] { return r.lines(v, "check ").size() == 1; })) << r.log(v);
    res = set(TZ_ITEM, {"EET", "Europe/Athens"});
    EXPECT_EQ(res.status, 0) << res.err;
    EXPECT_EQ(get(TZ_ITEM), "EET Europe/Athens\n");
    EXPECT_EQ(unseq(r.lines(v, "apply ")), Lines{"apply timezone 0 EET|Europe/Athens"});
}

TEST_F(CfgDb, ANewRegistrantIsHandedTheStoredItems) {
    pid_t first = peer({"--verify", ""});
    ASSERT_EQ(set(TZ_ITEM, {"CET", "Europe/Paris"}).status, 0);
    ASSERT_EQ(set("/cfg/gl/clock/ts", {"x", "y"}).status, 0);
    // A clean exit unregisters and unbinds.
    EXPECT_EQ(r.stop(first), 0);
    EXPECT_EQ(r.lines(first, "un"), (Lines{"unregister 0", "unbind 0"}));

    pid_t v = peer({"--verify", "", "--scan"}), f = peer({"--notify", "", "--scan"}, 1);
    ASSERT_TRUE(eventually([&] { return r.lines(v, "scan-").size() == 4; })) << r.log(v);
    EXPECT_EQ(unseq(r.lines(v, "scan-")), (Lines{"scan-check timezone 0 CET|Europe/Paris",
                                                 "scan-applied timezone 0 CET|Europe/Paris",
                                                 "scan-check ts 0 x|y", "scan-applied ts 0 x|y"}));
    ASSERT_TRUE(eventually([&] { return r.lines(f, "scan-").size() == 2; })) << r.log(f);
    EXPECT_EQ(unseq(r.lines(f, "scan-")),
              (Lines{"scan-notified timezone 0 CET|Europe/Paris", "scan-notified ts 0 x|y"}));
    for (pid_t p : {v, f})
        EXPECT_TRUE(r.lines(p, "offthread").empty()) << r.log(p);
}

TEST_F(CfgDb, RegistrationsGoWithTheirProcessAndComeBackAfterARestart) {
    pid_t f = peer({"--notify", ""}, 1), v = peer({"--verify", ""});
    ASSERT_EQ(set(TZ_ITEM, {"CET", "Europe/Paris"}).status, 0);
    // A verifier that is killed loses its registration, and nothing else is lost.
    r.stop(v, SIGKILL);
    EXPECT_TRUE(eventually([&] {
        return contains(set(TZ_ITEM, {"EST", "x"}).err, "no verifier");
    }));
    EXPECT_EQ(get(TZ_ITEM), "CET Europe/Paris\n");
    peer({"--verify", ""});

    // After a restart of platformd both come back by themselves; the notifiee is brought up to
    // date, then notified as before.
    r.stop(r.platformd());
    ASSERT_GT(r.start_platformd(), 0);
    ASSERT_TRUE(eventually([&] { return r.lines(f, "notified ").size() == 2; })) << r.log(f);
    ASSERT_TRUE(eventually([&] { return set(TZ_ITEM, {"EST", "America/New_York"}).status == 0; }));
    ASSERT_TRUE(eventually([&] { return r.lines(f, "notified ").size() == 3; })) << r.log(f);
    EXPECT_EQ(unseq(r.lines(f, "notified ")),
              (Lines{"notified timezone 0 CET|Europe/Paris", "notified timezone 0 CET|Europe/Paris",
                     "notified timezone 0 EST|America/New_York"}));
}

TEST_F(CfgDb, KillingPlatformdInABurstOfCommitsLeavesEachItemOldOrNew) {
    peer({"--bind", "/cfg/burst/", "--verify", ""});
    constexpr int KEYS = 5;
    const std::string pad(3000, 'x');
    auto path = [](int k) { return "/cfg/burst/k" + std::to_string(k); };
    std::atomic<int> sent[KEYS] = {}, acked[KEYS] = {}, total{0};
    std::thread writer([&] {
        ts::Client c(r.socket(), 0, proto::HELLO_OBSERVER);
        for (int i = 1; c.ok(); i++) {
            std::string n = std::to_string(i);
            sent[i % KEYS] = i;
            uint32_t st = commit(c, path(i % KEYS), {n, n + pad});
            if (st == ~0u)
                return;
            acked[i % KEYS] = st == 0 ? i : acked[i % KEYS].load();
            total += st == 0;
        }
    });
    bool burst = eventually([&] { return total >= 40; });
    r.stop(r.platformd(), SIGKILL);
    writer.join();
    ASSERT_TRUE(burst);
    ASSERT_GT(r.start_platformd(), 0);

    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open_v2((r.statedir() + "/cfgdb.sqlite3").c_str(), &db, SQLITE_OPEN_READONLY,
                              nullptr),
              SQLITE_OK);
    sqlite3_stmt *st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char *>(sqlite3_column_text(st, 0)), "ok");
    sqlite3_finalize(st);
    sqlite3_close(db);
    for (int k = 0; k < KEYS; k++) {
        std::string got = get(path(k));
        int n = atoi(got.c_str());
        EXPECT_EQ(got, std::to_string(n) + " " + std::to_string(n) + pad + "\n") << "torn";
        EXPECT_EQ(n % KEYS, k);
        EXPECT_GE(n, acked[k].load()) << "an acknowledged commit was lost at " << path(k);
        EXPECT_LE(n, sent[k].load());
    }
}

TEST_F(CfgDb, TransientFailuresAreReportedAsSuchUntilTheyPass) {
    // Registrations answer 511 (no connection) for a count, or for a time.
    ASSERT_EQ(r.ctl({"fault", "cfg-register-enoconn-count", "2"}).status, 0);
    pid_t v = peer({"--verify", "", "--tries", "5"});
    EXPECT_EQ(r.lines(v, "register-"),
              (Lines{"register-verify 511", "register-verify 511", "register-verify 0"}));
    ASSERT_EQ(r.ctl({"fault", "cfg-register-enoconn", "1"}).status, 0);
    Lines regs = r.lines(peer({"--notify", "", "--tries", "20"}, 1), "register-");
    ASSERT_GT(regs.size(), 1u);
    EXPECT_EQ(regs.front(), "register-notify 511");
    EXPECT_EQ(regs.back(), "register-notify 0");

    // A bind is refused as transient while platformd is busy or cannot be reached.
    ASSERT_EQ(r.ctl({"fault", "cfg-bind-transient", "1"}).status, 0);
    Lines binds = r.lines(peer({"--notify", ""}, 2), "bind ");
    EXPECT_EQ(binds.front(), "bind 80000001");
    EXPECT_EQ(binds.back(), "bind 0");
    r.stop(r.platformd());
    pid_t late = r.start(ts::bin("platform_peer"), {"--notify", ""}, 3);
    EXPECT_TRUE(r.wait_line(late, "bind 80000002")) << r.log(late);
    ASSERT_GT(r.start_platformd(), 0);
    EXPECT_TRUE(r.wait_line(late, "serving")) << r.log(late);
}

TEST_F(CfgDb, TzctlSetsClearsAndShowsTheConfiguredZone) {
    ts::Result res = r.tzctl(3, {"set", "CET", "Europe/Paris"});
    EXPECT_EQ(res.status, 4) << res.err;  // nobody verifies yet
    EXPECT_TRUE(contains(res.err, "no verifier")) << res.err;

    pid_t v = peer({"--verify", ""});
    EXPECT_EQ(r.tzctl(3, {"show"}).out, "configured: none\nin effect on card 3: none\n");
    res = r.tzctl(3, {"set", "CET", "Europe/Paris"});
    ASSERT_EQ(res.status, 0) << res.err;
    EXPECT_EQ(unseq(r.lines(v, "apply ")), Lines{"apply timezone 0 CET|Europe/Paris"});
    res = r.tzctl(3, {"set", "refuse", "Bad/Zone"});
    EXPECT_EQ(res.status, 4);
    EXPECT_TRUE(contains(res.err, "no good: Bad/Zone")) << res.err;

    // The setter's record beside the card's link names the zone in effect.
    std::ofstream(r.localtime(3) + ".zone") << "Europe/Paris\n";
    EXPECT_EQ(r.tzctl(3, {"show"}).out,
              "configured: CET Europe/Paris\nin effect on card 3: Europe/Paris\n");
    res = r.tzctl(3, {"--json", "show"});
    EXPECT_TRUE(contains(res.out, "\"zone\": \"Europe/Paris\"")) << res.out;
    EXPECT_TRUE(contains(res.out, "\"in_effect\": \"Europe/Paris\"")) << res.out;

    ASSERT_EQ(r.tzctl(3, {"unset"}).status, 0);
    EXPECT_EQ(r.lines(v, "verify timezone 4 ").size(), 1u);
    res = r.tzctl(3, {"unset"});
    EXPECT_EQ(res.status, 1);
    EXPECT_TRUE(contains(res.err, "no time zone is configured")) << res.err;
    EXPECT_EQ(r.tzctl(3, {"set", "CET"}).status, 2);
}

// An event manager of this process whose loop runs on a thread of its own.
struct Loop {
    evm_handle_t evm = nullptr;
    pid_t tid = 0;
    Loop() {
        std::promise<void> made;
        std::thread([this, &made] {
            tid = gettid();
            evm = event_manager_create(0, nullptr, 8, nullptr);
            made.set_value();
            static char buf[128];
            event_context ctx{evm, 0, 0, buf, sizeof buf, 0, 0, 0, 0, 0};
            while (evm && event_block(&ctx) != -1)
                vk_event_dispatch(&ctx, 0);
        }).detach();
        made.get_future().wait();
    }
};

// What the in-process callbacks saw; each records a mistake as an event too.
struct Seen {
    std::mutex mu;
    Lines events;
    Loop *loop = nullptr;
    void add(const std::string &e, void *user) {
        std::lock_guard<std::mutex> g(mu);
        events.push_back(gettid() != loop->tid ? "offthread" : user != this ? "wrong user" : e);
    }
} seen;

int32_t ip_verify(sysdb_item *item, void *, uint32_t *accept, void *user) {
    seen.add("verify " + std::string(item->name), user);
    *accept = 1;
    return 0;
}
int32_t ip_apply(sysdb_item *item, void *user) {
    seen.add("apply " + std::string(item->name), user);
    return 0;
}

std::atomic<int> scanned{0}, scan_wrong{0};
int32_t scan_notify(sysdb_item *item, void *, void *) {
    scanned++;
    scan_wrong += gettid() == seen.loop->tid || !item->value;
    return 0;
}
const bgen_header scan_header = {"scan", 0, 1, -1, {}};
const bgen_handlers scan_handlers = {5, nullptr, nullptr, nullptr, nullptr, scan_notify, {}};
bgen_data scan_data = {&scan_header, &scan_handlers, 1, 0};

TEST_F(CfgDb, InProcessCallbacksRunOnTheLoopThreadAndEndWithUnregister) {
    static Loop loop;
    seen.loop = &loop;
    uint32_t handle = 0;
    auto reg = [&](sysdb_conn *conn) {
        return sysdb_register_verification(conn, "", 7, 0, ip_verify, ip_apply, &seen, loop.evm,
                                           nullptr, nullptr, 0, &handle);
    };
    EXPECT_EQ(reg(nullptr), uint32_t(ENOCONN));
    sysdb_conn *conn = nullptr;
    ASSERT_EQ(_sysdb_bind(&conn, "/cfg/ip/", 0), 0u);
    ASSERT_EQ(reg(conn), 0u);
    ts::Client c(r.socket(), 0, proto::HELLO_OBSERVER);
    // Enough items that a scan and a list need several pages.
    for (int i = 0; i < 100; i++)
        ASSERT_EQ(commit(c, "/cfg/ip/item" + std::to_string(i), {std::string(1000, 'v')}), 0u);
    {
        std::lock_guard<std::mutex> g(seen.mu);
        ASSERT_EQ(seen.events.size(), 200u);
        EXPECT_EQ(seen.events[14], "verify item7");
        EXPECT_EQ(seen.events[15], "apply item7");
    }
    // Without a notification registration on this connection the scan runs here and now.
    EXPECT_EQ(backend_scan(conn, &scan_data, "", 0, 0), 0u);
    EXPECT_EQ(scanned.load(), 100);
    EXPECT_EQ(scan_wrong.load(), 0);
    EXPECT_EQ(ts::lines(r.ctl({"cfg", "list", "/cfg/ip/"}).out).size(), 100u);

    EXPECT_EQ(sysdb_notification_unregister(conn, handle), 22u);  // not a notification handle
    EXPECT_EQ(sysdb_verification_unregister(conn, handle), 0u);
    EXPECT_EQ(sysdb_verification_unregister(conn, handle), 22u);
    std::string reason;
    EXPECT_EQ(commit(c, "/cfg/ip/item0", {"again"}, &reason), uint32_t(ESRCH));
    EXPECT_TRUE(contains(reason, "no verifier")) << reason;
    // A bound connection without platformd behind it has no use.
    r.stop(r.platformd());
    EXPECT_EQ(reg(conn), uint32_t(ENOCONN));
    EXPECT_EQ(_sysdb_unbind(conn), 0u);
}

TEST_F(CfgDb, BadRequestsAreAnsweredAndTheConnectionKept) {
    using proto::Writer;
    ts::Client c(r.socket(), 0, proto::HELLO_OBSERVER);
    auto bad_tuple = std::vector<uint8_t>{1, 0, 0, 0, 1, 9, 0, 0, 0, 'a'};
    struct {
        uint16_t type;
        Writer w;
        uint32_t status;
        std::string reason;
    } cases[] = {
        {proto::T_CFG_COMMIT, Writer().str("relative/path").u32(0).bytes(bad_tuple), EINVAL,
         "path"},
        {proto::T_CFG_COMMIT, Writer().str("/cfg/x").u32(0).bytes(bad_tuple), EINVAL, "tuple"},
        {proto::T_CFG_COMMIT, Writer().str("/cfg/x"), EINVAL, "request"},
        {proto::T_CFG_UNREGISTER, Writer().u32(77), ENOENT, "no such registration"},
        {0x1FE, Writer(), ENOSYS, "unknown"},
        {proto::T_CFG_GET, Writer().str("/cfg/none"), ENOENT, "no such item"},
    };
    for (auto &k : cases) {
        std::string reason;
        EXPECT_EQ(c.call(k.type, k.w, nullptr, &reason), k.status) << k.reason;
        EXPECT_TRUE(contains(reason, k.reason)) << reason;
    }
    EXPECT_EQ(commit(c, "/cfg/x", {"a"}), uint32_t(ESRCH));  // still served
    EXPECT_EQ(r.ctl({"cfg", "get", "cfg/x"}).status, 2);
    EXPECT_EQ(r.ctl({"cfg", "set", "/cfg/x"}).status, 2);
}

}  // namespace
