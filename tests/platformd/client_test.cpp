// The system-manager and LR-daemon clients of libplatform against the real platformd: in this
// process (card 0) and in platform_peer processes of other cards.
#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <thread>

#include "platform_events.h"
#include "platform_sysdb.h"
#include "support.h"

using ts::contains;
using Lines = std::vector<std::string>;

namespace {

// The tests share one router (the library in this process reads its environment once), each with
// a platformd of its own that starts from no stored role.
class Clients : public ::testing::Test {
  protected:
    void TearDown() override {
        r.stop_all();
        std::filesystem::remove_all(r.statedir());
    }
    ts::Router &r = ts::shared_router();
};

uint32_t ask(int32_t &flag) {
    flag = -1;
    return lrd_am_i_dlrsc(&flag);
}

}  // namespace

TEST_F(Clients, TheLrAnswerFollowsTheDaemonTheRoleAndTheFault) {
    // Without a daemon: a failure, never a wrong answer.
    int32_t flag;
    EXPECT_EQ(ask(flag), uint32_t(ENOCONN));
    EXPECT_EQ(flag, -1);
    ASSERT_GT(r.start_platformd(), 0);
    EXPECT_TRUE(ask(flag) == 0 && flag == 1);
    ASSERT_EQ(r.ctl({"role", "set", "--force", "2"}).status, 0);
    EXPECT_TRUE(ask(flag) == 0 && flag == 0);

    ASSERT_EQ(r.ctl({"fault", "lrd-fail", "60"}).status, 0);
    EXPECT_TRUE(ask(flag) != 0 && flag == -1);
    EXPECT_TRUE(contains(r.ctl({"status"}).out, "lrd-fail: LR daemon answers fail"));
    ASSERT_EQ(r.ctl({"fault", "clear"}).status, 0);
    EXPECT_EQ(ask(flag), 0u);
    EXPECT_TRUE(ts::ended(r.ctl({"fault", "lrd-fail", "soon"}), 1, "seconds"));
    EXPECT_TRUE(ts::ended(r.ctl({"fault", "no-such-fault"}), 4, "lrd-fail"));  // what there is

    // A restart: failures while it is down, answers from the new daemon after, which has kept
    // the role where it was.
    r.stop(r.platformd());
    EXPECT_EQ(ask(flag), uint32_t(ENOCONN));
    ASSERT_GT(r.start_platformd(), 0);
    EXPECT_TRUE(ask(flag) == 0 && flag == 0);
    // A daemon that hangs: the question fails after a bounded wait instead of blocking.
    kill(r.platformd(), SIGSTOP);
    EXPECT_EQ(ask(flag), uint32_t(ENOCONN));
    kill(r.platformd(), SIGCONT);
    EXPECT_EQ(ask(flag), 0u);
}

// Every registered card hears of the role at once and of every change, once, on its own loop;
// after a restart of platformd the library registers again by itself, the new daemon hears of
// the readiness again and gives the role back to its holder; a holder that does not come back
// loses it to the lowest card that is up.
TEST_F(Clients, RoleEventsReachEveryCardOnItsLoopOnceAndAfterARestart) {
    ASSERT_GT(r.start_platformd(), 0);
    pid_t w0 = r.start(ts::bin("platform_peer"), {"--role"}, 0);
    pid_t w1 = r.start(ts::bin("platform_peer"), {"--ready", "--role"}, 1);
    Lines e0 = {"event 4 dlrsc 0"}, e1 = {"event 32 dlrsc 0"};
    auto heard = [&] {
        return ts::eventually(
            [&] { return r.lines(w0, "event ") == e0 && r.lines(w1, "event ") == e1; });
    };
    EXPECT_TRUE(r.wait_line(w1, "ready 0"));
    EXPECT_TRUE(heard()) << r.log(w0) << r.log(w1);
    for (const char *card : {"1", "1"})  // giving the role to its holder sends nothing
        ASSERT_EQ(r.ctl({"role", "set", card}).status, 0);
    // A card that is down takes it only when the operator insists.
    EXPECT_TRUE(ts::ended(r.ctl({"role", "set", "7"}), 1, "card 7 is down"));
    ASSERT_EQ(r.ctl({"role", "set", "--force", "7"}).status, 0);
    e0.insert(e0.end(), {"event 32 dlrsc 1", "event 32 dlrsc 7"});
    e1.insert(e1.end(), {"event 4 dlrsc 1", "event 32 dlrsc 7"});
    EXPECT_TRUE(heard()) << r.log(w0) << r.log(w1);
    ts::Result show = r.ctl({"role", "show"});
    for (const char *text :
         {"dLRSC: card 7", "card 7: dLRSC, down", "card 1: not dLRSC, up, ready"})
        EXPECT_TRUE(contains(show.out, text)) << show.out;

    r.stop(r.platformd());
    ASSERT_GT(r.start_platformd(), 0);
    // Within the grace the role waits for its holder, though other cards are back: five of
    // platformd's ticks pass with card 0 up and the role still on card 7.
    ASSERT_TRUE(ts::eventually([&] {
        return contains(r.ctl({"role", "show", "0"}).out, "card 0: not dLRSC, up");
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_TRUE(contains(r.ctl({"role", "show"}).out, "dLRSC: card 7"));
    e0.insert(e0.end(), {"event 32 dlrsc 7", "event 4 dlrsc 0"});
    e1.insert(e1.end(), {"event 32 dlrsc 7", "event 32 dlrsc 0"});
    EXPECT_TRUE(heard()) << r.log(w0) << r.log(w1);
    EXPECT_TRUE(contains(r.log(r.platformd()),
                         "dLRSC role moved from card 7 to card 0: card 7 did not come back within "
                         "10 s of the restart"))
        << r.log(r.platformd());
    EXPECT_TRUE(ts::eventually([&] {
        return contains(r.ctl({"role", "show", "1"}).out, "card 1: not dLRSC, up, ready");
    }));
}
