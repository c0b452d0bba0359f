// Every card ends on the stored time-zone item, whatever happened to a commit on its way: an
// apply that outlasts its time, platformd killed while a card applies, a follower that was down
// when the item was deleted, items that are no time zone, a commit whose client has gone, a full
// disk. Two cards with the real platformd and tzd; card 0 holds the dLRSC role.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "rig.h"

using namespace faults;

namespace {

// Holds the lock by which setters of the time-zone link LINK take turns, as another setter would:
// a setter that finds it held waits (up to its deadline).
struct SetterLock {
    explicit SetterLock(const std::string &link) {
        size_t slash = link.rfind('/');
        file = link.substr(0, slash + 1) + "." + link.substr(slash + 1) + ".lock";
        fd = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        EXPECT_EQ(flock(fd, LOCK_EX), 0) << file;
    }
    ~SetterLock() { release(); }
    void release() {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
    // Whether PID has the lock file open: while the lock is held, PID's setter waits for it.
    bool waited_for_by(pid_t pid) const {
        std::error_code ec;
        auto fds = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
        for (auto &e : fds)
            if (std::filesystem::read_symlink(e.path(), ec) == file)
                return true;
        return false;
    }
    std::string file;
    int fd = -1;
};

class Converge : public RigTest {
  protected:
    void SetUp() override {
        ASSERT_GT(pd = rig.start_platformd(), 0);
        ASSERT_GT(tzd0 = rig.start_tzd(0), 0);
        ASSERT_GT(tzd1 = rig.start_tzd(1), 0);
        ASSERT_TRUE(rig.commit_zone_eventually("CET", "Europe/Paris"));
        ASSERT_TRUE(on_both("Europe/Paris"));
    }
    bool on_both(const std::string &zone) { return rig.in_effect(zone, {0, 1}); }
    // Waits until tzd PID's setter has put ZONE into effect (a line of its log).
    bool set_by(pid_t pid, const std::string &zone) {
        return eventually(
            [&] { return contains(rig.log(pid), "time zone set to \"" + zone + "\""); });
    }
    // A commit the verifier refuses: once it is answered, card 0's tzd has worked through every
    // callout sent to it before.
    void sync_with_verifier() { EXPECT_EQ(rig.set("XXX", "Nowhere/City").status, 1); }

