// The whole system as an operator runs it: platformd, one tzd per card, and the command lines.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "support.h"

using namespace std::chrono_literals;
using ts::contains;
using ts::eventually;
namespace fs = std::filesystem;

namespace {

const std::string kItem = "/cfg/gl/clock/timezone";

class System : public ::testing::Test {
  protected:
    void SetUp() override {
        r.add_zones({"UTC", "Europe/Paris", "Europe/Berlin", "Asia/Kolkata", "America/New_York"});
    }
    pid_t start_tzd(int card) { return r.start(ts::bin("tzd"), {}, card); }
    // True once tzd on CARD answers queries.
    bool answers(int card) {
        return eventually([&] { return r.tzctl(card, {"complete", "CET"}).status == 0; });
    }
    // True once a commit of ABBR ZONE succeeds (the verifier may still be registering).
    bool commits(const std::string &abbr, const std::string &zone,
                 std::chrono::milliseconds timeout = 20s) {
        return eventually([&] { return set(abbr, zone).status == 0; }, timeout);
    }
    ts::Result set(const std::string &abbr, const std::string &zone) {
        return r.ctl({"cfg", "set", kItem, abbr, zone});
    }
    // True once tzd on CARD is through start-up: from then on it follows every role change.
    bool started(int card) {
        return eventually([&] {
            auto trace = r.run(ts::bin("platformctl"), {"trace", "tz_ltrace"}, card);
            return contains(trace.out, "dlrsc event = ");
        });
    }
    bool in_effect(int card, const std::string &zone) {
        return eventually([&] { return r.zone_in_effect(card) == zone; });
    }
    ts::Router r;
};

}  // namespace

TEST_F(System, CommitIsVerifiedAppliedAndRefusedWhenBad) {
    r.start_platformd();
    pid_t tzd = start_tzd(0);
    ASSERT_TRUE(answers(0));
    ASSERT_TRUE(commits("CET", "Europe/Paris")) << r.log(tzd);
    EXPECT_TRUE(in_effect(0, "Europe/Paris"));

    // Neither an unknown zone nor a directory of the tree is taken; the last good one stays.
    EXPECT_NE(set("XXX", "Nowhere/City").status, 0);
    EXPECT_NE(set("CET", "Europe").status, 0);
    auto got = r.ctl({"cfg", "get", kItem});
    EXPECT_EQ(got.out, "CET Europe/Paris\n") << got.err;
    EXPECT_EQ(r.zone_in_effect(0), "Europe/Paris");

    // A mismatched abbreviation is accepted with a warning; the zone is what counts.
    EXPECT_EQ(set("XYZ", "Europe/Berlin").status, 0);
    EXPECT_TRUE(in_effect(0, "Europe/Berlin"));
    EXPECT_EQ(r.ctl({"cfg", "delete", kItem}).status, 0);
    EXPECT_TRUE(in_effect(0, ""));
}

TEST_F(System, FollowerCardFollowsAndRolesSwap) {
    r.start_platformd();
    pid_t t0 = start_tzd(0), t1 = start_tzd(1);
    ASSERT_TRUE(answers(0) && answers(1));
    ASSERT_TRUE(commits("IST", "Asia/Kolkata")) << r.log(t0);
    EXPECT_TRUE(in_effect(0, "Asia/Kolkata"));
    EXPECT_TRUE(in_effect(1, "Asia/Kolkata")) << r.log(t1);

    // Card 1 takes the role: it verifies from now on, card 0 follows; and back.
    ASSERT_EQ(r.ctl({"role", "set", "1"}).status, 0);
    ASSERT_TRUE(commits("EST", "America/New_York", 30s)) << r.log(t1);
    EXPECT_TRUE(in_effect(1, "America/New_York"));
    EXPECT_TRUE(in_effect(0, "America/New_York"));
    ASSERT_EQ(r.ctl({"role", "set", "0"}).status, 0);
    ASSERT_TRUE(commits("CET", "Europe/Paris", 30s));
    EXPECT_TRUE(in_effect(0, "Europe/Paris"));
    EXPECT_TRUE(in_effect(1, "Europe/Paris"));
    EXPECT_NE(set("CET", "Nowhere/City").status, 0);
}

TEST_F(System, StartWithoutPlatformdEndsWithItsRecord) {
    // The state-change thread cannot register for role events: the service raises its record
    // and ends (a supervisor restarts it).
    pid_t tzd = start_tzd(0);
    EXPECT_EQ(r.wait_exit(tzd), 255) << r.log(tzd);
    EXPECT_TRUE(contains(r.records(0), "sysmgr_register_lr_event failed")) << r.records(0);
}

