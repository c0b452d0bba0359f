// The configuration database end to end: platformd's commit pipeline with stub verifiers and
// notifiees in their own processes, platformctl, and libsysdb.so in this process.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include "harness.h"
#include "platform_events.h"
#include "platform_sysdb.h"

using namespace cfgtest;
using namespace std::chrono_literals;

namespace {

const std::string TZ_ITEM = "/cfg/gl/clock/timezone";

pid_t tid() {
    return pid_t(syscall(SYS_gettid));
}

Result set(const std::string &path, const std::vector<std::string> &strings) {
    std::vector<std::string> args = {"cfg", "set", path};
    args.insert(args.end(), strings.begin(), strings.end());
    return platformctl(args);
}

// What platformctl cfg get prints for PATH, or "" when it fails.
std::string get(const std::string &path) {
    Result r = platformctl({"cfg", "get", path});
    return r.status == 0 ? r.out : std::string();
}

bool status_has(const std::string &text) {
    return platformctl({"status"}).out.find(text) != std::string::npos;
}

bool contains(const std::string &haystack, const std::string &needle) {
    return haystack.find(needle) != std::string::npos;
}

// An event manager of this process whose loop runs on a thread of its own for the life of the
// process; in-process registrations name it.
struct Loop {
    evm_handle_t evm = nullptr;
    std::atomic<pid_t> tid{0};
};

Loop &loop() {
    static Loop *l = [] {
        auto *l = new Loop;
        std::promise<void> made;
        std::thread([l, &made] {
            l->tid = tid();
            l->evm = event_manager_create(0, nullptr, 8, nullptr);
            made.set_value();
            static char buf[128];
            event_context ctx{};
            ctx.evm = l->evm;
            ctx.buffer = buf;
            ctx.buffer_size = sizeof(buf);
            while (l->evm && event_block(&ctx) != -1)
                vk_event_dispatch(&ctx, 0);
        }).detach();
        made.get_future().wait();
        return l;
    }();
    return *l;
}

// What the in-process callbacks saw.
struct Seen {
    std::mutex mu;
    std::vector<std::string> events;
    bool offthread = false;
    bool wrong_user = false;

    void add(const std::string &e, void *user) {
        std::lock_guard<std::mutex> g(mu);
        events.push_back(e);
        offthread |= tid() != loop().tid;
        wrong_user |= user != this;
    }
    size_t count(const std::string &e) {
        std::lock_guard<std::mutex> g(mu);
        return size_t(std::count(events.begin(), events.end(), e));
    }
};
Seen seen;

int32_t ip_verify(sysdb_item *item, void *, uint32_t *accept, void *user) {
    seen.add("verify " + std::string(item->name) + " " + std::to_string(item->flags), user);
    *accept = 1;
    return 0;
}

int32_t ip_apply(sysdb_item *item, void *user) {
    seen.add("apply " + std::string(item->name), user);
    return 0;
}

int32_t ip_notify(sysdb_item *item, void *user) {
    seen.add("notify " + std::string(item->name), user);
    return 0;
}

class CfgDb : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        daemon_ = std::make_unique<Daemon>(dir() + "/state-" + name);
        ASSERT_TRUE(daemon_->start()) << daemon_->log();
    }
    void TearDown() override {
        if (HasFailure() && daemon_)
            fprintf(stderr, "platformd log:\n%s\n", daemon_->log().c_str());
    }

    std::unique_ptr<Daemon> daemon_;
};

// The sequence number in a stub line "EVENT NAME FLAGS SEQUENCE VALUE".
std::string sequence_of(const std::string &line) {
    std::vector<std::string> words;
    size_t start = 0;
    while (words.size() < 4) {
        size_t sp = line.find(' ', start);
        words.push_back(line.substr(start, sp - start));
        if (sp == std::string::npos)
            break;
        start = sp + 1;
    }
    return words.size() == 4 ? words[3] : std::string();
}

