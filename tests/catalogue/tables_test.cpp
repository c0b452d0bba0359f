// The abbreviation table and the location hash: hashing, insert order, limits and lookups.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "catalogue_util.h"
#include "fake_log.h"
#include "tz_config.h"

using cat::Group;
using cat::LocEntry;

namespace {

class Tables : public ::testing::Test {
  protected:
    void SetUp() override {
        cat::reset_catalogue();
        fake::clear_log();
    }

    // The syslog lines written so far, each of which must have priority 3.
    static std::vector<std::string> error_lines() {
        std::vector<std::string> out;
        for (auto &l : fake::syslog_lines()) {
            EXPECT_EQ(l.priority, 3) << l.text;
            out.push_back(l.text);
        }
        return out;
    }
};

TEST(Hash, WorkedValues) {
    EXPECT_EQ(tz_hash_func(""), 1);
    EXPECT_EQ(tz_hash_func("UTC"), 28);
    EXPECT_EQ(tz_hash_func("CET"), 75);
    EXPECT_EQ(tz_hash_func("GMT"), 104);
    EXPECT_EQ(tz_hash_func("ABCDEFGHIJ"), -81);

    EXPECT_EQ(tz_loc_hash_func(""), 1);
    EXPECT_EQ(tz_loc_hash_func("UTC"), 329);
    EXPECT_EQ(tz_loc_hash_func("Europe/Paris"), 404);
    EXPECT_EQ(tz_loc_hash_func("America/New_York"), 537);
}

TEST(Hash, HighBytesCountAsNegative) {
    // 1 * 23 + (-61): the abbreviation hash keeps the sign, the location hash reads the 64-bit
    // value as unsigned before taking the remainder.
    EXPECT_EQ(tz_hash_func("\xc3"), -38);
    EXPECT_EQ(tz_loc_hash_func("\xc3"), 13);
}

TEST(Hash, TextsLongerThanThePrimeListsStayInRange) {
    std::string long_text(300, 'z');
    int32_t h = tz_hash_func(long_text.c_str());
    EXPECT_GE(h, -108);
    EXPECT_LE(h, 108);
    int32_t l = tz_loc_hash_func(long_text.c_str());
    EXPECT_GE(l, 0);
    EXPECT_LT(l, TZ_LOC_HASH_SIZE);
    // Characters past the list still count: the last prime is reused for them.
    EXPECT_NE(tz_hash_func("ABCDEFGHIJKLMNOPQRST"), tz_hash_func("ABCDEFGHIJKLMNOPQRSU"));
    std::string loc(80, 'A');
    EXPECT_NE(tz_loc_hash_func(loc.c_str()), tz_loc_hash_func((loc + "x").c_str()));
}

TEST(Hash, PrimeLists) {
    const int32_t first[] = {23, 29, 31, 37, 41, 43, 47, 53, 59, 61, 67};
    for (int i = 0; i < 11; ++i) {
        EXPECT_EQ(prime_list[i], first[i]);
        EXPECT_EQ(prime_list_loc_hash[i], first[i]);
    }
    // 61 consecutive primes ending at 347.
    for (int i = 1; i < 61; ++i) {
        int32_t p = prime_list_loc_hash[i];
        for (int32_t c = prime_list_loc_hash[i - 1] + 1; c < p; ++c) {
            bool composite = false;
            for (int32_t d = 2; d * d <= c; ++d) {
                composite = composite || c % d == 0;
            }
            EXPECT_TRUE(composite) << c << " missing before " << p;
        }
    }
    EXPECT_EQ(prime_list_loc_hash[60], 347);
}

TEST(StrcpyS, CopiesShorterTextsAndRefusesLongerOnes) {
    char buf[8];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(strcpy_s(buf, 4, "abc"), 0);
    EXPECT_STREQ(buf, "abc");

    memset(buf, 'x', sizeof buf);
    EXPECT_NE(strcpy_s(buf, 4, "abcd"), 0);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(buf[1], 'x') << "a refused copy writes nothing but the terminator";

    EXPECT_NE(strcpy_s(buf, 4, "abcdefghijklmnop"), 0);
    EXPECT_EQ(buf[0], '\0');
}

TEST_F(Tables, FirstInsertsFillTheHeadRecordAndItsGroup) {
    char location[] = "Europe/Paris";
    set_table_entry("CET", location, 1, 0);
    location[0] = 'X';  // the table keeps its own copy

    ASSERT_EQ(tz_hash_table[75].in_use, 1);
    EXPECT_STREQ(tz_hash_table[75].name, "CET");
    EXPECT_EQ(tz_hash_table[75].next, nullptr);

    set_table_entry("CET", "Europe/Berlin", 1, 0);
    auto z = cat::zone("CET");
    ASSERT_TRUE(z);
    EXPECT_EQ(z->bucket, 75);
    EXPECT_EQ(z->groups, (std::vector<Group>{{1, 0, {"Europe/Paris", "Europe/Berlin"}}}));
    EXPECT_STREQ(tz_lookup_location("Europe/Paris"), "CET");
    EXPECT_STREQ(tz_lookup_location("Europe/Berlin"), "CET");
    EXPECT_EQ(tz_lookup_location("Europe/Rome"), nullptr);
    EXPECT_TRUE(error_lines().empty());
}

TEST_F(Tables, RecordsOfOneBucketChainInFirstInsertOrder) {
    ASSERT_EQ(tz_hash_func("AGL"), 75);
    ASSERT_EQ(tz_hash_func("ANM"), 75);
    set_table_entry("AGL", "A/One", 2, 0);
    set_table_entry("CET", "Europe/Paris", 1, 0);
    set_table_entry("AGL", "A/Two", 2, 0);
    set_table_entry("ANM", "A/Three", 3, 0);
    set_table_entry("CET", "Europe/Berlin", 1, 0);

    auto all = cat::zones();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0], (cat::Zone{"AGL", 75, {{2, 0, {"A/One", "A/Two"}}}}));
    EXPECT_EQ(all[1], (cat::Zone{"CET", 75, {{1, 0, {"Europe/Paris", "Europe/Berlin"}}}}));
    EXPECT_EQ(all[2], (cat::Zone{"ANM", 75, {{3, 0, {"A/Three"}}}}));
}

