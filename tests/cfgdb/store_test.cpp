// The SQLite store on its own: durability across reopen, prefix scans, and writes that fail.
#include "store.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

using platform::cfgdb::Store;
using Strings = std::vector<std::string>;

namespace {

std::vector<uint8_t> bytes(const std::string &s) {
    return {s.begin(), s.end()};
}

class StoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/cfgdb-store-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        file_ = dir_ + "/cfg.sqlite3";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
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
    std::string dir_, file_, err;
};

TEST_F(StoreTest, ItemsSurviveReopenAndDeletionKeepsTheSequence) {
    {
        auto s = open();
        ASSERT_TRUE(s);
        EXPECT_EQ(s->last_sequence(), 0u);
        EXPECT_EQ(at(*s, "/cfg/a"), "none");
        EXPECT_TRUE(err.empty());
        Strings writes[] = {{"/cfg/a", "one"}, {"/cfg/a", "two"}, {"/cfg/b", ""}, {"/cfg/c", "x"}};
        for (uint64_t seq = 1; seq <= 4; seq++)
            ASSERT_TRUE(s->put(writes[seq - 1][0], bytes(writes[seq - 1][1]), seq, &err)) << err;
        ASSERT_TRUE(s->remove("/cfg/c", 5, &err)) << err;
        ASSERT_TRUE(s->remove("/cfg/never", 6, &err)) << err;
    }
    auto s = open();
    ASSERT_TRUE(s);
    EXPECT_EQ(s->last_sequence(), 6u);
    EXPECT_EQ(at(*s, "/cfg/a"), "two@2");
    EXPECT_EQ(at(*s, "/cfg/b"), "@3");
    EXPECT_EQ(at(*s, "/cfg/c"), "none");
}

TEST_F(StoreTest, PrefixScanIsByteWiseAndOrdered) {
    auto s = open();
    ASSERT_TRUE(s);
    for (const char *p : {"/cfg/gl/clock/timezone", "/cfg/gl/clock/ts", "/cfg/gl/clockwork",
                          "/cfg/gl/cloc", "/cfg/x\xff\xff", "/cfg/x\xff", "/cfh"})
        ASSERT_TRUE(s->put(p, bytes(p), 1, &err)) << err;
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

TEST_F(StoreTest, AFileThatIsNotADatabaseIsRefusedAndKept) {
    std::ofstream(file_) << std::string(8192, 'x');
    EXPECT_FALSE(Store::open(file_, &err));
    EXPECT_NE(err.find(file_), std::string::npos) << err;
    EXPECT_EQ(std::filesystem::file_size(file_), 8192u);
}

// A write that cannot reach the disk (a file-size limit stands in for a full disk) is reported
// and leaves the old item, in the writing process and after a reopen.
TEST_F(StoreTest, AFailedWriteLeavesTheOldItem) {
    ASSERT_TRUE(open()->put("/cfg/a", bytes("old"), 1, &err)) << err;
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        auto s = Store::open(file_, &err);
        struct rlimit lim = {1, 1};
        setrlimit(RLIMIT_FSIZE, &lim);
        bool refused = s && !s->put("/cfg/a", std::vector<uint8_t>(1 << 20, 'n'), 2, &err);
        _exit(refused && !err.empty() && at(*s, "/cfg/a") == "old@1" ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(at(*open(), "/cfg/a"), "old@1");
}

}  // namespace