TEST_F(CfgDb, ACommitIsVerifiedAppliedStoredAndNotifiedToEveryNotifiee) {
    Stub verifier("verifier", {"--verify", ""});
    Stub follower1("follower1", {"--notify", ""}, 1);
    Stub follower2("follower2", {"--notify", ""}, 2);
    ASSERT_TRUE(verifier.wait_for("ready"));
    ASSERT_TRUE(follower1.wait_for("ready"));
    ASSERT_TRUE(follower2.wait_for("ready"));

    Result r = set(TZ_ITEM, {"CET", "Europe/Paris"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(get(TZ_ITEM), "CET Europe/Paris\n");

    // Verify, check, apply, applied, in that order, the name relative to the registered path.
    auto verifies = verifier.lines("verify ");
    ASSERT_EQ(verifies.size(), 1u) << verifier.log();
    std::string tail = "timezone 0 " + sequence_of(verifies[0]) + " CET|Europe/Paris";
    std::string log = verifier.log();
    size_t v = log.find("verify " + tail), c = log.find("check " + tail),
           a = log.find("apply " + tail), d = log.find("applied " + tail);
    ASSERT_NE(d, std::string::npos) << log;
    EXPECT_TRUE(v < c && c < a && a < d) << log;

    EXPECT_TRUE(follower1.wait_for("notified " + tail)) << follower1.log();
    EXPECT_TRUE(follower2.wait_for("notified " + tail)) << follower2.log();
    EXPECT_TRUE(verifier.lines("notif").empty());

    // Callbacks ran on each stub's loop thread, though it registered on another.
    for (Stub *s : {&verifier, &follower1, &follower2})
        EXPECT_TRUE(s->lines("offthread").empty()) << s->log();

    r = platformctl({"cfg", "list", "/cfg/gl/"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, TZ_ITEM + " CET Europe/Paris\n");
    r = set(TZ_ITEM, {"IST", "it's quoted"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(get(TZ_ITEM), "IST 'it'\\''s quoted'\n");
}

TEST_F(CfgDb, RefusedOrUnappliedCommitsLeaveTheLastGoodItem) {
    Stub verifier("verifier", {"--verify", ""});
    Stub follower("follower", {"--notify", ""}, 1);
    ASSERT_TRUE(verifier.wait_for("ready"));
    ASSERT_TRUE(follower.wait_for("ready"));
    ASSERT_EQ(set(TZ_ITEM, {"CET", "Europe/Paris"}).status, 0);

    Result r = set(TZ_ITEM, {"refuse", "Not/AZone"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "no good: Not/AZone")) << r.err;
    EXPECT_EQ(get(TZ_ITEM), "CET Europe/Paris\n");
    EXPECT_EQ(verifier.lines("apply ").size(), 1u) << verifier.log();

    r = set(TZ_ITEM, {"failapply", "Europe/Rome"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "failed to apply")) << r.err;
    EXPECT_EQ(get(TZ_ITEM), "CET Europe/Paris\n");

    // Nothing is registered to verify other paths.
    r = set("/cfg/other/item", {"x"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "no verifier")) << r.err;
    EXPECT_EQ(platformctl({"cfg", "get", "/cfg/other/item"}).status, 1);

    // A good commit still goes through, and the follower saw only the good ones.
    ASSERT_EQ(set(TZ_ITEM, {"EST", "America/New_York"}).status, 0);
    EXPECT_EQ(get(TZ_ITEM), "EST America/New_York\n");
    EXPECT_TRUE(eventually([&] { return follower.lines("notified ").size() == 2; }));
    auto notes = follower.lines("notified ");
    ASSERT_EQ(notes.size(), 2u) << follower.log();
    EXPECT_TRUE(contains(notes[0], "CET|Europe/Paris"));
    EXPECT_TRUE(contains(notes[1], "EST|America/New_York"));
}

TEST_F(CfgDb, AVerifierThatDiesOrFallsSilentFailsTheCommitAndNothingHangs) {
    {
        Stub verifier("verifier", {"--verify", ""});
        ASSERT_TRUE(verifier.wait_for("ready"));
        ASSERT_EQ(set(TZ_ITEM, {"CET", "Europe/Paris"}).status, 0);
        Result r = set(TZ_ITEM, {"die", "Europe/Rome"});
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(contains(r.err, "went away")) << r.err;
        EXPECT_EQ(verifier.wait_exit(), 3);
        EXPECT_EQ(get(TZ_ITEM), "CET Europe/Paris\n");
    }
    {
        Stub verifier("verifier", {"--verify", ""});
        ASSERT_TRUE(verifier.wait_for("ready"));
        Result r = set(TZ_ITEM, {"dieapply", "Europe/Rome"});
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(contains(r.err, "went away")) << r.err;
        EXPECT_EQ(verifier.wait_exit(), 3);
        EXPECT_EQ(get(TZ_ITEM), "CET Europe/Paris\n");
    }
    Stub verifier("verifier", {"--verify", ""});
    ASSERT_TRUE(verifier.wait_for("ready"));
    ASSERT_EQ(platformctl({"fault", "cfg-verify-timeout", "1000"}).status, 0);
    verifier.signal(SIGSTOP);
    Result r = set(TZ_ITEM, {"WET", "Europe/Lisbon"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "did not answer")) << r.err;
    EXPECT_EQ(get(TZ_ITEM), "CET Europe/Paris\n");
    // The late answer to the timed-out commit is ignored; the next commit is served normally.
    verifier.signal(SIGCONT);
    ASSERT_TRUE(eventually([&] { return verifier.lines("check ").size() == 1; })) << verifier.log();
    EXPECT_TRUE(contains(verifier.lines("check ")[0], "WET|Europe/Lisbon"));
    r = set(TZ_ITEM, {"EET", "Europe/Athens"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(get(TZ_ITEM), "EET Europe/Athens\n");
    EXPECT_TRUE(verifier.lines("apply ").size() == 1) << verifier.log();
}

TEST_F(CfgDb, ADeletionGoesThroughTheVerifierWithTheDeleteFlag) {
    Stub verifier("verifier", {"--verify", ""});
    Stub follower("follower", {"--notify", ""}, 1);
    ASSERT_TRUE(verifier.wait_for("ready"));
    ASSERT_TRUE(follower.wait_for("ready"));
    ASSERT_EQ(set(TZ_ITEM, {"CET", "Europe/Paris"}).status, 0);

    Result r = platformctl({"cfg", "delete", TZ_ITEM});
    ASSERT_EQ(r.status, 0) << r.err;
    auto verifies = verifier.lines("verify timezone 4 ");
    ASSERT_EQ(verifies.size(), 1u) << verifier.log();
    std::string tail = "timezone 4 " + sequence_of(verifies[0]) + " -";
    EXPECT_TRUE(verifier.has("verify " + tail));
    EXPECT_TRUE(verifier.has("apply " + tail));
    EXPECT_TRUE(follower.wait_for("notified " + tail)) << follower.log();

    r = platformctl({"cfg", "get", TZ_ITEM});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "no such item")) << r.err;
    r = platformctl({"cfg", "delete", TZ_ITEM});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "no such item")) << r.err;
    EXPECT_EQ(verifier.lines("verify ").size(), 2u);
}

TEST_F(CfgDb, ScanHandsTheStoredItemsToANewRegistrant) {
    {
        Stub first("first", {"--verify", ""});
        ASSERT_TRUE(first.wait_for("ready"));
        ASSERT_EQ(set(TZ_ITEM, {"CET", "Europe/Paris"}).status, 0);
        ASSERT_EQ(set("/cfg/gl/clock/ts", {"x", "y"}).status, 0);
        ASSERT_EQ(set("/cfg/gl/clockwork", {"not", "below"}).status, 1);  // no verifier there
        // A clean exit unregisters and unbinds.
        first.signal(SIGTERM);
        EXPECT_EQ(first.wait_exit(), 0);
        EXPECT_EQ(first.lines("unregister ").size(), 1u);
        EXPECT_TRUE(first.has("unregister 0")) << first.log();
        EXPECT_TRUE(first.has("unbind 0")) << first.log();
    }
    Stub verifier("verifier", {"--verify", "", "--scan"});
    Stub follower("follower", {"--notify", "", "--scan"}, 1);
    ASSERT_TRUE(verifier.wait_for("ready"));
    ASSERT_TRUE(follower.wait_for("ready"));
    EXPECT_TRUE(verifier.has("scan 0"));
    ASSERT_TRUE(eventually([&] { return verifier.lines("scan-applied ").size() == 2; }))
        << verifier.log();
    auto applied = verifier.lines("scan-applied ");
    EXPECT_TRUE(contains(applied[0], "scan-applied timezone 0 ") &&
                contains(applied[0], " CET|Europe/Paris"));
    EXPECT_TRUE(contains(applied[1], "scan-applied ts 0 ") && contains(applied[1], " x|y"));
    EXPECT_EQ(verifier.lines("scan-check ").size(), 2u);
    ASSERT_TRUE(eventually([&] { return follower.lines("scan-notified ").size() == 2; }))
        << follower.log();
    EXPECT_TRUE(contains(follower.lines("scan-notified ")[0], "CET|Europe/Paris"));
    for (Stub *s : {&verifier, &follower})
        EXPECT_TRUE(s->lines("offthread").empty()) << s->log();
}

TEST_F(CfgDb, AClientThatDiesLosesItsRegistrationsAndNothingElse) {
    Stub follower("follower", {"--notify", ""}, 1);
    ASSERT_TRUE(follower.wait_for("ready"));
    {
        Stub verifier("verifier", {"--verify", ""});
        ASSERT_TRUE(verifier.wait_for("ready"));
        ASSERT_EQ(set(TZ_ITEM, {"CET", "Europe/Paris"}).status, 0);
        ASSERT_TRUE(status_has("verifier /cfg/gl/clock/"));
        verifier.kill();
    }
    ASSERT_TRUE(eventually([] { return !status_has("verifier /cfg/gl/clock/"); }));
    Result r = set(TZ_ITEM, {"EST", "America/New_York"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "no verifier")) << r.err;
    EXPECT_EQ(get(TZ_ITEM), "CET Europe/Paris\n");

    // The follower's registration and the stored item outlived the verifier.
    Stub verifier("verifier", {"--verify", ""});
    ASSERT_TRUE(verifier.wait_for("ready"));
    ASSERT_EQ(set(TZ_ITEM, {"EST", "America/New_York"}).status, 0);
    EXPECT_TRUE(eventually([&] { return follower.lines("notified ").size() == 2; }))
        << follower.log();
}

TEST_F(CfgDb, RegistrationsAreMadeAgainAfterPlatformdRestarts) {
    Stub verifier("verifier", {"--verify", ""});
    Stub follower("follower", {"--notify", ""}, 1);
    ASSERT_TRUE(verifier.wait_for("ready"));
    ASSERT_TRUE(follower.wait_for("ready"));
    ASSERT_EQ(set(TZ_ITEM, {"CET", "Europe/Paris"}).status, 0);
    ASSERT_TRUE(eventually([&] { return follower.lines("notified ").size() == 1; }));

    daemon_->stop();
    ASSERT_TRUE(daemon_->start()) << daemon_->log();
    ASSERT_TRUE(eventually([] {
        return status_has("verifier /cfg/gl/clock/") && status_has("notify   /cfg/gl/clock/");
    })) << platformctl({"status"}).out;
    EXPECT_EQ(get(TZ_ITEM), "CET Europe/Paris\n");

    Result r = set(TZ_ITEM, {"EST", "America/New_York"});
    ASSERT_EQ(r.status, 0) << r.err;
    // The follower was brought up to date when its registration came back, then notified.
    ASSERT_TRUE(eventually([&] { return follower.lines("notified ").size() == 3; }))
        << follower.log();
    auto notes = follower.lines("notified ");
    EXPECT_TRUE(contains(notes[1], "CET|Europe/Paris"));
    EXPECT_TRUE(contains(notes[2], "EST|America/New_York"));
    EXPECT_TRUE(follower.lines("offthread").empty()) << follower.log();
}

TEST_F(CfgDb, KillingPlatformdInABurstOfCommitsLeavesEachItemOldOrNew) {
    Stub verifier("verifier", {"--bind", "/cfg/burst/", "--verify", ""});
    ASSERT_TRUE(verifier.wait_for("ready"));
    constexpr int KEYS = 5;
    const std::string pad(3000, 'x');
    auto path = [](int k) { return "/cfg/burst/k" + std::to_string(k); };
    std::atomic<int> sent[KEYS] = {}, acked[KEYS] = {};
    std::atomic<int> total{0};
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        Client c;
        if (!c.open())
            return;
        for (int i = 1; !stop; i++) {
            int k = i % KEYS;
            std::string n = std::to_string(i);
            sent[k] = i;
            uint32_t st = c.commit(path(k), {n, n + pad});
            if (st == ~0u)
                return;
            if (st == 0) {
                acked[k] = i;
                total++;
            }
        }
    });
    bool burst = eventually([&] { return total >= 40; });
    daemon_->stop(SIGKILL);
    stop = true;
    writer.join();
    ASSERT_TRUE(burst);
    ASSERT_TRUE(daemon_->start()) << daemon_->log();

    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open_v2((daemon_->statedir() + "/cfgdb.sqlite3").c_str(), &db,
                              SQLITE_OPEN_READONLY, nullptr),
              SQLITE_OK);
    sqlite3_stmt *st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char *>(sqlite3_column_text(st, 0)), "ok");
    sqlite3_finalize(st);
    sqlite3_close(db);

    Client c;
    ASSERT_TRUE(c.open());
    for (int k = 0; k < KEYS; k++) {
        std::vector<std::string> s;
        ASSERT_TRUE(c.get(path(k), s)) << path(k);
        ASSERT_EQ(s.size(), 2u);
        int n = std::stoi(s[0]);
        EXPECT_EQ(s[1], s[0] + pad) << "torn item at " << path(k);
        EXPECT_EQ(n % KEYS, k);
        EXPECT_GE(n, acked[k].load()) << "an acknowledged commit was lost at " << path(k);
        EXPECT_LE(n, sent[k].load());
    }
}

