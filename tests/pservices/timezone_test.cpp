// The time-zone setter and the notification library: which names are zones, and the link that
// points at the zone in effect.
#include "platform/timezone.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/env.h"
#include "platform/tuple.h"
#include "platform_sysdb.h"
#include "support.h"

namespace fs = std::filesystem;

namespace {

const ts::Router &router = ts::shared_router();  // PLATFORM_LOCALTIME of this process

std::string link_target(const std::string &link) {
    std::error_code ec;
    return fs::read_symlink(link, ec).string();
}

void write_file(const std::string &path, const std::string &data) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << data;
}

// The smallest zone file a reader takes (one local time type, one abbreviation character), then
// TAG to tell the files apart.
std::string tzif(const std::string &tag) {
    std::string h = "TZif2" + std::string(15, '\0');
    for (uint32_t count : {0u, 0u, 0u, 0u, 1u, 1u})  // ut, std, leap, times, types, chars
        h += std::string{'\0', '\0', '\0', char(count)};
    return h + std::string(6, '\0') + "Z" + tag;
}

TEST(ZoneName, SpellingRules) {
    std::string longest(platform::ZONE_NAME_MAX, 'a');
    for (std::string good : {"UTC", "Europe/Paris", "Etc/GMT+5", "Etc/GMT-14",
                             "America/Port-au-Prince", "America/Argentina/Buenos_Aires"})
        EXPECT_EQ(platform::zone_name_problem(good), "") << good;
    EXPECT_EQ(platform::zone_name_problem(longest), "");
    for (const std::string &bad : std::vector<std::string>{
             "", "/etc/passwd", "..", "Europe/../../etc", "./UTC", "Europe//Paris", "Europe/",
             "Europe/Par is", "Europe/Paris\n", "Europe/Paris.bak", "Europe\\Paris",
             "\xc3\xa9t\xc3\xa9", longest + "a", std::string("UTC\0x", 5)})
        EXPECT_NE(platform::zone_name_problem(bad), "") << bad;
    EXPECT_TRUE(ts::contains(platform::zone_name_problem("Europe/../x"), "\"..\""));
}

// A zoneinfo tree of its own for each test, with the kinds of entries a setter must tell apart.
class Setter : public testing::Test {
  protected:
    void SetUp() override {
        dir = router.dir() + "/" + testing::UnitTest::GetInstance()->current_test_info()->name();
        root = dir + "/zoneinfo";
        link = dir + "/etc/localtime";
        write_file(root + "/Europe/Paris", tzif("Paris"));
        write_file(root + "/Europe/Berlin", tzif("Berlin"));
        write_file(root + "/Etc/GMT+5", tzif("GMT+5"));
        write_file(root + "/notzif", "tzif lower case");
        write_file(root + "/magic", "TZif");
        write_file(root + "/short", tzif("").substr(0, 47));
        write_file(dir + "/outside/Evil", tzif("outside the tree"));
        // As in a system's tree, whose "localtime" leads to the link being set.
        fs::create_symlink(link, root + "/localtime");
        fs::create_symlink("localtime", root + "/Via-localtime");
        fs::create_symlink("../Europe/Paris", root + "/Etc/Paris-link");
        fs::create_symlink(dir + "/outside/Evil", root + "/Escape");
        fs::create_directories(root + "/Escapes");
        fs::create_symlink("../../outside", root + "/Escapes/Out");
        setenv("TZDIR", root.c_str(), 1);
        real_root = fs::canonical(root).string();
    }
    bool set(const char *name, std::string *why = nullptr) {
        std::string error;
        bool ok = platform::set_zone_link(root, link, name, error);
        if (why)
            *why = error;
        return ok;
    }
    std::string dir, root, real_root, link;
};

