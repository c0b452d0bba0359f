// The whole system as an operator runs it: platformd, one tzd per card, and the command lines.
#include <gtest/gtest.h>
#include <signal.h>

#include "harness.h"

using e2e::Router;
using namespace std::chrono_literals;

namespace {

const std::string kItem = "/cfg/gl/clock/timezone";

bool contains(const std::string &hay, const std::string &needle) {
    return hay.find(needle) != std::string::npos;
}

// Waits until tzd on CARD has settled its registration: a verifier commit then works.
bool tzctl_answers(Router &r, int card) {
    return Router::eventually([&] { return r.tzctl(card, {"complete", "CET"}).status == 0; });
}

}  // namespace

TEST(System, QueriesAnswerOverTheChannel) {
    Router r;
    r.start_platformd();
    pid_t tzd = r.start_tzd(0);
    ASSERT_TRUE(tzctl_answers(r, 0)) << r.log_of(tzd);

    auto list = r.tzctl(0, {"list"});
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_TRUE(contains(list.out, "CET"));
    EXPECT_TRUE(contains(list.out, "IST"));

    auto loc = r.tzctl(0, {"zone-of", "Asia/Kolkata"});
    ASSERT_EQ(loc.status, 0) << loc.err;
    EXPECT_TRUE(contains(loc.out, "IST"));

    auto none = r.tzctl(0, {"locations", "XYZ"});
    EXPECT_NE(none.status, 0);
}

TEST(System, CommitIsVerifiedAppliedAndRefusedWhenBad) {
    Router r;
    r.start_platformd();
    pid_t tzd = r.start_tzd(0);
    ASSERT_TRUE(tzctl_answers(r, 0));
    // The registration is in place once a commit is accepted.
    ASSERT_TRUE(Router::eventually(
        [&] { return r.platformctl({"cfg", "set", kItem, "CET", "Europe/Paris"}).status == 0; }))
        << r.log_of(tzd);
    EXPECT_TRUE(Router::eventually([&] { return r.zone_in_effect(0) == "Europe/Paris"; }));

    auto bad = r.platformctl({"cfg", "set", kItem, "XXX", "Nowhere/City"});
    EXPECT_NE(bad.status, 0);
    auto got = r.platformctl({"cfg", "get", kItem});
    ASSERT_EQ(got.status, 0) << got.err;
    EXPECT_TRUE(contains(got.out, "Europe/Paris"));
    EXPECT_FALSE(contains(got.out, "Nowhere"));
    EXPECT_EQ(r.zone_in_effect(0), "Europe/Paris");

    // A directory of the tree is not a zone.
    EXPECT_NE(r.platformctl({"cfg", "set", kItem, "CET", "Europe"}).status, 0);

    // A mismatched abbreviation is accepted with a warning; the zone is what counts.
    EXPECT_EQ(r.platformctl({"cfg", "set", kItem, "XYZ", "Europe/Berlin"}).status, 0);
    EXPECT_TRUE(Router::eventually([&] { return r.zone_in_effect(0) == "Europe/Berlin"; }));

    EXPECT_EQ(r.platformctl({"cfg", "delete", kItem}).status, 0);
    EXPECT_TRUE(Router::eventually([&] { return r.zone_in_effect(0).empty(); }));
}

