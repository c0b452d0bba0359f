// The hashes of the catalogue and the zoneinfo scan that fills it (inserts on their own are the
// fuzz target's checks: tests/seeds). Each test starts from an empty catalogue.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fake_platform.h"
#include "fresh_catalogue.h"
#include "tz_config.h"
#include "zone_tree.h"

namespace {

std::string join(std::vector<std::string> v, bool sort = false) {
    if (sort)
        std::sort(v.begin(), v.end());
    std::string out;
    for (auto &s : v)
        out += (out.empty() ? "" : " ") + s;
    return out;
}

std::string groups_of(const tz_zone_entry *z, bool sort = false) {
    std::string out;
    for (const tz_offset_entry *g = z->offset_list; g; g = g->next) {
        std::vector<std::string> locs(g->locations, g->locations + g->loc_count);
        out += " " + std::to_string(g->hours) + ":" + (g->minutes < 10 ? "0" : "") +
               std::to_string(g->minutes) + "[" + join(locs, sort) + "]";
    }
    return out;
}

// The groups of ABBREV with their locations sorted, or "absent".
std::string zone(const std::string &abbrev) {
    int32_t b = tz_hash_func(abbrev.c_str());
    for (const tz_zone_entry *z = b >= 0 ? &tz_hash_table[b] : nullptr; z && z->in_use; z = z->next)
        if (abbrev == z->name)
            return groups_of(z, true).substr(1);
    return "absent";
}

size_t loc_entries() {
    size_t n = 0;
    for (auto *e : tz_loc_hash_list)
        for (; e; e = e->next)
            n++;
    return n;
}

std::vector<std::string> log_texts() {
    std::vector<std::string> out;
    for (auto &l : fake::syslog_lines()) {
        EXPECT_EQ(l.priority, 3) << l.text;
        out.push_back(l.text);
    }
    fake::clear_log();
    return out;
}

std::string tz_now() {
    const char *tz = getenv("TZ");
    return tz ? tz : "<unset>";
}

using Texts = std::vector<std::string>;
using Hash = fake::FreshCatalogue;
using Scan = fake::FreshCatalogue;

TEST_F(Hash, WorkedValues) {
    for (auto [text, h] : std::vector<std::pair<const char *, int32_t>>{
             {"", 1}, {"UTC", 28}, {"CET", 75}, {"GMT", 104}, {"ABCDEFGHIJ", -81}, {"\xc3", -38}})
        EXPECT_EQ(tz_hash_func(text), h) << text;
    // The last text takes every one of the 61 primes.
    for (auto [text, h] : std::vector<std::pair<const char *, int32_t>>{
             {"", 1},
             {"UTC", 329},
             {"Europe/Paris", 404},
             {"America/New_York", 537},
             {"\xc3", 13},
             {"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ012345678", 196}})
        EXPECT_EQ(tz_loc_hash_func(text), h) << text;
    // Texts longer than the prime lists stay in range.
    std::string long_text(300, '\xff');
    EXPECT_LE(std::abs(tz_hash_func(long_text.c_str())), 108);
    EXPECT_LT(tz_loc_hash_func(long_text.c_str()), TZ_LOC_HASH_SIZE);
}

TEST_F(Scan, TreeGivesStandardAbbreviationsAndOffsetsOfItsFilesAndLinks) {
    fake::ZoneTree tree;
    ASSERT_LT(tree.root().size(), 240u) << "temporary directory too long for this test";
    tree.zone("Europe/Paris");
    tree.zone("Asia/Kolkata");
    tree.zone("America/Newfoundland/St_Johns", "America/St_Johns");
    tree.zone("UTC");
    tree.link("Link/Paris", "../Europe/Paris");
    tree.link("EuropeLink", "Europe");  // a zone, never entered
    // The skip list holds at the top level only.
    for (const char *skipped :
         {"posix/Europe/Paris", "right/UTC", "Factory", "iso3166.tab", "zone.tab", "posixrules"})
        tree.zone(skipped, "UTC");
    tree.zone("Sub/zone.tab", "Asia/Kolkata");
    tree.zone("Sub/posix/Kolkata", "Asia/Kolkata");
    tree.zone("zone1970.tab", "UTC");
    // Paths are limited to 255 characters: DEEP/UTC is kept, DEEP/Paris is left out.
    std::string deep(250 - tree.root().size() - 1, 'd');
    tree.zone(deep + "/UTC", "UTC");
    tree.zone(deep + "/Paris", "Europe/Paris");
    setenv("TZDIR", tree.root().c_str(), 1);
    setenv("TZ", "Europe/Paris", 1);

    ASSERT_EQ(tz_table_init(), 1);
    EXPECT_EQ(std::string(package_path), tree.root());
    EXPECT_EQ(tz_now(), "");
    EXPECT_EQ(log_texts(),
              Texts{"traverse,Path too long, skipped " + tree.root() + "/" + deep + "/Paris"});
    EXPECT_EQ(zone("CET"), "1:00[Europe/Paris Link/Paris]");
    EXPECT_EQ(zone("IST"), "5:30[Asia/Kolkata Sub/posix/Kolkata Sub/zone.tab]");
    EXPECT_EQ(zone("NST"), "-3:30[America/Newfoundland/St_Johns]");
    EXPECT_EQ(zone("UTC"), "0:00[UTC " + deep + "/UTC zone1970.tab]");
    EXPECT_NE(tz_lookup_location("EuropeLink"), nullptr);
    EXPECT_EQ(loc_entries(), 10u);

    // A directory that cannot be opened is left out; a null one ends the process.
    traverse("Nowhere/Else", 2);
    EXPECT_EQ(log_texts(), Texts{"traverse,Unable to open directory\nNowhere/Else,errno=0x2"});
    EXPECT_EXIT(traverse(nullptr, 0), ::testing::ExitedWithCode(1), "");
}

TEST_F(Scan, Roots) {
    fake::ZoneTree tree;
    tree.zone("UTC");
    const std::string &root = tree.root();
    const std::string too_long = "/" + std::string(254, 'd');
    const std::string unavailable =
        "Zoneinfo package is not available\n :No such file or directory";
    struct Case {
        std::optional<std::string> tzdir;
        int32_t result;
        std::string package_path_or_log;
    } cases[] = {
        {"", 0, unavailable},
        {root + "/missing", 0, unavailable},
        {too_long, 0, "Zoneinfo package path too long\n :" + too_long},
        {root, 1, root},
        {root + "/", 1, root},         // one trailing slash dropped
        {root + "//", 1, root + "/"},  // only one
        {std::nullopt, 1, "/usr/share/zoneinfo"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.tzdir.value_or("unset"));
        if (c.tzdir)
            setenv("TZDIR", c.tzdir->c_str(), 1);
        else
            unsetenv("TZDIR");
        setenv("TZ", "Sentinel", 1);
        ASSERT_EQ(tz_table_init(), c.result);
        if (c.result == 0) {
            EXPECT_EQ(log_texts(), Texts{c.package_path_or_log});
            EXPECT_EQ(tz_now(), "Sentinel");
            EXPECT_EQ(loc_entries(), 0u);
        } else {
            Texts logs = log_texts();  // this machine's tree has zones that are refused
            EXPECT_TRUE(logs.empty() || !c.tzdir);
            EXPECT_EQ(std::string(package_path), c.package_path_or_log);
            EXPECT_EQ(tz_now(), "");
            EXPECT_STREQ(tz_lookup_location("UTC"), "UTC");
        }
    }
}

}  // namespace
