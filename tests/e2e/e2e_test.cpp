// The whole system as an operator runs it: platformd, one tzd per card, and the command lines:
// roles, the waits for the LR daemon and the client library, what tzctl set says of a zone before
// it commits, the exit statuses both tools share, a malformed environment, and tzd's lines when no
// syslog daemon listens.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "rig.h"

using namespace faults;
namespace fs = std::filesystem;

using System = RigTest;
using Tools = RigTest;

TEST_F(System, FollowerCardFollowsAndRolesSwap) {
    rig.start_platformd();
    ASSERT_GT(rig.start_tzd(0), 0);
    ASSERT_GT(rig.start_tzd(1), 0);
    ASSERT_TRUE(rig.commit_zone_eventually("IST", "Asia/Kolkata"));
    EXPECT_TRUE(rig.in_effect("Asia/Kolkata", {0, 1}));

    // Card 1 takes the role: it verifies from now on, card 0 follows; and back.
    for (auto [card, abbr, zone] :
         {std::tuple{"1", "EST", "America/New_York"}, std::tuple{"0", "CET", "Europe/Paris"}}) {
        ASSERT_EQ(rig.platformctl({"role", "set", card}).status, 0);
        ASSERT_TRUE(rig.commit_zone_eventually(abbr, zone, 30s)) << card;
        EXPECT_TRUE(rig.in_effect(zone, {0, 1})) << card;
    }
}

// Without platformd tzd ends with its record (and nothing of it used after exit); with an LR
// daemon that fails, it serves on, unregistered, and commits are refused saying so, until the LR
// daemon answers.
TEST_F(System, StartUpWaitsForTheLrDaemonAndServesQueriesMeanwhile) {
    pid_t tzd = rig.start(bin("tzd"));
    EXPECT_EQ(rig.wait_exit(tzd), 255) << rig.log(tzd);
    EXPECT_TRUE(contains(rig.records(0), "sysmgr_register_lr_event failed")) << rig.records(0);

    rig.start_platformd();
    ASSERT_EQ(rig.platformctl({"fault", "lrd-fail", "20"}).status, 0);
    ASSERT_GT(tzd = rig.start_tzd(), 0);
    EXPECT_TRUE(ended(rig.set("CET", "Europe/Paris"), 1,
                      "; the dLRSC role is on card 0, whose tzd (pid " + std::to_string(tzd) +
                          ") is up but not registered"));
    EXPECT_TRUE(rig.commit_zone_eventually("CET", "Europe/Paris", 30s));
    EXPECT_TRUE(rig.in_effect("Europe/Paris"));
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
    rig.start_platformd();
    pid_t tzd = rig.start(std::string(TZD_LIBWAIT_ROOT) + "/sbin/tzd");
    ASSERT_TRUE(eventually([&] { return rig.tzctl({"complete", "CET"}).status == 0; }));
    std::this_thread::sleep_for(3s);  // a few rounds of the wait
    ASSERT_TRUE(rig.running(tzd));
    EXPECT_EQ(rig.log(tzd), "");
    EXPECT_TRUE(contains(rig.set("CET", "Europe/Paris").err, "no verifier"));

    // Installed as a package manager does it: written beside, then renamed into place.
    fs::copy_file(fs::path(TZD_LIB_DIR) / "libsysdb.so", lib / "libsysdb.so.new",
                  fs::copy_options::overwrite_existing);
    fs::rename(lib / "libsysdb.so.new", lib / "libsysdb.so");
    EXPECT_TRUE(rig.commit_zone_eventually("CET", "Europe/Paris")) << rig.log(tzd);
    EXPECT_TRUE(rig.in_effect("Europe/Paris"));
}

