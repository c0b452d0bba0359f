#include "platform/timezone.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/env.h"
#include "platform/tuple.h"
#include "platform_sysdb.h"
#include "test_env.h"

namespace fs = std::filesystem;

namespace {

std::string link_target(const std::string &link) {
    char buf[PATH_MAX];
    ssize_t n = readlink(link.c_str(), buf, sizeof buf);
    return n < 0 ? std::string() : std::string(buf, size_t(n));
}

std::string real(const std::string &path) {
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

// A zoneinfo tree of its own for each test, with the kinds of entries a setter must tell apart.
class Setter : public testing::Test {
  protected:
    void SetUp() override {
        dir = ptest::root() + "/" + testing::UnitTest::GetInstance()->current_test_info()->name();
        root = dir + "/zoneinfo";
        link = dir + "/etc/localtime";
        ptest::write_file(root + "/Europe/Paris", "TZif2 Paris");
        ptest::write_file(root + "/Europe/Berlin", "TZif2 Berlin");
        ptest::write_file(root + "/Etc/GMT+5", "TZif3 GMT+5");
        ptest::write_file(root + "/zone.tab", "# not a zone");
        ptest::write_file(root + "/notzif", "tzif lower case");
        ptest::write_file(dir + "/outside/Evil", "TZif2 outside the tree");
        fs::create_symlink("../Europe/Paris", root + "/Etc/Paris-link");
        fs::create_symlink(dir + "/outside/Evil", root + "/Escape");
        fs::create_directories(root + "/Escapes");
        fs::create_symlink("../../outside", root + "/Escapes/Out");
        setenv("TZDIR", root.c_str(), 1);
        // The process-wide link used by the C entry points starts absent in every test.
        unlink(platform::env().localtime.c_str());
        unlink(platform::zone_record_path(platform::env().localtime).c_str());
    }

    bool set(const char *name, std::string *why = nullptr) {
        std::string error;
        bool ok = platform::set_zone_link(root, link, name, error);
        if (why)
            *why = error;
        return ok;
    }

    std::string dir, root, link;
};

TEST(ZoneName, SpellingRules) {
    for (const char *good : {"UTC", "Europe/Paris", "Etc/GMT+5", "Etc/GMT-14",
                             "America/Port-au-Prince", "America/Argentina/Buenos_Aires"})
        EXPECT_EQ(platform::zone_name_problem(good), "") << good;
    std::string longest(platform::ZONE_NAME_MAX, 'a');
    EXPECT_EQ(platform::zone_name_problem(longest), "");
    for (const std::string &bad : std::vector<std::string>{
             "", "/etc/passwd", "..", "Europe/../../etc", "./UTC", "Europe//Paris", "Europe/",
             "Europe/Par is", "Europe/Paris\n", "Europe/Paris.bak", "Europe\\Paris",
             "\xc3\xa9t\xc3\xa9", longest + "a", std::string("UTC\0x", 5)})
        EXPECT_NE(platform::zone_name_problem(bad), "") << bad;
    EXPECT_NE(platform::zone_name_problem("Europe/../x").find("\"..\""), std::string::npos);
}

TEST_F(Setter, PointsTheLinkAtTheZoneAndRecordsIt) {
    ASSERT_TRUE(set("Europe/Paris"));
    EXPECT_EQ(link_target(link), real(root) + "/Europe/Paris");
    EXPECT_EQ(ptest::read_file(link), "TZif2 Paris");
    EXPECT_EQ(platform::recorded_zone(link), "Europe/Paris");

    ASSERT_TRUE(set("Etc/GMT+5"));
    EXPECT_EQ(link_target(link), real(root) + "/Etc/GMT+5");
    EXPECT_EQ(platform::recorded_zone(link), "Etc/GMT+5");
    // A link inside the tree that stays inside it is a zone like any other.
    ASSERT_TRUE(set("Etc/Paris-link"));
    EXPECT_EQ(ptest::read_file(link), "TZif2 Paris");
    // Nothing but the link and its record is left beside them.
    std::vector<std::string> names;
    for (auto &e : fs::directory_iterator(dir + "/etc"))
        names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"localtime", "localtime.zone"}));
}