TEST_F(CfgDb, RegistrationFaultAnswers511ForACountOrForSeconds) {
    ASSERT_EQ(platformctl({"fault", "cfg-register-enoconn-count", "2"}).status, 0);
    Stub verifier("verifier", {"--verify", "", "--tries", "5"});
    ASSERT_TRUE(verifier.wait_for("ready"));
    EXPECT_EQ(verifier.lines("register-verify "),
              (std::vector<std::string>{"register-verify 511", "register-verify 511",
                                        "register-verify 0"}));

    ASSERT_EQ(platformctl({"fault", "cfg-register-enoconn", "2"}).status, 0);
    EXPECT_TRUE(status_has("registrations answered 511"));
    sysdb_conn *conn = nullptr;
    ASSERT_EQ(_sysdb_bind(&conn, "/cfg/gl/clock/", 0), 0u);
    uint32_t handle = 0;
    EXPECT_EQ(_sysdb_register_notification(conn, "", 7, 1, ip_notify, loop().evm, &seen, nullptr, 0,
                                           &handle),
              uint32_t(ENOCONN));
    EXPECT_TRUE(eventually([&] {
        return _sysdb_register_notification(conn, "", 7, 1, ip_notify, loop().evm, &seen, nullptr,
                                            0, &handle) == 0;
    }));
    EXPECT_EQ(sysdb_notification_unregister(conn, handle), 0u);
    EXPECT_EQ(_sysdb_unbind(conn), 0u);
}