TEST_F(Setter, PointsTheLinkAtTheZoneRecordsItAndRemovesIt) {
    for (const char *zone : {"Europe/Paris", "Etc/GMT+5"}) {
        ASSERT_TRUE(set(zone));
        EXPECT_EQ(link_target(link), real_root + "/" + zone);
        EXPECT_EQ(platform::recorded_zone(link), zone);
    }
    // A link inside the tree that stays inside it is a zone like any other; the new link points
    // at the file, so changing the link in the tree later does not move the zone in effect.
    ASSERT_TRUE(set("Etc/Paris-link"));
    EXPECT_EQ(link_target(link), real_root + "/Europe/Paris");
    EXPECT_EQ(platform::recorded_zone(link), "Etc/Paris-link");
    // Nothing but the link, its record (localtime.zone) and the setters' private lock is left.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir + "/etc"), {}), 3);
    struct stat st;
    ASSERT_EQ(stat((dir + "/etc/.localtime.lock").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u);

    ASSERT_TRUE(set(nullptr));
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    EXPECT_EQ(platform::recorded_zone(link), "");
    EXPECT_TRUE(set(nullptr));  // already absent

    // The link's directory is made on demand; a directory in the link's place is never replaced.
    std::string error;
    EXPECT_TRUE(platform::set_zone_link(root, dir + "/a/b/localtime", "Europe/Paris", error));
    EXPECT_EQ(ts::read_file(dir + "/a/b/localtime"), tzif("Paris"));
    fs::create_directories(dir + "/taken/localtime/inside");
    EXPECT_FALSE(platform::set_zone_link(root, dir + "/taken/localtime", "Europe/Paris", error));
    EXPECT_FALSE(platform::set_zone_link(root, dir + "/taken/localtime", nullptr, error));
    EXPECT_TRUE(fs::is_directory(dir + "/taken/localtime/inside"));
}

TEST_F(Setter, RefusalsLeaveThePreviousZoneInPlace) {
    ASSERT_TRUE(set("Europe/Berlin"));
    std::string before = link_target(link);
    struct {
        std::string name, reason;
    } cases[] = {
        {root + "/Europe/Paris", "absolute"},
        {"../outside/Evil", "\"..\""},
        {"Europe", "is a directory"},
        {"notzif", "TZif"},
        {"magic", "shorter than a TZif header"},
        {"short", "shorter than its TZif header announces"},
        {"localtime", "resolves through " + link + ", the link being replaced"},
        {"Via-localtime", "resolves through " + link + ", the link being replaced"},
        {"Escape", "outside the zoneinfo root"},
        {"Escapes/Out/Evil", "outside the zoneinfo root"},
        {"Nowhere/City", "No such file"},
    };
    for (auto &c : cases) {
        std::string why;
        EXPECT_FALSE(set(c.name.c_str(), &why)) << c.name;
        EXPECT_TRUE(ts::contains(why, c.reason)) << c.name << ": " << why;
        EXPECT_EQ(link_target(link), before) << c.name;
        EXPECT_EQ(platform::recorded_zone(link), "Europe/Berlin") << c.name;
    }
    // A link in a directory that other users may write to is not set.
    fs::create_directories(dir + "/open");
    fs::permissions(dir + "/open", fs::perms::all);
    std::string why;
    EXPECT_FALSE(platform::set_zone_link(root, dir + "/open/localtime", "Europe/Paris", why));
    EXPECT_TRUE(ts::contains(why, "is writable by every user")) << why;
    // Through the C interface the reason stays available to the caller, until a success.
    EXPECT_EQ(conf_set_timezone_string(strdup("magic"), 0), 0);
    EXPECT_TRUE(ts::contains(platform::last_zone_error(), "shorter than a TZif header"))
        << platform::last_zone_error();
    EXPECT_EQ(conf_set_timezone_string(strdup("Europe/Paris"), 0), 1);
    EXPECT_EQ(platform::last_zone_error(), "");
    // A zoneinfo root that does not exist refuses everything.
    std::string error;
    EXPECT_FALSE(platform::set_zone_link(dir + "/nothing", link, "Europe/Paris", error));
    EXPECT_EQ(link_target(link), before);
}

// A follower's notification library applies what it is told through the setter, on this
// process's PLATFORM_LOCALTIME and TZDIR, and refuses what is not a zone.
TEST_F(Setter, NotificationsApplyZonesAndDeletions) {
    const std::string &lt = platform::env().localtime;
    auto notify = [](const char *name, uint8_t flags, const std::vector<uint8_t> &bytes) {
        sysdb_tuple *value = flags ? nullptr : platform::tuple_new(bytes.data(), bytes.size());
        sysdb_item it{};
        it.name = name;
        it.flags = flags;
        it.path = "/cfg/gl/clock/timezone";
        it.value = value;
        int rc = tz_lib_srp_notify(&it, nullptr, nullptr, nullptr, 7, 1);
        platform::tuple_free(value);
        return rc;
    };
    auto tuple = platform::tuple_pack_strings;
    EXPECT_EQ(notify("timezone", 0, tuple({"CET", "Europe/Paris"})), 0);
    EXPECT_EQ(link_target(lt), real_root + "/Europe/Paris");
    for (auto bad : {tuple({"CET"}), tuple({"x", "Europe"}), std::vector<uint8_t>{9, 9, 9}})
        EXPECT_EQ(notify("timezone", 0, bad), -1);
    EXPECT_EQ(notify("ts", 0, {9, 9, 9}), 0);  // not the time-zone item: none of its business
    EXPECT_EQ(link_target(lt), real_root + "/Europe/Paris");
    EXPECT_EQ(notify("timezone", SYSDB_ITEM_DELETE, {}), 0);
    EXPECT_EQ(link_target(lt), "");
    EXPECT_EQ(tz_lib_srp_notify(nullptr, nullptr, nullptr, nullptr, 7, 1), -1);
}

}  // namespace