TEST_F(Tools, TzctlSetSaysWhatIsWrongWithAZoneBeforeCommitting) {
    // Files of the tree that are no zone files: the catalogue lists them, the setter refuses them.
    std::ofstream(rig.zoneinfo() + "/notes.txt") << "not a zone\n";
    std::ofstream(rig.zoneinfo() + "/Notes") << "not a zone\n";
    rig.start_platformd();
    ASSERT_GT(rig.start_tzd(), 0);
    ASSERT_TRUE(rig.commit_zone_eventually("UTC", "UTC"));
    const std::string unknown = " is not a time zone of this system";
    const std::string paris = unknown + "; did you mean Europe/Paris?";
    struct {
        std::vector<std::string> args;
        std::string err, stored;  // no stored item: refused, with exit status 1
    } cases[] = {
        {{"set", "CET", "Europe/Pariss"}, "Europe/Pariss" + paris, ""},
        // two letters off: still near enough
        {{"set", "CET", "Europe/Barix"}, "Europe/Barix" + paris, ""},
        {{"set", "XYZ", "Nowhere/City"}, "Nowhere/City" + unknown, ""},
        {{"set", "X", "notes.txt"},
         "'notes.txt' is not a zone name (character 0x2e not allowed in zone name)",
         ""},
        {{"set", "X", "Notes"},
         "Notes cannot be set: " + rig.zoneinfo() +
             "/Notes is not a zone file (shorter than a TZif header)",
         ""},
        {{"set", "PST", "Europe/Paris"},
         "warning: the standard abbreviation of Europe/Paris is CET, not PST; \"PST "
         "Europe/Paris\" is stored as given",
         "PST Europe/Paris"},
        {{"set", "Asia/Kolkata"}, "", "IST Asia/Kolkata"},
    };
    std::string stored = "UTC UTC";
    for (auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        Result res = rig.tzctl(c.args);
        stored = c.stored.empty() ? stored : c.stored;
        EXPECT_EQ(res.status, c.stored.empty() ? 1 : 0);
        EXPECT_EQ(res.err, c.err.empty() ? "" : "tzctl: " + c.err + "\n");
        EXPECT_EQ(rig.stored_zone(), stored);
    }
}

// The same outcome is the same exit status in both tools: a refusal to another user, an answer of
// "none", a bad command line, nobody to ask.
TEST_F(Tools, BothToolsExitAlikeForTheSameOutcome) {
    rig.start_platformd();
    ASSERT_GT(rig.start_tzd(), 0);
    ASSERT_TRUE(rig.commit_zone_eventually("UTC", "UTC"));
    const std::vector<std::string> none = {"PLATFORM_SOCKET=" + rig.dir() + "/none",
                                           "PLATFORM_RUNDIR=" + rig.dir() + "/none"};
    struct {
        int status;
        Result tzctl, platformctl;
    } cases[] = {
        {1, rig.tzctl({"set", "Europe/Paris"}, NOBODY),
         rig.platformctl({"cfg", "set", TZ_ITEM, "CET", "Europe/Paris"}, NOBODY)},
        {4, rig.tzctl({"zone-of", "Nowhere/City"}),
         rig.platformctl({"cfg", "get", "/cfg/no/item"})},
        {2, rig.tzctl({"set", "a", "b", "c"}), rig.platformctl({"role", "set"})},
        {3, rig.run(bin("tzctl"), {"unset"}, 0, none),
         rig.run(bin("platformctl"), {"status"}, 0, none)},
    };
    for (auto &c : cases) {
        EXPECT_EQ(c.tzctl.status, c.status) << c.tzctl.err;
        EXPECT_EQ(c.platformctl.status, c.status) << c.platformctl.err;
    }
    EXPECT_EQ(rig.stored_zone(), "UTC UTC");
}

// A card number that is not one is refused by every program, naming the variable; tzctl show
// says which card it asked about and why that one.
TEST_F(Tools, MalformedCardIsRefusedAndShowNamesItsCard) {
    ASSERT_GT(rig.start_platformd(), 0);
    for (std::string value : {"1x", "-1", "1000", " 1"}) {
        std::vector<std::string> bad = {"PLATFORM_CARD=" + value};
        std::string says = "PLATFORM_CARD=" + value + " is not a card number";
        EXPECT_TRUE(ended(rig.run(bin("tzctl"), {"show"}, 1, bad), 2, "tzctl: " + says));
        EXPECT_TRUE(ended(rig.run(bin("platformctl"), {"status"}, 1, bad), 2, says));
        pid_t t = rig.start(bin("tzd"), {}, 1, bad);
        EXPECT_EQ(rig.wait_exit(t), 2);
        EXPECT_TRUE(contains(rig.log(t), "tzd: " + says)) << rig.log(t);
    }
    EXPECT_EQ(rig.run(bin("tzctl"), {"show"}, 1, {"PLATFORM_CARD"}).out,
              "configured: none\nin effect on card 0 (PLATFORM_CARD not set): none\n");
}

// Without a syslog daemon (no socket at /dev/log, or one nobody listens on) tzd's lines go to
// standard error, though the foreground switch is off.
TEST_F(Tools, TzdLinesReachStandardErrorWhenSyslogCannot) {
    ASSERT_GT(rig.start_platformd(), 0);
    pid_t tzd = rig.start("/usr/bin/unshare",
                          {"--mount", "sh", "-c",
                           "mount --bind /dev/null /dev/log 2>/dev/null; exec \"$0\"", bin("tzd")},
                          0, {"PLATFORM_LOG_STDERR=0"});
    ASSERT_TRUE(eventually([&] {
        return rig.set("CET", "Nowhere/City").status == 1 &&
               contains(rig.log(tzd), "Failed to lstat() " + rig.zoneinfo() + "/Nowhere/City");
    })) << rig.log(tzd);
}
