// The hashes of the catalogue and the root of the scan that fills it (inserts are the fuzz target's
// checks: tests/seeds; what the scan finds is seen through tzctl: tests/query).
#include <gtest/gtest.h>

#include "fresh_catalogue.h"

namespace {

using Hash = fake::FreshCatalogue;
using Scan = fake::FreshCatalogue;

// Both hashes take the bytes as signed characters: their buckets order the lists the service
// sends.
TEST_F(Hash, WorkedValues) {
    struct {
        const char *text;
        int32_t abbrev, location;
    } cases[] = {{"", 1, 1}, {"UTC", 28, 329}, {"ABCDEFGHIJ", -81, 562}, {"\xc3", -38, 13}};
    for (auto &c : cases) {
        EXPECT_EQ(tz_hash_func(c.text), c.abbrev) << c.text;
        EXPECT_EQ(tz_loc_hash_func(c.text), c.location) << c.text;
    }
}

// The root is TZDIR with one trailing slash dropped: the 255 characters of a path are counted from
// it.
TEST_F(Scan, RootIsTzdirWithOneTrailingSlashDropped) {
    for (auto [tzdir, root] : {std::pair{"/nowhere/", "/nowhere"}, {"/nowhere//", "/nowhere/"}}) {
        setenv("TZDIR", tzdir, 1);
        EXPECT_EQ(tz_table_init(), 0);
        EXPECT_STREQ(package_path, root);
    }
}

}  // namespace