TEST_F(Setter, RefusalsLeaveThePreviousZoneInPlace) {
    ASSERT_TRUE(set("Europe/Berlin"));
    std::string before = link_target(link);
    struct Case {
        std::string name, reason;
    } cases[] = {
        {root + "/Europe/Paris", "absolute"},
        {"../outside/Evil", "\"..\""},
        {"Europe", "is a directory"},
        {"notzif", "TZif"},
        {"Escape", "outside the zoneinfo root"},
        {"Escapes/Out/Evil", "outside the zoneinfo root"},
        {"Nowhere/City", "No such file"},
    };
    for (auto &c : cases) {
        std::string why;
        EXPECT_FALSE(set(c.name.c_str(), &why)) << c.name;
        EXPECT_NE(why.find(c.reason), std::string::npos) << c.name << ": " << why;
        EXPECT_EQ(link_target(link), before) << c.name;
        EXPECT_EQ(platform::recorded_zone(link), "Europe/Berlin") << c.name;
    }
    // A zoneinfo root that does not exist refuses everything.
    std::string error;
    EXPECT_FALSE(platform::set_zone_link(dir + "/nothing", link, "Europe/Paris", error));
    EXPECT_EQ(link_target(link), before);
}

TEST_F(Setter, RemovalAndOddLinkPaths) {
    ASSERT_TRUE(set("Europe/Paris"));
    ASSERT_TRUE(set(nullptr));
    struct stat st;
    EXPECT_NE(lstat(link.c_str(), &st), 0);
    EXPECT_EQ(platform::recorded_zone(link), "");
    EXPECT_TRUE(set(nullptr));  // already absent

    // The link's directory is made on demand; a directory in the link's place is never replaced.
    std::string error;
    std::string deep = dir + "/a/b/c/localtime";
    EXPECT_TRUE(platform::set_zone_link(root, deep, "Europe/Paris", error)) << error;
    EXPECT_EQ(ptest::read_file(deep), "TZif2 Paris");
    fs::create_directories(dir + "/taken/localtime/inside");
    EXPECT_FALSE(platform::set_zone_link(root, dir + "/taken/localtime", "Europe/Paris", error));
    EXPECT_FALSE(platform::set_zone_link(root, dir + "/taken/localtime", nullptr, error));
    EXPECT_TRUE(fs::is_directory(dir + "/taken/localtime/inside"));
}

TEST_F(Setter, CEntryPointUsesTheEnvironmentAndOwnsTheName) {
    const std::string &lt = platform::env().localtime;
    EXPECT_NE(conf_set_timezone_string(strdup("Europe/Paris"), 0), 0);
    EXPECT_EQ(link_target(lt), real(root) + "/Europe/Paris");
    EXPECT_EQ(conf_set_timezone_string(strdup("../../etc/passwd"), 0), 0);
    EXPECT_EQ(conf_set_timezone_string(strdup("Europe"), 0), 0);
    EXPECT_EQ(link_target(lt), real(root) + "/Europe/Paris");
    EXPECT_NE(conf_set_timezone_string(nullptr, 0), 0);
    EXPECT_EQ(link_target(lt), "");
}

sysdb_item item(const char *name, uint8_t flags, sysdb_tuple *value) {
    sysdb_item it{};
    it.name = name;
    it.flags = flags;
    it.path = "/cfg/gl/clock/timezone";
    it.value = value;
    return it;
}

TEST_F(Setter, NotifyAppliesZonesAndDeletions) {
    const std::string &lt = platform::env().localtime;
    auto make = [](std::vector<std::string> strings) {
        auto bytes = platform::tuple_pack_strings(strings);
        return platform::tuple_new(bytes.data(), bytes.size());
    };
    sysdb_tuple *paris = make({"CET", "Europe/Paris"});
    sysdb_tuple *one = make({"CET"});
    sysdb_tuple *bad = make({"x", "Europe"});
    const uint8_t garbage_bytes[] = {9, 9, 9};
    sysdb_tuple *garbage = platform::tuple_new(garbage_bytes, sizeof garbage_bytes);

    sysdb_item it = item("timezone", 0, paris);
    EXPECT_EQ(tz_lib_srp_notify(&it, nullptr, nullptr, nullptr, 7, 1), 0);
    EXPECT_EQ(link_target(lt), real(root) + "/Europe/Paris");

    for (sysdb_tuple *value : {one, bad, garbage}) {
        it = item("timezone", 0, value);
        EXPECT_EQ(tz_lib_srp_notify(&it, nullptr, nullptr, nullptr, 7, 1), -1);
    }
    it = item("ts", 0, garbage);
    EXPECT_EQ(tz_lib_srp_notify(&it, nullptr, nullptr, nullptr, 7, 1), 0);
    EXPECT_EQ(link_target(lt), real(root) + "/Europe/Paris");

    it = item("timezone", SYSDB_ITEM_DELETE, nullptr);
    EXPECT_EQ(tz_lib_srp_notify(&it, nullptr, nullptr, nullptr, 7, 1), 0);
    EXPECT_EQ(link_target(lt), "");
    EXPECT_EQ(tz_lib_srp_notify(nullptr, nullptr, nullptr, nullptr, 7, 1), -1);

    for (sysdb_tuple *t : {paris, one, bad, garbage})
        platform::tuple_free(t);
}

}  // namespace