TEST(System, FollowerCardFollowsAndRolesSwap) {
    Router r;
    r.start_platformd();
    pid_t t0 = r.start_tzd(0);
    pid_t t1 = r.start_tzd(1);
    ASSERT_TRUE(tzctl_answers(r, 0));
    ASSERT_TRUE(tzctl_answers(r, 1));
    ASSERT_TRUE(Router::eventually(
        [&] { return r.platformctl({"cfg", "set", kItem, "IST", "Asia/Kolkata"}).status == 0; }))
        << r.log_of(t0);
    EXPECT_TRUE(Router::eventually([&] { return r.zone_in_effect(0) == "Asia/Kolkata"; }));
    EXPECT_TRUE(Router::eventually([&] { return r.zone_in_effect(1) == "Asia/Kolkata"; }))
        << r.log_of(t1);

    // Card 1 takes the role: it verifies from now on, card 0 follows.
    ASSERT_EQ(r.platformctl({"role", "set", "1"}).status, 0);
    ASSERT_TRUE(Router::eventually(
        [&] { return r.platformctl({"cfg", "set", kItem, "EST", "America/New_York"}).status == 0; },
        30s))
        << r.log_of(t1);
    EXPECT_TRUE(Router::eventually([&] { return r.zone_in_effect(1) == "America/New_York"; }));
    EXPECT_TRUE(Router::eventually([&] { return r.zone_in_effect(0) == "America/New_York"; }));

    // And back.
    ASSERT_EQ(r.platformctl({"role", "set", "0"}).status, 0);
    ASSERT_TRUE(Router::eventually(
        [&] { return r.platformctl({"cfg", "set", kItem, "CET", "Europe/Paris"}).status == 0; },
        30s));
    EXPECT_TRUE(Router::eventually([&] { return r.zone_in_effect(0) == "Europe/Paris"; }));
    EXPECT_TRUE(Router::eventually([&] { return r.zone_in_effect(1) == "Europe/Paris"; }));
    EXPECT_NE(r.platformctl({"cfg", "set", kItem, "CET", "Nowhere/City"}).status, 0);
}

TEST(System, RestartedVerifierPutsTheConfiguredZoneBack) {
    Router r;
    r.start_platformd();
    pid_t tzd = r.start_tzd(0);
    ASSERT_TRUE(tzctl_answers(r, 0));
    ASSERT_TRUE(Router::eventually(
        [&] { return r.platformctl({"cfg", "set", kItem, "CET", "Europe/Paris"}).status == 0; }));
    ASSERT_EQ(r.stop(tzd), 0);
    // Someone removes the link while the service is down; the restarted service applies the
    // stored item again.
    ::unlink(r.localtime(0).c_str());
    r.start_tzd(0);
    EXPECT_TRUE(Router::eventually([&] { return r.zone_in_effect(0) == "Europe/Paris"; }));
}

TEST(System, TermTearsDownCleanly) {
    Router r;
    r.start_platformd();
    pid_t tzd = r.start_tzd(0);
    ASSERT_TRUE(tzctl_answers(r, 0));
    ASSERT_TRUE(Router::eventually(
        [&] { return r.platformctl({"cfg", "set", kItem, "CET", "Europe/Paris"}).status == 0; }));
    EXPECT_EQ(r.stop(tzd, SIGTERM), 0) << r.log_of(tzd);
    // With the verifier gone, a commit finds no verifier and is refused.
    auto res = r.platformctl({"cfg", "set", kItem, "IST", "Asia/Kolkata"});
    EXPECT_NE(res.status, 0);
    EXPECT_NE(r.tzctl(0, {"list"}).status, 0);
}

TEST(System, StartWithoutPlatformdEndsWithItsRecord) {
    Router r;
    // The state-change thread cannot register for role events: the service raises its record
    // and ends (a supervisor restarts it).
    pid_t tzd = r.start_tzd(0);
    EXPECT_EQ(r.wait_exit(tzd, 20s), 255) << r.log_of(tzd);
    EXPECT_TRUE(contains(r.records(0), "sysmgr_register_lr_event failed")) << r.records(0);
}

TEST(System, StartUpWaitsForTheLrDaemonAndServesQueriesMeanwhile) {
    Router r;
    r.start_platformd();
    ASSERT_EQ(r.platformctl({"fault", "lrd-fail", "6"}).status, 0);
    pid_t tzd = r.start_tzd(0);
    // The CLI thread answers while start-up still polls the LR daemon.
    ASSERT_TRUE(tzctl_answers(r, 0)) << r.log_of(tzd);
    EXPECT_NE(r.platformctl({"cfg", "set", kItem, "CET", "Europe/Paris"}).status, 0);
    EXPECT_TRUE(r.running(tzd));
    // Once the LR daemon answers, start-up goes on to register as verifier.
    EXPECT_TRUE(Router::eventually(
        [&] { return r.platformctl({"cfg", "set", kItem, "CET", "Europe/Paris"}).status == 0; },
        30s))
        << r.log_of(tzd);
    EXPECT_TRUE(Router::eventually([&] { return r.zone_in_effect(0) == "Europe/Paris"; }));
    auto trace = r.platformctl({"trace", "tz_ltrace"});
    EXPECT_TRUE(contains(trace.out, "dlrsc event = 4")) << trace.out << trace.err;
}