TEST_F(System, StartUpWaitsForTheLrDaemonAndServesQueriesMeanwhile) {
    r.start_platformd();
    ASSERT_EQ(r.ctl({"fault", "lrd-fail", "20"}).status, 0);
    pid_t tzd = start_tzd(0);
    // The CLI thread answers while start-up still polls the LR daemon.
    ASSERT_TRUE(answers(0)) << r.log(tzd);
    EXPECT_TRUE(ts::ended(set("CET", "Europe/Paris"), 1,
                          "; the dLRSC role is on card 0, whose tzd (pid " + std::to_string(tzd) +
                              ") is up but not registered"));
    EXPECT_TRUE(r.running(tzd));
    // Once the LR daemon answers, start-up goes on to register as verifier.
    EXPECT_TRUE(commits("CET", "Europe/Paris", 30s)) << r.log(tzd);
    EXPECT_TRUE(in_effect(0, "Europe/Paris"));
    auto trace = r.ctl({"trace", "tz_ltrace"});
    EXPECT_TRUE(contains(trace.out, "dlrsc event = 4")) << trace.out << trace.err;
}

// A restart of platformd leaves the role with the card that held it: that card's tzd stays the
// verifier, and the other follows.
TEST_F(System, TheRoleStaysWithItsCardWhenPlatformdRestarts) {
    r.start_platformd();
    pid_t t0 = start_tzd(0), t1 = start_tzd(1);
    ASSERT_TRUE(started(0) && started(1));
    ASSERT_EQ(r.ctl({"role", "set", "1"}).status, 0);
    ASSERT_TRUE(commits("IST", "Asia/Kolkata", 30s)) << r.log(t1);

    r.stop(r.platformd(), SIGKILL);
    ASSERT_GT(r.start_platformd(), 0);
    EXPECT_TRUE(contains(r.ctl({"role", "show"}).out, "dLRSC: card 1"));
    ASSERT_TRUE(commits("CET", "Europe/Paris", 30s)) << r.log(t0) << r.log(t1);
    EXPECT_TRUE(in_effect(1, "Europe/Paris"));
    EXPECT_TRUE(in_effect(0, "Europe/Paris"));
    auto verifiers = ts::lines(r.ctl({"status"}).out, "  verifier ");
    ASSERT_EQ(verifiers.size(), 1u);
    EXPECT_TRUE(contains(verifiers[0], "card 1 pid " + std::to_string(t1) + " tzd"))
        << verifiers[0];
    EXPECT_TRUE(
        r.wait_line(r.platformd(), "platformd: card 1, which holds the dLRSC role, is back"))
        << r.log(r.platformd());
}

// A tzd started before the client library is installed waits, silently, for the library file it
// was built to load, and goes on once the file appears.
TEST_F(System, StartUpWaitsForTheClientLibraryToBeInstalled) {
    // An installed layout whose lib/ has libplatform but not yet libsysdb.
    const fs::path lib = fs::path(TZD_LIBWAIT_ROOT) / "lib";
    fs::create_directories(lib);
    fs::remove(lib / "libsysdb.so");
    fs::copy_file(fs::path(TZD_LIB_DIR) / "libplatform.so.0", lib / "libplatform.so.0",
                  fs::copy_options::overwrite_existing);
    r.start_platformd();
    pid_t tzd = r.start(std::string(TZD_LIBWAIT_ROOT) + "/sbin/tzd");
    ASSERT_TRUE(answers(0)) << r.log(tzd);
    std::this_thread::sleep_for(3s);  // a few rounds of the wait
    ASSERT_TRUE(r.running(tzd)) << r.log(tzd);
    EXPECT_EQ(r.log(tzd), "");
    EXPECT_TRUE(contains(set("CET", "Europe/Paris").err, "no verifier"));

    // A file that is there but not a library (yet): one line, and the wait goes on.
    std::ofstream(lib / "libsysdb.so") << "half a library";
    EXPECT_TRUE(eventually([&] { return contains(r.log(tzd), "tz_sysdb_lib_load: "); }))
        << r.log(tzd);
    std::this_thread::sleep_for(2s);
    ASSERT_TRUE(r.running(tzd)) << r.log(tzd);
    EXPECT_EQ(ts::lines(r.log(tzd)).size(), 1u) << r.log(tzd);

    // Installed as a package manager does it: written beside, then renamed into place.
    fs::copy_file(fs::path(TZD_LIB_DIR) / "libsysdb.so", lib / "libsysdb.so.new",
                  fs::copy_options::overwrite_existing);
    fs::rename(lib / "libsysdb.so.new", lib / "libsysdb.so");
    EXPECT_TRUE(commits("CET", "Europe/Paris")) << r.log(tzd);
    EXPECT_TRUE(in_effect(0, "Europe/Paris"));
    EXPECT_EQ(r.tzctl(0, {"zone-of", "Europe/Paris"}).status, 0);
    fs::remove(lib / "libsysdb.so");
}
