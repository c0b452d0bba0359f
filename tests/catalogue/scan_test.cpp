// The zoneinfo scan: small trees built in a temporary directory from copies of real zone files,
// and the machine's own zoneinfo tree against an independent walk.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "catalogue_util.h"
#include "fake_log.h"
#include "tz_config.h"

namespace fs = std::filesystem;
using cat::Group;

namespace {

class Scan : public ::testing::Test {
  protected:
    void SetUp() override {
        cat::reset_catalogue();
        fake::clear_log();
        saved_tz_ = std::make_unique<cat::ScopedEnv>("TZ", getenv("TZ"));
        saved_tzdir_ = std::make_unique<cat::ScopedEnv>("TZDIR", getenv("TZDIR"));
    }
    void TearDown() override {
        saved_tzdir_.reset();
        saved_tz_.reset();
        tzset();
    }

    void use_root(const std::string &value) { setenv("TZDIR", value.c_str(), 1); }

    static std::vector<std::string> log_texts() {
        std::vector<std::string> out;
        for (auto &l : fake::syslog_lines()) {
            EXPECT_EQ(l.priority, 3) << l.text;
            out.push_back(l.text);
        }
        return out;
    }

    static void expect_tz_empty() {
        const char *tz = getenv("TZ");
        ASSERT_NE(tz, nullptr) << "TZ must stay in the environment";
        EXPECT_STREQ(tz, "");
    }

    static std::vector<std::string> sorted(std::vector<std::string> v) {
        std::sort(v.begin(), v.end());
        return v;
    }

    cat::TempTree tree_;

