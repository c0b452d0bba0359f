// Every card ends on the stored time-zone item, whatever happened to a commit on its way: an
// apply that outlasts its time, platformd killed while a card applies, a follower that was down
// when the item was deleted, items that are no time zone, a commit whose client has gone. Two
// cards with the real platformd and tzd; card 0 holds the dLRSC role.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <memory>
#include <thread>

#include "rig.h"

using namespace faults;

namespace {

class Converge : public ::testing::Test {
  protected:
    void SetUp() override {
        r.add_zones({"Asia/Tokyo", "leap-seconds.list"});
        ASSERT_GT(pd = r.start_platformd(), 0);
        ASSERT_GT(tzd0 = r.start_tzd(0), 0) << r.logs();
        ASSERT_GT(tzd1 = r.start_tzd(1), 0) << r.logs();
        ASSERT_TRUE(r.commit_zone_eventually("CET", "Europe/Paris")) << r.logs();
        ASSERT_TRUE(on_both("Europe/Paris"));
    }
    void TearDown() override {
        if (HasFailure())
            std::cerr << r.logs();
    }
    // Both cards have ZONE in effect ("" for none) within 10 s.
    bool on_both(const std::string &zone) {
        return eventually(
            [&] { return r.zone_in_effect(0) == zone && r.zone_in_effect(1) == zone; }, 10s);
    }
    // Waits until tzd PID's setter has put ZONE into effect (a line of its log).
    bool set_by(pid_t pid, const std::string &zone) {
        return eventually(
            [&] { return contains(r.log(pid), "time zone set to \"" + zone + "\""); });
    }
    // A commit the verifier refuses: once it is answered, card 0's tzd has worked through every
    // callout sent to it before.
    void sync_with_verifier() {
        EXPECT_EQ(r.platformctl({"cfg", "set", TZ_ITEM, "XXX", "Nowhere/City"}).status, 1);
    }
    // Holds the setters' lock of card 0's time-zone link, as the setter of another process would:
    // card 0's apply waits until it is released (or its deadline of a few seconds passes).
    struct LinkLock {
        explicit LinkLock(const std::string &link) : fd(hold_setter_lock(link)) {}
        ~LinkLock() { release(); }
        void release() {
            if (fd >= 0)
                close(fd);
            fd = -1;
        }
        int fd;
    };

