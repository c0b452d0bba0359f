// The configuration database end to end: platformd's commit pipeline with verifiers and
// notifiees on libsysdb.so in processes of their own (platform_peer), platformctl and tzctl.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "support.h"

using ts::contains;
using ts::eventually;
using Lines = std::vector<std::string>;

namespace {

const std::string TZ_ITEM = "/cfg/gl/clock/timezone";

class CfgDb : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_GT(r.start_platformd(), 0); }
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
    bool count_is(pid_t p, const std::string &prefix, size_t n) {
        return eventually([&] { return r.lines(p, prefix).size() == n; });
    }
    ts::Router r;
};

TEST_F(CfgDb, CommitsAreAllOrNothingAndReachEveryNotifiee) {
    pid_t v = peer({"--verify"}), f1 = peer({"--notify"}, 1), f2 = peer({"--notify"}, 2);
    ASSERT_TRUE(ts::ended(set(TZ_ITEM, {"CET", "Europe/Paris"}), 0));
    // Verify, check, apply, applied, in that order and named below the registered path, all on
    // the peer's loop thread though it registered on another.
    const std::string cet = "timezone 0 CET|Europe/Paris";
    EXPECT_EQ(r.lines(v, ""), (Lines{"bind 0", "register-verify 0", "serving", "verify " + cet,
                                     "check " + cet, "apply " + cet, "applied " + cet}));

    struct {
        std::string path, first, reason;
    } refused[] = {{TZ_ITEM, "refuse", "no good: Not/AZone"},
                   {TZ_ITEM, "failapply", "failed to apply"},
                   {TZ_ITEM, "acceptzero", "status 0; no reason given"},
                   {"/cfg/other/item", "x", "no verifier"}};
    for (auto &c : refused)
        EXPECT_TRUE(ts::ended(set(c.path, {c.first, "Not/AZone"}), 1, c.reason));
    EXPECT_EQ(get(TZ_ITEM), "CET Europe/Paris\n");
    // The failed apply may have changed something: the verifier is handed the stored state back
    // through its callbacks, the item and the deletion of the one that is not stored.
    EXPECT_TRUE(count_is(v, "apply ", 4)) << r.log(v);
    EXPECT_EQ(r.lines(v, "apply "), (Lines{"apply " + cet, "apply timezone 0 failapply|Not/AZone",
                                           "apply " + cet, "apply ts 4 -"}));

    // A deletion goes through the verifier with the delete flag; one of nothing is refused.
    ASSERT_EQ(r.ctl({"cfg", "delete", TZ_ITEM}).status, 0);
    EXPECT_EQ(r.lines(v, "apply ").back(), "apply timezone 4 -");
    for (const char *cmd : {"get", "delete"})
        EXPECT_TRUE(ts::ended(r.ctl({"cfg", cmd, TZ_ITEM}), 4, "no such item"));
    EXPECT_EQ(r.lines(v, "verify ").size(), 7u);
    // The notifiees saw the good commits only.
    for (pid_t f : {f1, f2}) {
        EXPECT_TRUE(count_is(f, "notified ", 2)) << r.log(f);
        EXPECT_EQ(r.lines(f, ""), (Lines{"bind 0", "register-notify 0", "serving",
                                         "notified " + cet, "notified timezone 4 -"}));
    }
    // Values come back as the shell would read them.
    ASSERT_EQ(set(TZ_ITEM, {"IST", "it's quoted"}).status, 0);
    EXPECT_EQ(r.ctl({"cfg", "list", "/cfg/gl/"}).out, TZ_ITEM + " IST 'it'\\''s quoted'\n");
}

TEST_F(CfgDb, AVerifierThatDiesOrFallsSilentFailsTheCommitAndNothingHangs) {
    pid_t v = peer({"--verify"});
    ASSERT_EQ(set(TZ_ITEM, {"CET", "Europe/Paris"}).status, 0);
    EXPECT_TRUE(ts::ended(set(TZ_ITEM, {"dieapply", "Europe/Rome"}), 1, "went away"));
    EXPECT_EQ(r.wait_exit(v), 3);
    v = peer({"--verify"});
    ASSERT_EQ(r.ctl({"fault", "cfg-verify-timeout", "1000"}).status, 0);
    kill(v, SIGSTOP);
    EXPECT_TRUE(ts::ended(set(TZ_ITEM, {"WET", "Europe/Lisbon"}), 1, "did not answer"));
    EXPECT_EQ(get(TZ_ITEM), "CET Europe/Paris\n");

    // The late answer to the timed-out commit is ignored; the next commit is served normally.
    kill(v, SIGCONT);
    ASSERT_TRUE(count_is(v, "check ", 1)) << r.log(v);
    EXPECT_TRUE(ts::ended(set(TZ_ITEM, {"EET", "Europe/Athens"}), 0));
    EXPECT_EQ(get(TZ_ITEM), "EET Europe/Athens\n");
    EXPECT_EQ(r.lines(v, "apply "), Lines{"apply timezone 0 EET|Europe/Athens"});
}

TEST_F(CfgDb, KillingPlatformdInABurstOfCommitsLeavesEachItemOldOrNew) {
    peer({"--verify", "--path=/cfg/test/"});
    constexpr int KEYS = 5;
    const std::string pad(3000, 'x');
    auto path = [](int k) { return "/cfg/test/k" + std::to_string(k); };
    std::atomic<int> sent[KEYS] = {}, acked[KEYS] = {}, total{0};
    std::thread writer([&] {  // until platformd is gone
        for (int i = 1;; i++) {
            std::string n = std::to_string(i);
            sent[i % KEYS] = i;
            if (set(path(i % KEYS), {n, n + pad}).status != 0)
                break;
            acked[i % KEYS] = i;
            total++;
        }
    });
    bool burst = eventually([&] { return total >= 40; });
    r.stop(r.platformd(), SIGKILL);
    writer.join();
    ASSERT_TRUE(burst);
    ASSERT_GT(r.start_platformd(), 0);

    for (int k = 0; k < KEYS; k++) {
        std::string got = get(path(k));
        int n = atoi(got.c_str());
        EXPECT_EQ(got, std::to_string(n) + " " + std::to_string(n) + pad + "\n") << "torn";
        EXPECT_EQ(n % KEYS, k);
        EXPECT_GE(n, acked[k].load()) << "an acknowledged commit was lost at " << path(k);
        EXPECT_LE(n, sent[k].load());
    }
}

}  // namespace