  private:
    std::unique_ptr<cat::ScopedEnv> saved_tz_;
    std::unique_ptr<cat::ScopedEnv> saved_tzdir_;
};

TEST_F(Scan, NestedTreeGivesStandardAbbreviationsAndOffsets) {
    tree_.add_zone("Europe/Paris", "Europe/Paris");
    tree_.add_zone("Asia/Kolkata", "Asia/Kolkata");
    tree_.add_zone("America/Newfoundland/St_Johns", "America/St_Johns");
    tree_.add_zone("UTC", "UTC");
    use_root(tree_.root());
    setenv("TZ", "Europe/Paris", 1);

    EXPECT_EQ(tz_table_init(), 1);
    EXPECT_EQ(std::string(package_path), tree_.root().string());
    expect_tz_empty();
    EXPECT_TRUE(log_texts().empty());

    EXPECT_EQ(cat::zones().size(), 4u);
    EXPECT_EQ(cat::zone("CET")->groups, (std::vector<Group>{{1, 0, {"Europe/Paris"}}}));
    EXPECT_EQ(cat::zone("IST")->groups, (std::vector<Group>{{5, 30, {"Asia/Kolkata"}}}));
    EXPECT_EQ(cat::zone("NST")->groups,
              (std::vector<Group>{{-3, 30, {"America/Newfoundland/St_Johns"}}}));
    EXPECT_EQ(cat::zone("UTC")->groups, (std::vector<Group>{{0, 0, {"UTC"}}}));
    EXPECT_STREQ(tz_lookup_location("America/Newfoundland/St_Johns"), "NST");
    EXPECT_STREQ(tz_lookup_location("UTC"), "UTC");
    EXPECT_EQ(cat::loc_entry_count(), 4u);
}

TEST_F(Scan, SymlinksAreZonesAndAreNeverEntered) {
    tree_.add_zone("Europe/Paris", "Europe/Paris");
    tree_.add_zone("Europe/Berlin", "Europe/Berlin");
    tree_.add_symlink("Link/Paris", "../Europe/Paris");
    tree_.add_symlink("Link/Absolute", tree_.root() / "Europe/Berlin");
    tree_.add_symlink("EuropeLink", "Europe");
    use_root(tree_.root());

    ASSERT_EQ(tz_table_init(), 1);
    auto cet = cat::zone("CET");
    ASSERT_TRUE(cet);
    ASSERT_EQ(cet->groups.size(), 1u);
    EXPECT_EQ(
        sorted(cet->groups[0].locations),
        (std::vector<std::string>{"Europe/Berlin", "Europe/Paris", "Link/Absolute", "Link/Paris"}));

    // The link to a directory is taken for a zone file, under whatever the C library reports.
    EXPECT_NE(tz_lookup_location("EuropeLink"), nullptr);
    EXPECT_EQ(tz_lookup_location("EuropeLink/Paris"), nullptr);
    auto libc = cat::libc_zone("EuropeLink");
    auto z = cat::zone(libc.abbreviation);
    ASSERT_TRUE(z) << libc.abbreviation;
    bool found = false;
    for (auto &g : z->groups) {
        for (auto &loc : g.locations) {
            EXPECT_EQ(loc.rfind("EuropeLink/", 0), std::string::npos) << loc;
            found = found ||
                    (loc == "EuropeLink" && g.hours == libc.hours && g.minutes == libc.minutes);
        }
    }
    EXPECT_TRUE(found);
    EXPECT_EQ(cat::loc_entry_count(), 5u);
}

TEST_F(Scan, SkipListAppliesAtTheTopLevelOnly) {
    tree_.add_zone("posix/Europe/Paris", "Europe/Paris");
    tree_.add_zone("right/UTC", "UTC");
    tree_.add_zone("Factory", "UTC");
    tree_.add_zone("iso3166.tab", "Asia/Kolkata");
    tree_.add_zone("zone.tab", "Asia/Kolkata");
    tree_.add_zone("posixrules", "Europe/Paris");
    tree_.add_zone("Sub/zone.tab", "Asia/Kolkata");
    tree_.add_zone("Sub/posix/Kolkata", "Asia/Kolkata");
    tree_.add_zone("Posix/Zone", "UTC");
    tree_.add_zone("zone1970.tab", "UTC");
    use_root(tree_.root());

    ASSERT_EQ(tz_table_init(), 1);
    auto all = cat::zones();
    ASSERT_EQ(all.size(), 2u);
    auto ist = cat::zone("IST");
    ASSERT_TRUE(ist);
    ASSERT_EQ(ist->groups.size(), 1u);
    EXPECT_EQ(sorted(ist->groups[0].locations),
              (std::vector<std::string>{"Sub/posix/Kolkata", "Sub/zone.tab"}));
    auto utc = cat::zone("UTC");
    ASSERT_TRUE(utc);
    ASSERT_EQ(utc->groups.size(), 1u);
    EXPECT_EQ(sorted(utc->groups[0].locations),
              (std::vector<std::string>{"Posix/Zone", "zone1970.tab"}));
    EXPECT_EQ(cat::loc_entry_count(), 4u);
    EXPECT_EQ(tz_lookup_location("Factory"), nullptr);
    EXPECT_EQ(tz_lookup_location("posix/Europe/Paris"), nullptr);
}

TEST_F(Scan, MissingRootLeavesEverythingAsItWasThenBuildsOnceThere) {
    fs::path root = tree_.root() / "zoneinfo";
    use_root(root);
    setenv("TZ", "Asia/Kolkata", 1);

    EXPECT_EQ(tz_table_init(), 0);
    EXPECT_STREQ(getenv("TZ"), "Asia/Kolkata");
    EXPECT_TRUE(cat::catalogue_empty());
    EXPECT_EQ(log_texts(), std::vector<std::string>{
                               "Zoneinfo package is not available\n :No such file or directory"});

    tree_.add_zone("zoneinfo/UTC", "UTC");
    EXPECT_EQ(tz_table_init(), 1);
    EXPECT_EQ(cat::zone("UTC")->groups, (std::vector<Group>{{0, 0, {"UTC"}}}));
    expect_tz_empty();
}

TEST_F(Scan, EmptyRootBuildsAnEmptyCatalogue) {
    use_root(tree_.root());
    setenv("TZ", "Asia/Kolkata", 1);
    EXPECT_EQ(tz_table_init(), 1);
    EXPECT_TRUE(cat::catalogue_empty());
    expect_tz_empty();
    EXPECT_TRUE(log_texts().empty());
}

TEST_F(Scan, OneTrailingSlashOfTheRootIsDropped) {
    tree_.add_zone("Asia/Kolkata", "Asia/Kolkata");
    use_root(tree_.root().string() + "/");
    ASSERT_EQ(tz_table_init(), 1);
    EXPECT_EQ(std::string(package_path), tree_.root().string());
    EXPECT_EQ(cat::zone("IST")->groups, (std::vector<Group>{{5, 30, {"Asia/Kolkata"}}}));

    cat::reset_catalogue();
    use_root(tree_.root().string() + "//");
    ASSERT_EQ(tz_table_init(), 1);
    EXPECT_EQ(std::string(package_path), tree_.root().string() + "/");
    EXPECT_EQ(cat::zone("IST")->groups, (std::vector<Group>{{5, 30, {"Asia/Kolkata"}}}));
    EXPECT_TRUE(log_texts().empty());
}

TEST_F(Scan, EmptyTzdirNamesNoDirectory) {
    use_root("");
    setenv("TZ", "UTC", 1);
    EXPECT_EQ(tz_table_init(), 0);
    EXPECT_STREQ(getenv("TZ"), "UTC");
    EXPECT_TRUE(cat::catalogue_empty());
    EXPECT_EQ(log_texts(), std::vector<std::string>{
                               "Zoneinfo package is not available\n :No such file or directory"});
}

// Builds a directory whose path is exactly LEN characters long below the temporary tree.
fs::path dir_of_length(const fs::path &base, size_t len) {
    if (base.string().size() + 2 > len || len - base.string().size() - 1 > 255) {
        throw std::runtime_error("temporary directory too long for this test: " + base.string());
    }
    size_t name_len = len - base.string().size() - 1;
    fs::path dir = base / std::string(name_len, 'd');
    fs::create_directories(dir);
    return dir;
}

TEST_F(Scan, RootLongerThan254CharactersIsRefused) {
    std::string too_long = dir_of_length(tree_.root(), 255).string();
    use_root(too_long);
    EXPECT_EQ(tz_table_init(), 0);
    EXPECT_EQ(log_texts(),
              std::vector<std::string>{"Zoneinfo package path too long\n :" + too_long});

    // 254 characters (after the dropped slash) fit; every entry below it is then too long.
    fake::clear_log();
    fs::path root = dir_of_length(tree_.root(), 254);
    tree_.add_zone((root / "UTC").lexically_relative(tree_.root()).string(), "UTC");
    use_root(root.string() + "/");
    EXPECT_EQ(tz_table_init(), 1);
    EXPECT_EQ(std::string(package_path), root.string());
    EXPECT_TRUE(cat::catalogue_empty());
    EXPECT_EQ(log_texts(), std::vector<std::string>{"traverse,Path too long, skipped " +
                                                    root.string() + "/UTC"});
}

TEST_F(Scan, PathsLongerThan255CharactersAreSkipped) {
    const fs::path &root = tree_.root();
    fs::path deep = dir_of_length(root, 250);
    std::string deep_name = deep.filename().string();
    tree_.add_zone(deep_name + "/UTC", "UTC");             // 254 characters: kept
    tree_.add_zone(deep_name + "/Paris", "Europe/Paris");  // 256: left out
    fs::path wide = dir_of_length(root, 256);              // a directory too long to enter
    tree_.add_zone(wide.filename().string() + "/UTC", "UTC");
    tree_.add_zone("Keep", "Asia/Kolkata");
    use_root(root);

    ASSERT_EQ(tz_table_init(), 1);
    EXPECT_EQ(cat::zone("UTC")->groups, (std::vector<Group>{{0, 0, {deep_name + "/UTC"}}}));
    EXPECT_EQ(cat::zone("IST")->groups, (std::vector<Group>{{5, 30, {"Keep"}}}));
    EXPECT_FALSE(cat::zone("CET"));
    EXPECT_EQ(sorted(log_texts()),
              sorted({"traverse,Path too long, skipped " + deep.string() + "/Paris",
                      "traverse,Path too long, skipped " + wide.string()}));
}

TEST_F(Scan, UnopenableDirectoryIsLeftOut) {
    use_root(tree_.root());
    ASSERT_EQ(tz_table_init(), 1);
    fake::clear_log();
    traverse("Nowhere/Else", 2);
    EXPECT_EQ(log_texts(), std::vector<std::string>{
                               "traverse,Unable to open directory\nNowhere/Else,errno=0x2"});
    EXPECT_TRUE(cat::catalogue_empty());
}

TEST_F(Scan, NullDirectoryEndsTheProcess) {
    EXPECT_EXIT(traverse(nullptr, 0), ::testing::ExitedWithCode(1), "");
}

TEST_F(Scan, BuildWaitsForTheTimeZoneLock) {
    tree_.add_zone("UTC", "UTC");
    use_root(tree_.root());
    int32_t result = -1;
    std::thread builder;
    {
        std::lock_guard lock(tz_env_mutex);
        builder = std::thread([&] { result = tz_table_init(); });
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_TRUE(cat::catalogue_empty()) << "the walk ran while another user held the lock";
    }
    builder.join();
    EXPECT_EQ(result, 1);
    EXPECT_FALSE(cat::catalogue_empty());
}

// The catalogue that the machine's zoneinfo tree should give, worked out with the same library
// calls, the same skip list and the same limits, but without the service's tables.
struct ExpectedCatalogue {
    std::vector<cat::Zone> zones;  // in first-insert order
    std::map<std::string, size_t> index;
    std::vector<std::pair<std::string, std::string>> locations;  // (location, abbreviation)
};

void expected_walk(const fs::path &root, const std::string &rel, int level,
                   ExpectedCatalogue &out) {
    static const char *const skipped[] = {"posix",       "right",    "Factory",
                                          "iso3166.tab", "zone.tab", "posixrules"};
    for (auto &entry : fs::directory_iterator(level == 0 ? root : root / rel)) {
        std::string name = entry.path().filename().string();
        if (level == 0 && std::find_if(std::begin(skipped), std::end(skipped), [&](const char *s) {
                              return name == s;
                          }) != std::end(skipped)) {
            continue;
        }
        std::string loc = level == 0 ? name : rel + "/" + name;
        ASSERT_LE(entry.path().string().size(), 255u) << "paths this long are not modelled";
        if (entry.symlink_status().type() == fs::file_type::directory) {
            expected_walk(root, loc, level + 1, out);
            continue;
        }
        cat::LibcZone z = cat::libc_zone(loc);
        if (z.abbreviation.size() > 10) {
            continue;
        }
        out.locations.emplace_back(loc, z.abbreviation);
        int32_t bucket = tz_hash_func(z.abbreviation.c_str());
        if (bucket < 0) {
            continue;
        }
        auto [it, added] = out.index.emplace(z.abbreviation, out.zones.size());
        if (added) {
            out.zones.push_back({z.abbreviation, bucket, {}});
        }
        auto &groups = out.zones[it->second].groups;
        auto g = std::find_if(groups.begin(), groups.end(), [&](const Group &g) {
            return g.hours == z.hours && g.minutes == z.minutes;
        });
        if (g == groups.end()) {
            groups.push_back({z.hours, z.minutes, {loc}});
        } else if (g->locations.size() < TZ_MAX_LOC) {
            g->locations.push_back(loc);
        }
    }
}

TEST_F(Scan, MachineZoneinfoMatchesAnIndependentWalk) {
    unsetenv("TZDIR");
    ASSERT_EQ(tz_table_init(), 1);
    EXPECT_STREQ(package_path, "/usr/share/zoneinfo");
    expect_tz_empty();

    ExpectedCatalogue expected;
    expected_walk(TZ_DEFAULT_ZONEINFO, "", 0, expected);
    ASSERT_GT(expected.locations.size(), 300u);

    // The table lists records by bucket, and by first insert within a bucket.
    std::vector<cat::Zone> want = expected.zones;
    std::stable_sort(want.begin(), want.end(),
                     [](const cat::Zone &a, const cat::Zone &b) { return a.bucket < b.bucket; });
    EXPECT_EQ(cat::zones(), want);

    EXPECT_EQ(cat::loc_entry_count(), expected.locations.size());
    for (auto &[loc, abbr] : expected.locations) {
        if (loc.size() >= 60) {
            continue;
        }
        const char *got = tz_lookup_location(loc.c_str());
        ASSERT_NE(got, nullptr) << loc;
        EXPECT_EQ(std::string(got), abbr.size() < 10 ? abbr : "") << loc;
    }

    // A few fixed points, so that two walks that agree on nothing cannot pass.
    EXPECT_STREQ(tz_lookup_location("Europe/Paris"), "CET");
    EXPECT_STREQ(tz_lookup_location("Asia/Kolkata"), "IST");
    auto ist = cat::zone("IST");
    ASSERT_TRUE(ist);
    bool kolkata = false;
    for (auto &g : ist->groups) {
        for (auto &loc : g.locations) {
            kolkata = kolkata || (loc == "Asia/Kolkata" && g.hours == 5 && g.minutes == 30);
        }
    }
    EXPECT_TRUE(kolkata);
    EXPECT_EQ(tz_lookup_location("posixrules"), nullptr);
    EXPECT_EQ(tz_lookup_location("right/UTC"), nullptr);
}

}  // namespace
