// The command lines as an operator meets them: what tzctl set says of a zone before it commits,
// the exit statuses both tools share, a malformed environment, and tzd's lines when no syslog
// daemon listens.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "support.h"

using ts::contains;
using ts::eventually;

namespace {

const std::string kItem = "/cfg/gl/clock/timezone";

class Tools : public ::testing::Test {
  protected:
    void SetUp() override {
        r.add_zones({"UTC", "Europe/Paris", "Europe/Berlin", "Asia/Kolkata"});
        // A file of the tree that is no zone file: the catalogue lists it, the setter refuses it.
        std::ofstream(r.zoneinfo() + "/notes.txt") << "not a zone\n";
        std::ofstream(r.zoneinfo() + "/Notes") << "not a zone\n";
        chmod(r.dir().c_str(), 0755);  // for the calls as another user
    }
    // platformd and tzd on card 0, once tzd verifies commits.
    void start(const std::vector<std::string> &tzd_env = {}) {
        ASSERT_GT(r.start_platformd(), 0);
        tzd = r.start(ts::bin("tzd"), {}, 0, tzd_env);
        ASSERT_TRUE(eventually([&] {
            return r.ctl({"cfg", "set", kItem, "UTC", "UTC"}).status == 0;
        })) << r.log(tzd);
    }
    std::string stored() { return r.ctl({"cfg", "get", kItem}).out; }
    ts::Router r;
    pid_t tzd = -1;
};

}  // namespace