TEST_F(CfgDb, BindIsTransientWhilePlatformdIsBusyOrUnreachable) {
    ASSERT_EQ(platformctl({"fault", "cfg-bind-transient", "2"}).status, 0);
    sysdb_conn *conn = nullptr;
    EXPECT_EQ(_sysdb_bind(&conn, "/cfg/gl/clock/", 0), 0x80000001u);
    EXPECT_EQ(conn, nullptr);
    EXPECT_TRUE(eventually([&] { return _sysdb_bind(&conn, "/cfg/gl/clock/", 0) == 0; }));
    ASSERT_NE(conn, nullptr);

    daemon_->stop();
    sysdb_conn *other = nullptr;
    uint32_t st = _sysdb_bind(&other, "/cfg/gl/clock/", 0);
    EXPECT_EQ(st & SYSDB_STATUS_TRANSIENT_MASK, SYSDB_STATUS_TRANSIENT) << std::hex << st;
    // A bound connection without platformd behind it: no usable connection.
    uint32_t handle = 0;
    EXPECT_EQ(sysdb_register_verification(conn, "", 7, 0, ip_verify, ip_apply, &seen, loop().evm,
                                          nullptr, nullptr, 0, &handle),
              uint32_t(ENOCONN));
    EXPECT_EQ(backend_scan(conn, nullptr, "", 0, 0), 22u);
    ASSERT_TRUE(daemon_->start());
    EXPECT_EQ(_sysdb_bind(&other, "/cfg/gl/clock/", 0), 0u);
    EXPECT_EQ(_sysdb_unbind(other), 0u);
    EXPECT_EQ(_sysdb_unbind(conn), 0u);
}