TEST_F(Tables, OffsetGroupsInFirstSeenOrder) {
    set_table_entry("CET", "A", 1, 0);
    set_table_entry("CET", "B", 2, 0);
    set_table_entry("CET", "C", 1, 0);
    set_table_entry("CET", "D", 1, 30);
    set_table_entry("CET", "E", 2, 0);
    set_table_entry("CET", "F", -1, 30);
    auto z = cat::zone("CET");
    ASSERT_TRUE(z);
    EXPECT_EQ(z->groups,
              (std::vector<Group>{
                  {1, 0, {"A", "C"}}, {2, 0, {"B", "E"}}, {1, 30, {"D"}}, {-1, 30, {"F"}}}));
}

TEST_F(Tables, LocationHashKeepsNewestFirst) {
    ASSERT_EQ(tz_loc_hash_func("Zone/LR"), 404);
    set_table_entry("CET", "Europe/Paris", 1, 0);
    set_table_entry("XYZ", "Zone/LR", 5, 0);
    set_table_entry("ABC", "Zone/YF", 6, 0);
    EXPECT_EQ(
        cat::loc_bucket(404),
        (std::vector<LocEntry>{{"Zone/YF", "ABC"}, {"Zone/LR", "XYZ"}, {"Europe/Paris", "CET"}}));
    EXPECT_STREQ(tz_lookup_location("Europe/Paris"), "CET");
    EXPECT_STREQ(tz_lookup_location("Zone/LR"), "XYZ");
    // Same bucket, no such location.
    EXPECT_EQ(tz_lookup_location("Zone/L"), nullptr);
}

TEST_F(Tables, FiftyLocationsPerGroup) {
    std::vector<std::string> names;
    for (int i = 0; i <= TZ_MAX_LOC; ++i) {
        names.push_back("Zone/L" + std::to_string(i));
        set_table_entry("CET", names.back().c_str(), 1, 0);
    }
    auto z = cat::zone("CET");
    ASSERT_TRUE(z);
    ASSERT_EQ(z->groups.size(), 1u);
    EXPECT_EQ(z->groups[0].locations,
              std::vector<std::string>(names.begin(), names.begin() + TZ_MAX_LOC));
    EXPECT_EQ(error_lines(), std::vector<std::string>{"set_table_entry,Max loc limit crossed"});
    // Refused by the group, still known to the location hash.
    EXPECT_STREQ(tz_lookup_location("Zone/L50"), "CET");

    // Another offset of the same abbreviation has room of its own.
    set_table_entry("CET", "Zone/Other", 2, 0);
    EXPECT_EQ(cat::zone("CET")->groups.at(1), (Group{2, 0, {"Zone/Other"}}));
}