TEST_F(Tools, TzctlSetSaysWhatIsWrongWithAZoneBeforeCommitting) {
    start();
    const std::string warning =
        "tzctl: warning: the standard abbreviation of Europe/Paris is CET, "
        "not PST; \"PST Europe/Paris\" is stored as given\n";
    struct {
        std::vector<std::string> args;
        int status;
        std::string err, stored;
    } cases[] = {
        {{"CET", "Europe/Pariss"},
         1,
         "tzctl: Europe/Pariss is not a time zone of this system; did you mean Europe/Paris?\n",
         "UTC UTC\n"},
        {{"CET", "Europe/Barix"},  // two letters off: still near enough
         1,
         "tzctl: Europe/Barix is not a time zone of this system; did you mean Europe/Paris?\n",
         "UTC UTC\n"},
        {{"Paris"},
         1,
         "tzctl: Paris is not a time zone of this system; did you mean Europe/Paris?\n",
         "UTC UTC\n"},
        {{"XYZ", "Nowhere/City"},
         1,
         "tzctl: Nowhere/City is not a time zone of this system\n",
         "UTC UTC\n"},
        {{"X", "notes.txt"},
         1,
         "tzctl: 'notes.txt' is not a zone name (character 0x2e not allowed in zone name)\n",
         "UTC UTC\n"},
        {{"X", "Notes"},
         1,
         "tzctl: Notes cannot be set: " + r.zoneinfo() +
             "/Notes is not a zone file (shorter than a TZif header)\n",
         "UTC UTC\n"},
        {{"PST", "Europe/Paris"}, 0, warning, "PST Europe/Paris\n"},
        {{"Asia/Kolkata"}, 0, "", "IST Asia/Kolkata\n"},
        {{"CET", "Europe/Berlin"}, 0, "", "CET Europe/Berlin\n"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        std::vector<std::string> args = {"set"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ts::Result res = r.tzctl(0, args);
        EXPECT_EQ(res.status, c.status);
        EXPECT_EQ(res.err, c.err);
        EXPECT_EQ(stored(), c.stored);
    }
}

// The same outcome is the same exit status in both tools: a refusal to another user, an answer of
// "none", a bad command line, nobody to ask.
TEST_F(Tools, BothToolsExitAlikeForTheSameOutcome) {
    start();
    auto as_nobody = [&](const std::string &tool, std::vector<std::string> args) {
        args.insert(args.begin(),
                    {"--reuid=65534", "--regid=65534", "--clear-groups", ts::bin(tool)});
        return r.run("/usr/bin/setpriv", args);
    };
    const std::vector<std::string> no_platformd = {"PLATFORM_SOCKET=" + r.dir() + "/none",
                                                   "PLATFORM_RUNDIR=" + r.dir() + "/none"};
    struct {
        const char *outcome;
        int status;
        ts::Result tzctl, platformctl;
    } cases[] = {
        {"refused to another user", 1, as_nobody("tzctl", {"set", "Europe/Paris"}),
         as_nobody("platformctl", {"cfg", "set", kItem, "CET", "Europe/Paris"})},
        {"none", 4, r.tzctl(0, {"zone-of", "Nowhere/City"}), r.ctl({"cfg", "get", "/cfg/no/item"})},
        {"bad command line", 2, r.tzctl(0, {"set", "a", "b", "c"}), r.ctl({"role", "set"})},
        {"not reachable", 3, r.run(ts::bin("tzctl"), {"unset"}, 0, no_platformd),
         r.run(ts::bin("platformctl"), {"status"}, 0, no_platformd)},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.outcome);
        EXPECT_EQ(c.tzctl.status, c.status) << c.tzctl.err;
        EXPECT_EQ(c.platformctl.status, c.status) << c.platformctl.err;
    }
    EXPECT_EQ(stored(), "UTC UTC\n");
    // One table, in both help texts.
    std::string tzctl_help = r.tzctl(0, {"--help"}).out, ctl_help = r.ctl({"--help"}).out;
    auto table = tzctl_help.substr(tzctl_help.find("    0   done"));
    table = table.substr(0, table.find("\n\n") + 1);
    EXPECT_TRUE(contains(table, "    4   the answer is \"none\"")) << table;
    EXPECT_TRUE(contains(ctl_help, table)) << ctl_help;
}

// A card number that is not one is refused by every program, naming the variable; tzctl show
// says which card it asked about and why that one.
TEST_F(Tools, MalformedCardIsRefusedAndShowNamesItsCard) {
    ASSERT_GT(r.start_platformd(), 0);
    for (const char *value : {"1x", "-1", "1000", " 1"}) {
        SCOPED_TRACE(value);
        std::vector<std::string> bad = {std::string("PLATFORM_CARD=") + value};
        std::string says = std::string("PLATFORM_CARD=") + value + " is not a card number";
        EXPECT_TRUE(ts::ended(r.run(ts::bin("tzctl"), {"show"}, 1, bad), 2, "tzctl: " + says));
        EXPECT_TRUE(ts::ended(r.run(ts::bin("platformctl"), {"status"}, 1, bad), 2, says));
        pid_t t = r.start(ts::bin("tzd"), {}, 1, bad);
        EXPECT_EQ(r.wait_exit(t), 2);
        EXPECT_TRUE(contains(r.log(t), "tzd: " + says)) << r.log(t);
    }
    EXPECT_EQ(r.run(ts::bin("tzctl"), {"show"}, 1, {"PLATFORM_CARD"}).out,
              "configured: none\nin effect on card 0 (PLATFORM_CARD not set): none\n");
    EXPECT_EQ(r.tzctl(1, {"show"}).out,
              "configured: none\nin effect on card 1 (PLATFORM_CARD=1): none\n");
}

// Without a syslog daemon (no socket at /dev/log, or one nobody listens on) tzd's lines go to
// standard error, though the foreground switch is off.
TEST_F(Tools, TzdLinesReachStandardErrorWhenSyslogCannot) {
    ASSERT_GT(r.start_platformd(), 0);
    tzd = r.start("/usr/bin/unshare",
                  {"--mount", "sh", "-c",
                   "mount --bind /dev/null /dev/log 2>/dev/null; exec \"$0\"", ts::bin("tzd")},
                  0, {"PLATFORM_LOG_STDERR=0"});
    ASSERT_TRUE(eventually([&] {
        return r.ctl({"cfg", "set", kItem, "CET", "Nowhere/City"}).status == 1 &&
               contains(r.log(tzd), "Failed to lstat() " + r.zoneinfo() + "/Nowhere/City");
    })) << r.log(tzd);
}
