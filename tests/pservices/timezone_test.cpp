// The time-zone setter's refusals, each of which leaves the zone in effect as it was. (What it
// accepts, and the spelling of names, are the fuzz target's checks: tests/seeds.)
#include "platform/timezone.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

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

// A zoneinfo tree with the kinds of entries a setter must tell apart; a refusal says why and
// leaves the link as it was.
TEST(Setter, RefusalsLeaveThePreviousZoneInPlace) {
    const std::string dir = router.dir() + "/setter", root = dir + "/zoneinfo",
                      link = dir + "/etc/localtime";
    write_file(root + "/Europe/Paris", tzif("Paris"));
    write_file(root + "/Europe/Berlin", tzif("Berlin"));
    write_file(root + "/magic", "TZif");
    write_file(dir + "/outside/Evil", tzif("outside the tree"));
    write_file(dir + "/zoneinfX/Evil", tzif("beside the tree, its name as long"));
    // As in a system's tree, whose "localtime" leads to the link being set.
    fs::create_symlink(link, root + "/localtime");
    fs::create_symlink(dir + "/outside/Evil", root + "/Escape");
    fs::create_symlink("../zoneinfX/Evil", root + "/Sibling");
    setenv("TZDIR", root.c_str(), 1);
    std::string why;
    ASSERT_TRUE(platform::set_zone_link(root, link, "Europe/Berlin", why)) << why;
    std::string before = link_target(link);
    struct {
        std::string name, reason;
    } cases[] = {
        {root + "/Europe/Paris", "absolute"},
        {"../outside/Evil", "\"..\""},
        {"Europe", "is a directory"},
        {"magic", "shorter than a TZif header"},
        {"localtime", "resolves through " + link + ", the link being replaced"},
        {"Escape", "outside the zoneinfo root"},
        {"Sibling", "outside the zoneinfo root"},
        {"Nowhere/City", "No such file"},
    };
    for (auto &c : cases) {
        EXPECT_FALSE(platform::set_zone_link(root, link, c.name.c_str(), why)) << c.name;
        EXPECT_TRUE(ts::contains(why, c.reason)) << c.name << ": " << why;
        EXPECT_EQ(link_target(link), before) << c.name;
        EXPECT_EQ(platform::recorded_zone(link), "Europe/Berlin") << c.name;
    }
    // A link in a directory that other users may write to is not set.
    fs::create_directories(dir + "/open");
    fs::permissions(dir + "/open", fs::perms::all);
    EXPECT_FALSE(platform::set_zone_link(root, dir + "/open/localtime", "Europe/Paris", why));
    EXPECT_TRUE(ts::contains(why, "is writable by every user")) << why;
    // Through the C interface the reason stays available to the caller, until a success.
    EXPECT_EQ(conf_set_timezone_string(strdup("magic"), 0), 0);
    EXPECT_TRUE(ts::contains(platform::last_zone_error(), "shorter than a TZif header"))
        << platform::last_zone_error();
    EXPECT_EQ(conf_set_timezone_string(strdup("Europe/Paris"), 0), 1);
    EXPECT_EQ(platform::last_zone_error(), "");
}

}  // namespace