TEST_F(Tables, AbbreviationLengthLimits) {
    ASSERT_EQ(tz_hash_func("AAAAAAAAAA"), 100);
    set_table_entry("AAAAAAAAAA", "Ten/Chars", 4, 0);
    EXPECT_EQ(cat::zone("AAAAAAAAAA"), (cat::Zone{"AAAAAAAAAA", 100, {{4, 0, {"Ten/Chars"}}}}));
    // Ten characters do not fit the location hash's field: found, with an empty abbreviation.
    const char *abbr = tz_lookup_location("Ten/Chars");
    ASSERT_NE(abbr, nullptr);
    EXPECT_STREQ(abbr, "");

    set_table_entry("ABCDEFGHIJK", "Eleven/Chars", 4, 0);
    EXPECT_EQ(tz_lookup_location("Eleven/Chars"), nullptr);
    EXPECT_EQ(cat::zones().size(), 1u);
    EXPECT_EQ(cat::loc_entry_count(), 1u);
    EXPECT_EQ(error_lines(),
              std::vector<std::string>{"set_table_entry,Zone name limit exceeded ABCDEFGHIJK loc "
                                       "Eleven/Chars"});
}

TEST_F(Tables, NegativeHashKeepsOnlyTheLocation) {
    ASSERT_EQ(tz_hash_func("AAAAAAA"), -27);
    set_table_entry("AAAAAAA", "Neg/Hash", 0, 0);
    set_table_entry("ABCDEFGHIJ", "Neg/Ten", 0, 0);
    EXPECT_TRUE(cat::zones().empty());
    EXPECT_STREQ(tz_lookup_location("Neg/Hash"), "AAAAAAA");
    EXPECT_STREQ(tz_lookup_location("Neg/Ten"), "");
    EXPECT_EQ(error_lines(), (std::vector<std::string>{
                                 "set_table_entry,Zone name hash out of range AAAAAAA loc Neg/Hash",
                                 "set_table_entry,Zone name hash out of range ABCDEFGHIJ loc "
                                 "Neg/Ten"}));
}

TEST_F(Tables, LongLocations) {
    std::string fits = "Long/" + std::string(54, 'a');      // 59 characters
    std::string too_long = "Long/" + std::string(55, 'b');  // 60 characters
    std::string very_long = "Long/" + std::string(200, 'c');
    set_table_entry("CET", fits.c_str(), 1, 0);
    set_table_entry("CET", too_long.c_str(), 1, 0);
    set_table_entry("CET", very_long.c_str(), 1, 0);

    EXPECT_EQ(cat::zone("CET")->groups[0].locations,
              (std::vector<std::string>{fits, too_long, very_long}));
    EXPECT_STREQ(tz_lookup_location(fits.c_str()), "CET");
    EXPECT_EQ(tz_lookup_location(too_long.c_str()), nullptr);
    EXPECT_EQ(tz_lookup_location(very_long.c_str()), nullptr);
    // The entries exist, with an empty location.
    EXPECT_EQ(cat::loc_bucket(tz_loc_hash_func(too_long.c_str())).at(0), (LocEntry{"", "CET"}));
    EXPECT_EQ(cat::loc_entry_count(), 3u);
    EXPECT_TRUE(error_lines().empty());
}

TEST_F(Tables, RepeatedInsertsAddAgain) {
    set_table_entry("CET", "Europe/Paris", 1, 0);
    set_table_entry("CET", "Europe/Paris", 1, 0);
    EXPECT_EQ(cat::zone("CET")->groups,
              (std::vector<Group>{{1, 0, {"Europe/Paris", "Europe/Paris"}}}));
    EXPECT_EQ(cat::loc_bucket(404),
              (std::vector<LocEntry>{{"Europe/Paris", "CET"}, {"Europe/Paris", "CET"}}));

    // The same location under another abbreviation: the newer entry answers.
    set_table_entry("CEST", "Europe/Paris", 2, 0);
    EXPECT_STREQ(tz_lookup_location("Europe/Paris"), "CEST");
    EXPECT_EQ(cat::zone("CEST")->groups, (std::vector<Group>{{2, 0, {"Europe/Paris"}}}));
    EXPECT_EQ(cat::zone("CET")->groups[0].locations.size(), 2u);
}

TEST_F(Tables, NullArgumentsStoreNothing) {
    set_table_entry(nullptr, "Europe/Paris", 1, 0);
    set_table_entry("CET", nullptr, 1, 0);
    EXPECT_TRUE(cat::catalogue_empty());
    EXPECT_EQ(error_lines(), (std::vector<std::string>{"set_table_entry,NULL arguments provided",
                                                       "set_table_entry,NULL arguments provided"}));
}

TEST_F(Tables, RecordWithoutGroupsEndsTheProcess) {
    set_table_entry("CET", "Europe/Paris", 1, 0);
    tz_offset_entry *groups = tz_hash_table[75].offset_list;
    tz_hash_table[75].offset_list = nullptr;  // damage the table
    EXPECT_EXIT(set_table_entry("CET", "Europe/Berlin", 1, 0), ::testing::ExitedWithCode(1), "");
    tz_hash_table[75].offset_list = groups;
}

}  // namespace
