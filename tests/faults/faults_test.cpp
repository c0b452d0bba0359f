// Faults with the real processes: platformd killed under a serving tzd, the verifier killed or
// stopped in the middle of a commit, a full disk under the database. Each case checks that the
// service serves on (or again) and that the stored configuration is intact. A kill of platformd in
// a burst of commits is the configuration database's own test (tests/cfgdb,
// KillingPlatformdInABurstOfCommitsLeavesEachItemOldOrNew).
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <thread>

#include "rig.h"

using namespace faults;

namespace {

class Faults : public ::testing::Test {
  protected:
    // A new router, after the logs of the last when the test failed.
    Rig &make() {
        dump();
        rig_ = std::make_unique<Rig>();
        return *rig_;
    }
    // platformd and tzd of card 0 running, CET Europe/Paris committed and in effect.
    bool boot(Rig &r) {
        pd = r.start_platformd();
        tzd = pd > 0 ? r.start_tzd(0) : -1;
        return tzd > 0 && r.commit_zone_eventually("CET", "Europe/Paris") &&
               r.zone_in_effect(0) == "Europe/Paris";
    }
    void dump() {
        if (HasFailure() && rig_)
            std::cerr << rig_->logs();
    }
    void TearDown() override { dump(); }
    bool serves(Rig &r) { return r.tzctl({"zone-of", "Asia/Kolkata"}).status == 0; }

    std::unique_ptr<Rig> rig_;
    pid_t pd = -1, tzd = -1;
};

}  // namespace

TEST_F(Faults, PlatformdKilledAndRestartedUnderAServingTzd) {
    Rig &r = make();
    ASSERT_TRUE(boot(r));
    r.stop(pd, SIGKILL);
    // tzd answers on its own while platformd is gone...
    EXPECT_TRUE(serves(r) && serves(r));
    ASSERT_GT(pd = r.start_platformd(), 0) << r.logs();
    EXPECT_TRUE(serves(r));

    // ...and its verifier registration comes back: the next commit is verified and applied.
    EXPECT_EQ(r.stored_zone(), "CET Europe/Paris");
    ASSERT_TRUE(r.commit_zone_eventually("EST", "America/New_York"));
    EXPECT_EQ(r.zone_in_effect(0), "America/New_York");
    EXPECT_TRUE(r.running(tzd));
}

// The verifier dies in the middle of a commit: killed while it verifies, or stopped past the
// time platformd waits for it.
TEST_F(Faults, VerifierKilledOrSilentInTheMiddleOfACommit) {
    struct Case {
        const char *name;
        const char *timeout_ms;  // for fault cfg-verify-timeout; null: kill while it verifies
        const char *reason;
    };
    for (const Case &c : {Case{"killed", nullptr, "went away during the commit"},
                          Case{"silent", "300", "did not answer within 300 ms"}}) {
        SCOPED_TRACE(c.name);
        Rig &r = make();
        ASSERT_TRUE(boot(r));
        if (c.timeout_ms) {
            ASSERT_EQ(r.platformctl({"fault", "cfg-verify-timeout", c.timeout_ms}).status, 0);
        }
        ASSERT_EQ(kill(tzd, SIGSTOP), 0);
        Result commit;
        std::thread committer([&] {
            commit = r.platformctl({"cfg", "set", TZ_ITEM, "EST", "America/New_York"});
        });
        if (!c.timeout_ms) {
            EXPECT_TRUE(eventually([&] {
                return contains(r.platformctl({"status"}).out, "1 waiting or in progress");
            }));
            r.stop(tzd, SIGKILL);
        }
        committer.join();
        if (c.timeout_ms)
            r.stop(tzd, SIGKILL);
        EXPECT_EQ(commit.status, 1);
        EXPECT_TRUE(contains(commit.err, c.reason)) << commit.err;
        EXPECT_EQ(r.stored_zone(), "CET Europe/Paris");

        // A new tzd puts the stored zone back into effect and verifies again.
        std::filesystem::remove(r.localtime(0));
        ASSERT_GT(tzd = r.start_tzd(0), 0) << r.logs();
        EXPECT_TRUE(eventually([&] { return r.zone_in_effect(0) == "Europe/Paris"; }));
        EXPECT_TRUE(r.commit_zone_eventually("IST", "Asia/Kolkata"));
        EXPECT_EQ(r.zone_in_effect(0), "Asia/Kolkata");
    }
}

// A full disk under the database, made with a small tmpfs in a mount namespace of this test
// process and its children. (A read-only bind mount cannot be switched on under a running
// platformd: the kernel refuses to make a mount read-only while files on it are open for
// writing, and chmod does not stop root.)
TEST_F(Faults, AFullDiskRefusesCommitsAndLosesNothing) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr))
        GTEST_SKIP() << "no private mount namespace here: " << strerror(errno);
    Rig &r = make();
    const std::string disk = r.statedir();
    ASSERT_EQ(mkdir(disk.c_str(), 0700), 0);
    if (mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=512k,mode=0700") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs: " << strerror(errno);
    // Gone before the router removes its directory.
    struct Unmount {
        std::string dir;
        ~Unmount() { umount2(dir.c_str(), MNT_DETACH); }
    } unmount{disk};
    ASSERT_TRUE(boot(r));

    // Fill what is left, to the last page.
    const std::string filler = disk + "/filler";
    int fd = open(filler.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    std::vector<char> block(4096, 'x');
    while (write(fd, block.data(), block.size()) > 0) {
    }
    EXPECT_EQ(errno, ENOSPC);
    close(fd);

    // Changes and deletions are refused with the reason; the stored item stays, and so does the
    // zone in effect (tzd had applied the change; it is handed the stored item back).
    for (auto args : {std::vector<std::string>{"cfg", "set", TZ_ITEM, "EST", "America/New_York"},
                      std::vector<std::string>{"cfg", "delete", TZ_ITEM}}) {
        SCOPED_TRACE(args[1]);
        Result c = r.platformctl(args);
        EXPECT_EQ(c.status, 1);
        EXPECT_TRUE(contains(c.err, "disk is full")) << c.err;
        EXPECT_EQ(r.stored_zone(), "CET Europe/Paris");
        EXPECT_TRUE(eventually([&] { return r.zone_in_effect(0) == "Europe/Paris"; }))
            << r.zone_in_effect(0);
        EXPECT_TRUE(serves(r));
    }

    // Space again: commits work, and what they stored outlives platformd.
    ASSERT_EQ(unlink(filler.c_str()), 0);
    Result c = r.platformctl({"cfg", "set", TZ_ITEM, "EST", "America/New_York"});
    EXPECT_EQ(c.status, 0) << c.err;
    EXPECT_TRUE(eventually([&] { return r.zone_in_effect(0) == "America/New_York"; }));
    r.stop(pd, SIGKILL);
    ASSERT_GT(pd = r.start_platformd(), 0) << r.logs();
    EXPECT_EQ(r.stored_zone(), "EST America/New_York");
}