    pid_t pd = -1, tzd0 = -1, tzd1 = -1;
};

TEST_F(Converge, AnApplyThatOutlastsItsCommitIsUndoneByTheStoredItem) {
    ASSERT_EQ(rig.platformctl({"fault", "cfg-verify-timeout", "1000"}).status, 0);
    SetterLock lock(rig.localtime(0));
    EXPECT_TRUE(ended(rig.set("JST", "Asia/Tokyo"), 1, "did not answer within 1000 ms"));
    lock.release();
    ASSERT_TRUE(set_by(tzd0, "Asia/Tokyo"));  // the late apply
    EXPECT_EQ(rig.stored_zone(), "CET Europe/Paris");
    EXPECT_TRUE(on_both("Europe/Paris")) << rig.zone_in_effect(0);
    // An operator sees it too: each card's zone beside the stored item.
    EXPECT_TRUE(eventually([&] {
        return contains(rig.platformctl({"status"}).out, "card 0: Europe/Paris, as stored");
    }));
}

TEST_F(Converge, PlatformdKilledWhileACardAppliesLeavesNoTraceOfTheCommit) {
    SetterLock lock(rig.localtime(0));
    Result c;
    std::thread committer([&] { c = rig.set("JST", "Asia/Tokyo"); });
    EXPECT_TRUE(eventually([&] { return lock.waited_for_by(tzd0); }));
    rig.stop(pd, SIGKILL);
    committer.join();
    EXPECT_NE(c.status, 0);
    lock.release();
    ASSERT_TRUE(set_by(tzd0, "Asia/Tokyo"));
    ASSERT_GT(pd = rig.start_platformd(), 0);
    EXPECT_EQ(rig.stored_zone(), "CET Europe/Paris");
    EXPECT_TRUE(on_both("Europe/Paris")) << rig.zone_in_effect(0);
    // The tzds register again with the new daemon by themselves: commits are served.
    EXPECT_TRUE(rig.commit_zone_eventually("IST", "Asia/Kolkata", 30s));
    EXPECT_TRUE(on_both("Asia/Kolkata"));
}

TEST_F(Converge, AFollowerThatWasDownWhenTheItemWasDeletedDropsItsZone) {
    rig.stop(tzd1, SIGKILL);
    ASSERT_EQ(rig.tzctl({"unset"}).status, 0);
    EXPECT_TRUE(rig.in_effect(""));
    ASSERT_GT(tzd1 = rig.start_tzd(1), 0);
    EXPECT_TRUE(on_both("")) << rig.zone_in_effect(1);
}

TEST_F(Converge, TheTimestampItemIsNeverAppliedNotEvenAtStartUp) {
    Result ts = rig.platformctl({"cfg", "set", "/cfg/gl/clock/ts", "JST", "Asia/Tokyo"});
    ASSERT_EQ(ts.status, 0) << ts.err;
    EXPECT_TRUE(on_both("Europe/Paris"));
    // A restarted verifier is handed both stored items; only the time zone is put into effect.
    rig.stop(tzd0);
    ASSERT_GT(tzd0 = rig.start_tzd(0), 0);
    ASSERT_TRUE(set_by(tzd0, "Europe/Paris"));
    sync_with_verifier();
    EXPECT_TRUE(on_both("Europe/Paris")) << rig.zone_in_effect(0) << " " << rig.zone_in_effect(1);
}

TEST_F(Converge, ACommitWhoseClientHasGoneIsDroppedNotApplied) {
    ASSERT_EQ(rig.platformctl({"fault", "cfg-verify-timeout", "3000"}).status, 0);
    ASSERT_EQ(kill(tzd0, SIGSTOP), 0);
    Result first;
    std::thread committer([&] { first = rig.set("EST", "America/New_York"); });
    EXPECT_TRUE(eventually(
        [&] { return contains(rig.platformctl({"status"}).out, "1 waiting or in progress"); }));
    // Queued behind the first; its client gives up and goes before the verifier answers anything.
    EXPECT_NE(rig.tzctl({"--timeout", "1", "set", "IST", "Asia/Kolkata"}).status, 0);
    committer.join();
    EXPECT_TRUE(ended(first, 1, "did not answer"));
    ASSERT_EQ(kill(tzd0, SIGCONT), 0);
    sync_with_verifier();
    EXPECT_EQ(rig.stored_zone(), "CET Europe/Paris");
    EXPECT_TRUE(on_both("Europe/Paris"));
    EXPECT_TRUE(contains(rig.platformctl({"status"}).out, "1 dropped"));
}

// A refusal and a failed apply come back to the command line with the reason in words.
TEST_F(Converge, RefusalsAndFailedAppliesSayWhy) {
    rig.add_zones({"leap-seconds.list"});
    const std::string below = "below /cfg/gl/clock/ only timezone and ts exist";
    const std::vector<std::string> cases[] = {
        {TZ_ITEM, "CET", "Europe/Pariss", "Failed to lstat() " + rig.zoneinfo() + "/Europe/Pariss"},
        {TZ_ITEM, "leap", "leap-seconds.list", "time zone \"leap-seconds.list\" not set"},
        {TZ_ITEM, "CET", "Europe", "Argument is not a binary"},
        {"/cfg/gl/clock/other", "EST", "America/New_York", below},
        {"/cfg/gl/clock/timezone/x", "EST", "America/New_York", below},
    };
    for (auto &c : cases)
        EXPECT_TRUE(ended(rig.platformctl({"cfg", "set", c[0], c[1], c[2]}), 1, c[3])) << c[0];
    EXPECT_EQ(rig.platformctl({"cfg", "list", "/cfg/gl/clock/"}).out,
              std::string(TZ_ITEM) + " CET Europe/Paris\n");
    EXPECT_TRUE(on_both("Europe/Paris"));
}

// A full disk under the database, made with a small tmpfs in a mount namespace of this test
// process and its children (root is not stopped by modes, and a mount in use cannot be made
// read-only).
TEST(Faults, AFullDiskRefusesCommitsAndLosesNothing) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr))
        GTEST_SKIP() << "no private mount namespace here: " << strerror(errno);
    Rig r;
    const std::string disk = r.statedir();
    ASSERT_EQ(mkdir(disk.c_str(), 0700), 0);
    if (mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=512k,mode=0700") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs: " << strerror(errno);
    // Gone before the router removes its directory.
    struct Unmount {
        std::string dir;
        ~Unmount() { umount2(dir.c_str(), MNT_DETACH); }
    } unmount{disk};
    ASSERT_GT(r.start_platformd(), 0);
    ASSERT_GT(r.start_tzd(), 0);
    ASSERT_TRUE(r.commit_zone_eventually("CET", "Europe/Paris")) << r.log(r.platformd());

    // Fill what is left, to the last page.
    const std::string filler = disk + "/filler";
    int fd = open(filler.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    std::vector<char> block(4096, 'x');
    while (write(fd, block.data(), block.size()) > 0) {
    }
    EXPECT_EQ(errno, ENOSPC);
    close(fd);

    // Changes and deletions are refused with the reason; the stored item stays, and so does the
    // zone in effect (tzd had applied the change; it is handed the stored item back).
    for (auto args : {std::vector<std::string>{"cfg", "set", TZ_ITEM, "EST", "America/New_York"},
                      std::vector<std::string>{"cfg", "delete", TZ_ITEM}}) {
        EXPECT_TRUE(ended(r.platformctl(args), 1, "disk is full")) << args[1];
        EXPECT_EQ(r.stored_zone(), "CET Europe/Paris");
        EXPECT_TRUE(r.in_effect("Europe/Paris")) << r.zone_in_effect(0);
    }

    // Space again: commits work.
    ASSERT_EQ(unlink(filler.c_str()), 0);
    EXPECT_TRUE(ended(r.set("EST", "America/New_York"), 0));
    EXPECT_TRUE(r.in_effect("America/New_York"));
}

}  // namespace
