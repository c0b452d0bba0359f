// The SQLite store on its own: durability across reopen and prefix scans.
#include "store.h"

#include <gtest/gtest.h>

#include "support.h"

using platform::cfgdb::Store;
using Strings = std::vector<std::string>;

namespace {

std::vector<uint8_t> bytes(const std::string &s) {
    return {s.begin(), s.end()};
}

struct StoreTest : ::testing::Test {
    std::unique_ptr<Store> open() {
        auto s = Store::open(file_, &err);
        EXPECT_TRUE(s) << err;
        return s;
    }
    // "VALUE@SEQUENCE", or "none".
    std::string at(Store &s, const std::string &path) {
        auto item = s.get(path, &err);
        return item ? std::string(item->value.begin(), item->value.end()) + "@" +
                          std::to_string(item->sequence)
                    : "none";
    }
    ts::Router dir_;  // a temp directory, nothing more
    std::string file_ = dir_.dir() + "/cfg.sqlite3", err;
};

TEST_F(StoreTest, ItemsAndTheSequenceSurviveReopenAndScansAreByteWise) {
    {
        auto s = open();
        ASSERT_TRUE(s);
        uint64_t seq = 0;
        for (auto [path, value] : std::vector<std::pair<std::string, std::string>>{
                 {"/cfg/a", "one"}, {"/cfg/a", "two"}, {"/cfg/b", ""}, {"/cfg/c", "x"}})
            ASSERT_TRUE(s->put(path, bytes(value), ++seq, &err)) << err;
        for (const char *p : {"/cfg/gl/clock/timezone", "/cfg/gl/clock/ts", "/cfg/gl/clockwork",
                              "/cfg/x\xff\xff", "/cfg/x\xff"})
            ASSERT_TRUE(s->put(p, bytes("v"), ++seq, &err)) << err;
        ASSERT_TRUE(s->remove("/cfg/c", ++seq, &err)) << err;
    }
    auto s = open();
    ASSERT_TRUE(s);
    EXPECT_EQ(s->last_sequence(), 10u);
    EXPECT_EQ(at(*s, "/cfg/a") + " " + at(*s, "/cfg/b") + " " + at(*s, "/cfg/c"), "two@2 @3 none");
    auto scan = [&](const std::string &prefix) {
        std::vector<platform::cfgdb::StoredItem> items;
        EXPECT_TRUE(s->scan_prefix(prefix, &items, &err)) << err;
        Strings paths;
        for (auto &i : items)
            paths.push_back(i.path);
        return paths;
    };
    EXPECT_EQ(scan("/cfg/gl/clock/"), (Strings{"/cfg/gl/clock/timezone", "/cfg/gl/clock/ts"}));
    EXPECT_EQ(scan("/cfg/gl/clock").back(), "/cfg/gl/clockwork");
    EXPECT_EQ(scan("/cfg/x\xff"), (Strings{"/cfg/x\xff", "/cfg/x\xff\xff"}));  // no upper bound
    EXPECT_EQ(scan("").size(), 7u);
}

}  // namespace
