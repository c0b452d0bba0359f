// The SQLite store on its own: durability across reopen, prefix scans, and writes that fail.
#include "store.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

using platform::cfgdb::Store;
using platform::cfgdb::StoredItem;

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
        std::string err;
        auto s = Store::open(file_, &err);
        EXPECT_TRUE(s) << err;
        return s;
    }

    std::string dir_, file_;
};

TEST_F(StoreTest, ItemsSurviveReopenAndDeletionKeepsTheSequence) {
    std::string err;
    {
        auto s = open();
        ASSERT_TRUE(s);
        EXPECT_EQ(s->last_sequence(), 0u);
        EXPECT_FALSE(s->get("/cfg/a", &err));
        EXPECT_TRUE(err.empty());
        ASSERT_TRUE(s->put("/cfg/a", bytes("one"), 1, &err)) << err;
        ASSERT_TRUE(s->put("/cfg/a", bytes("two"), 2, &err)) << err;
        ASSERT_TRUE(s->put("/cfg/b", {}, 3, &err)) << err;
        ASSERT_TRUE(s->put("/cfg/c", bytes("gone"), 4, &err)) << err;
        ASSERT_TRUE(s->remove("/cfg/c", 5, &err)) << err;
        ASSERT_TRUE(s->remove("/cfg/never", 6, &err)) << err;
    }
    auto s = open();
    ASSERT_TRUE(s);
    EXPECT_EQ(s->last_sequence(), 6u);
    auto a = s->get("/cfg/a", &err);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->value, bytes("two"));
    EXPECT_EQ(a->sequence, 2u);
    auto b = s->get("/cfg/b", &err);
    ASSERT_TRUE(b);
    EXPECT_TRUE(b->value.empty());
    EXPECT_FALSE(s->get("/cfg/c", &err));
}

TEST_F(StoreTest, PrefixScanIsByteWiseAndOrdered) {
    auto s = open();
    ASSERT_TRUE(s);
    std::string err;
    for (const char *p : {"/cfg/gl/clock/timezone", "/cfg/gl/clock/ts", "/cfg/gl/clockwork",
                          "/cfg/gl/cloc", "/cfg/x\xff\xff", "/cfg/x\xff", "/cfh"})
        ASSERT_TRUE(s->put(p, bytes(p), 1, &err)) << err;

    std::vector<StoredItem> out;
    ASSERT_TRUE(s->scan_prefix("/cfg/gl/clock/", &out, &err));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].path, "/cfg/gl/clock/timezone");
    EXPECT_EQ(out[1].path, "/cfg/gl/clock/ts");

    out.clear();
    ASSERT_TRUE(s->scan_prefix("/cfg/gl/clock", &out, &err));
    EXPECT_EQ(out.size(), 3u);

    // A prefix ending in 0xFF bytes has no simple upper bound.
    out.clear();
    ASSERT_TRUE(s->scan_prefix("/cfg/x\xff", &out, &err));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].path, "/cfg/x\xff");

    out.clear();
    ASSERT_TRUE(s->scan_prefix("", &out, &err));
    EXPECT_EQ(out.size(), 7u);
}

TEST_F(StoreTest, AFileThatIsNotADatabaseIsRefusedAndKept) {
    {
        std::ofstream f(file_);
        f << std::string(8192, 'x');
    }
    std::string err;
    EXPECT_FALSE(Store::open(file_, &err));
    EXPECT_NE(err.find(file_), std::string::npos) << err;
    EXPECT_EQ(std::filesystem::file_size(file_), 8192u);
}

// A write that cannot reach the disk (file-size limit as a stand-in for a full disk) is reported
// and leaves the old item readable, in this process and after a reopen.
TEST_F(StoreTest, AFailedWriteLeavesTheOldItem) {
    std::string err;
    {
        auto s = open();
        ASSERT_TRUE(s);
        ASSERT_TRUE(s->put("/cfg/a", bytes("old"), 1, &err)) << err;
    }
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        std::string e;
        auto s = Store::open(file_, &e);
        if (!s)
            _exit(10);
        struct rlimit lim = {1, 1};
        setrlimit(RLIMIT_FSIZE, &lim);
        if (s->put("/cfg/a", std::vector<uint8_t>(1 << 20, 'n'), 2, &e))
            _exit(11);
        if (e.empty())
            _exit(12);
        auto a = s->get("/cfg/a", &e);
        _exit(a && a->value == bytes("old") && s->last_sequence() == 1 ? 0 : 13);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    auto s = open();
    ASSERT_TRUE(s);
    auto a = s->get("/cfg/a", &err);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->value, bytes("old"));
}

}  // namespace