    Rig r;
    pid_t pd = -1, tzd0 = -1, tzd1 = -1;
};

TEST_F(Converge, AnApplyThatOutlastsItsCommitIsUndoneByTheStoredItem) {
    ASSERT_EQ(r.platformctl({"fault", "cfg-verify-timeout", "1000"}).status, 0);
    LinkLock lock(r.localtime(0));
    Result c = r.platformctl({"cfg", "set", TZ_ITEM, "JST", "Asia/Tokyo"});
    EXPECT_TRUE(ended(c, 1, "did not answer within 1000 ms"));
    lock.release();
    ASSERT_TRUE(set_by(tzd0, "Asia/Tokyo"));  // the late apply
    EXPECT_EQ(r.stored_zone(), "CET Europe/Paris");
    EXPECT_TRUE(on_both("Europe/Paris")) << r.zone_in_effect(0);
    // An operator sees it too: each card's zone beside the stored item.
    EXPECT_TRUE(eventually([&] {
        std::string s = r.platformctl({"status"}).out;
        return contains(s, "stored /cfg/gl/clock/timezone: CET Europe/Paris") &&
               contains(s, "card 0: Europe/Paris, as stored") &&
               contains(s, "card 1: Europe/Paris, as stored");
    }));
}

TEST_F(Converge, PlatformdKilledWhileACardAppliesLeavesNoTraceOfTheCommit) {
    LinkLock lock(r.localtime(0));
    Result c;
    std::thread committer([&] { c = r.platformctl({"cfg", "set", TZ_ITEM, "JST", "Asia/Tokyo"}); });
    EXPECT_TRUE(eventually([&] { return waits_for_setter_lock(tzd0, r.localtime(0)); }));
    r.stop(pd, SIGKILL);
    committer.join();
    EXPECT_NE(c.status, 0);
    lock.release();
    ASSERT_TRUE(set_by(tzd0, "Asia/Tokyo"));
    ASSERT_GT(pd = r.start_platformd(), 0);
    EXPECT_EQ(r.stored_zone(), "CET Europe/Paris");
    EXPECT_TRUE(on_both("Europe/Paris")) << r.zone_in_effect(0);
}

TEST_F(Converge, AFollowerThatWasDownWhenTheItemWasDeletedDropsItsZone) {
    r.stop(tzd1, SIGKILL);
    ASSERT_EQ(r.tzctl({"unset"}).status, 0);
    EXPECT_TRUE(eventually([&] { return r.zone_in_effect(0).empty(); }));
    ASSERT_GT(tzd1 = r.start_tzd(1), 0);
    EXPECT_TRUE(on_both("")) << r.zone_in_effect(1);
}

TEST_F(Converge, TheTimestampItemIsNeverAppliedNotEvenAtStartUp) {
    Result ts = r.platformctl({"cfg", "set", "/cfg/gl/clock/ts", "JST", "Asia/Tokyo"});
    ASSERT_EQ(ts.status, 0) << ts.err;
    EXPECT_TRUE(on_both("Europe/Paris"));
    // A restarted verifier is handed both stored items; only the time zone is put into effect.
    for (pid_t *tzd : {&tzd0, &tzd1}) {
        int card = tzd == &tzd0 ? 0 : 1;
        r.stop(*tzd);
        ASSERT_GT(*tzd = r.start_tzd(card), 0);
    }
    ASSERT_TRUE(eventually([&] { return r.stored_zone() == "CET Europe/Paris"; }));
    ASSERT_TRUE(set_by(tzd0, "Europe/Paris"));
    sync_with_verifier();
    EXPECT_TRUE(on_both("Europe/Paris")) << r.zone_in_effect(0) << " " << r.zone_in_effect(1);
}

TEST_F(Converge, OnlyTheKnownItemsExistBelowTheClock) {
    for (std::string name : {"other", "timezone/x", "/timezone"}) {
        SCOPED_TRACE(name);
        Result c =
            r.platformctl({"cfg", "set", "/cfg/gl/clock/" + name, "EST", "America/New_York"});
        EXPECT_TRUE(ended(c, 1, "below /cfg/gl/clock/ only timezone and ts exist"));
    }
    EXPECT_EQ(r.platformctl({"cfg", "list", "/cfg/gl/clock/"}).out,
              std::string(TZ_ITEM) + " CET Europe/Paris\n");
    EXPECT_TRUE(on_both("Europe/Paris"));
}

TEST_F(Converge, ACommitWhoseClientHasGoneIsDroppedNotApplied) {
    ASSERT_EQ(r.platformctl({"fault", "cfg-verify-timeout", "3000"}).status, 0);
    ASSERT_EQ(kill(tzd0, SIGSTOP), 0);
    Result first;
    std::thread committer([&] {
        first = r.platformctl({"cfg", "set", TZ_ITEM, "EST", "America/New_York"});
    });
    EXPECT_TRUE(eventually(
        [&] { return contains(r.platformctl({"status"}).out, "1 waiting or in progress"); }));
    // Queued behind the first; its client gives up and goes before the verifier answers anything.
    Result gone = r.tzctl({"--timeout", "1", "set", "IST", "Asia/Kolkata"});
    EXPECT_NE(gone.status, 0);
    committer.join();
    EXPECT_TRUE(ended(first, 1, "did not answer"));
    ASSERT_EQ(kill(tzd0, SIGCONT), 0);
    sync_with_verifier();
    EXPECT_EQ(r.stored_zone(), "CET Europe/Paris");
    EXPECT_TRUE(on_both("Europe/Paris"));
    EXPECT_TRUE(contains(r.platformctl({"status"}).out, "1 dropped"));
}

// A refusal and a failed apply come back to the command line with the reason in words.
TEST_F(Converge, RefusalsAndFailedAppliesSayWhy) {
    Result typo = r.platformctl({"cfg", "set", TZ_ITEM, "CET", "Europe/Pariss"});
    EXPECT_TRUE(ended(typo, 1, "Failed to lstat() " + r.zoneinfo() + "/Europe/Pariss"));
    Result leap = r.platformctl({"cfg", "set", TZ_ITEM, "leap", "leap-seconds.list"});
    EXPECT_TRUE(ended(leap, 1, "time zone \"leap-seconds.list\" not set"));
    EXPECT_EQ(r.stored_zone(), "CET Europe/Paris");
    EXPECT_TRUE(on_both("Europe/Paris"));
}

}  // namespace