#ifdef CFGDB_TZCTL
TEST_F(CfgDb, TzctlSetsClearsAndShowsTheConfiguredZone) {
    const std::string link = dir() + "/tzctl-card3/localtime";
    std::vector<std::string> env = {"PLATFORM_CARD=3", "PLATFORM_LOCALTIME=" + link};
    auto tzctl = [&](const std::vector<std::string> &args) { return run(CFGDB_TZCTL, args, env); };

    Result r = tzctl({"set", "CET", "Europe/Paris"});
    EXPECT_EQ(r.status, 4) << r.err;  // nobody verifies yet
    EXPECT_TRUE(contains(r.err, "no verifier")) << r.err;

    Stub verifier("verifier", {"--verify", ""});
    ASSERT_TRUE(verifier.wait_for("ready"));
    r = tzctl({"show"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "configured: none\nin effect on card 3: none\n");

    r = tzctl({"set", "CET", "Europe/Paris"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(verifier.wait_for(
        "apply timezone 0 " + sequence_of(verifier.lines("verify ").at(0)) + " CET|Europe/Paris"));
    r = tzctl({"set", "refuse", "Bad/Zone"});
    EXPECT_EQ(r.status, 4);
    EXPECT_TRUE(contains(r.err, "no good: Bad/Zone")) << r.err;

    // The setter's record beside the card's localtime link names the zone in effect.
    std::filesystem::create_directories(dir() + "/tzctl-card3");
    {
        std::ofstream f(link + ".zone");
        f << "Europe/Paris\n";
    }
    r = tzctl({"show"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "configured: CET Europe/Paris\nin effect on card 3: Europe/Paris\n");
    r = tzctl({"--json", "show"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "\"zone\": \"Europe/Paris\"")) << r.out;
    EXPECT_TRUE(contains(r.out, "\"in_effect\": \"Europe/Paris\"")) << r.out;

    r = tzctl({"unset"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(verifier.lines("verify timezone 4 ").size(), 1u);
    r = tzctl({"unset"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "no time zone is configured")) << r.err;
    EXPECT_EQ(tzctl({"set", "CET"}).status, 2);
}
#endif

const bgen_header scan_header = {"scan", 0, 1, -1, {}};
std::atomic<int> scanned{0};
std::atomic<bool> scan_wrong{false};
int32_t scan_notify(sysdb_item *item, void *, void *) {
    scanned++;
    scan_wrong = scan_wrong || tid() == loop().tid || !item->value;
    return 0;
}
const bgen_handlers scan_handlers = {5, nullptr, nullptr, nullptr, nullptr, scan_notify, {}};
bgen_data scan_data = {&scan_header, &scan_handlers, 1, 0};

TEST_F(CfgDb, InProcessCallbacksRunOnTheLoopThreadAndEndWithUnregister) {
    EXPECT_EQ(sysdb_register_verification(nullptr, "", 7, 0, ip_verify, ip_apply, &seen, loop().evm,
                                          nullptr, nullptr, 0, nullptr),
              uint32_t(ENOCONN));
    sysdb_conn *conn = nullptr;
    ASSERT_EQ(_sysdb_bind(&conn, "/cfg/ip/", 0), 0u);
    uint32_t handle = 0;
    ASSERT_EQ(sysdb_register_verification(conn, "", 7, 0, ip_verify, ip_apply, &seen, loop().evm,
                                          nullptr, nullptr, 0, &handle),
              0u);
    Client c;
    ASSERT_TRUE(c.open());
    // Enough items that a scan needs several pages.
    const std::string big(1000, 'v');
    for (int i = 0; i < 100; i++)
        ASSERT_EQ(c.commit("/cfg/ip/item" + std::to_string(i), {big}), 0u);
    EXPECT_EQ(seen.count("verify item7 0"), 1u);
    EXPECT_EQ(seen.count("apply item7"), 1u);
    {
        std::lock_guard<std::mutex> g(seen.mu);
        EXPECT_FALSE(seen.offthread);
        EXPECT_FALSE(seen.wrong_user);
    }
    // Without a notification registration on this connection the scan runs here and now.
    EXPECT_EQ(backend_scan(conn, &scan_data, "", 0xFEDCBA99, 0), 0u);
    EXPECT_EQ(scanned.load(), 100);
    EXPECT_FALSE(scan_wrong.load());
    Result r = platformctl({"cfg", "list", "/cfg/ip/"});
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 100);

    EXPECT_EQ(sysdb_notification_unregister(conn, handle), 22u);  // not a notification handle
    EXPECT_EQ(sysdb_verification_unregister(conn, handle), 0u);
    EXPECT_EQ(sysdb_verification_unregister(conn, handle), 22u);
    std::string reason;
    EXPECT_EQ(c.commit("/cfg/ip/item0", {"again"}, &reason), uint32_t(ESRCH));
    EXPECT_TRUE(contains(reason, "no verifier")) << reason;
    EXPECT_EQ(_sysdb_unbind(conn), 0u);
    EXPECT_EQ(sysdb_register_verification(conn, "", 7, 0, ip_verify, ip_apply, &seen, loop().evm,
                                          nullptr, nullptr, 0, &handle),
              uint32_t(ENOCONN));
}

TEST_F(CfgDb, BadRequestsAreAnsweredAndTheConnectionKept) {
    using namespace platform::proto;
    Client c;
    ASSERT_TRUE(c.open());
    auto call = [&](uint16_t type, const Writer &w, std::string *msg = nullptr) {
        uint32_t status = ~0u;
        std::string message;
        std::vector<uint8_t> body;
        EXPECT_EQ(c.conn().call(type, w, status, message, body, 5000), Recv::ok);
        if (msg)
            *msg = message;
        return status;
    };
    Writer w;
    w.str("relative/path").u32(0).bytes(std::vector<uint8_t>{0, 0, 0, 0});
    EXPECT_EQ(call(T_CFG_COMMIT, w), uint32_t(EINVAL));
    w = Writer();
    w.str("/cfg/x").u32(0).bytes(std::vector<uint8_t>{1, 0, 0, 0, 1, 9, 0, 0, 0, 'a'});
    std::string msg;
    EXPECT_EQ(call(T_CFG_COMMIT, w, &msg), uint32_t(EINVAL));
    EXPECT_TRUE(contains(msg, "tuple")) << msg;
    w = Writer();
    w.str("/cfg/x");  // flags and value missing
    EXPECT_EQ(call(T_CFG_COMMIT, w), uint32_t(EINVAL));
    w = Writer();
    w.u32(77);
    EXPECT_EQ(call(T_CFG_UNREGISTER, w), uint32_t(ENOENT));
    EXPECT_EQ(call(0x1FE, Writer()), uint32_t(ENOSYS));
    w = Writer();
    w.str("/cfg/none");
    EXPECT_EQ(call(T_CFG_GET, w), uint32_t(ENOENT));
    // Still served.
    EXPECT_EQ(c.commit("/cfg/x", {"a"}, &msg), uint32_t(ESRCH));
    EXPECT_EQ(platformctl({"cfg", "get", "cfg/x"}).status, 2);
    EXPECT_EQ(platformctl({"cfg", "set", "/cfg/x"}).status, 2);
}

}  // namespace

int main(int argc, char **argv) {
    init_environment();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
