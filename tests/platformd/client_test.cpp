// The system-manager and LR-daemon clients of libplatform against the real platformd: in this
// process (card 0) and in platform_peer processes of other cards.
#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "platform_events.h"
#include "platform_sysdb.h"
#include "support.h"

using ts::contains;
using Lines = std::vector<std::string>;

namespace {

// The tests share one router: the library in this process reads its environment once.
class Clients : public ::testing::Test {
  protected:
    void TearDown() override {
        if (HasFailure())
            std::cerr << "platformd log:\n" << r.log(r.platformd());
        r.stop_all();
    }
    ts::Router &r = ts::shared_router();
};

uint32_t ask(int32_t &flag) {
    flag = -1;
    return lrd_am_i_dlrsc(&flag);
}

}  // namespace

TEST_F(Clients, TheLrAnswerFollowsTheDaemonTheRoleAndTheFault) {
    // Without a daemon, or with bad arguments: a failure, never a wrong answer.
    int32_t flag;
    EXPECT_EQ(ask(flag), uint32_t(ENOCONN));
    EXPECT_EQ(flag, -1);
    EXPECT_EQ(lrd_am_i_dlrsc(nullptr), uint32_t(EINVAL));
    evm_handle_t evm = event_manager_create(4, nullptr, 1, nullptr);
    auto cb = [](event_context *) { return 0; };
    EXPECT_EQ(sysmgr_register_lr_event(evm, 1, cb, nullptr), uint32_t(EINVAL));
    EXPECT_EQ(sysmgr_register_lr_event(evm, 36, cb, nullptr), uint32_t(ENOCONN));
    ASSERT_EQ(sysmgr_set_evm(evm), 0u);
    event_manager_destroy(&evm);
    EXPECT_EQ(sysmgr_register_lr_event(nullptr, 36, cb, nullptr), uint32_t(EINVAL));

    ASSERT_GT(r.start_platformd(), 0);
    EXPECT_EQ(ask(flag), 0u);
    EXPECT_EQ(flag, 1);
    ASSERT_EQ(r.ctl({"role", "set", "2"}).status, 0);
    EXPECT_EQ(ask(flag), 0u);
    EXPECT_EQ(flag, 0);

    ASSERT_EQ(r.ctl({"fault", "lrd-fail", "60"}).status, 0);
    EXPECT_NE(ask(flag), 0u);
    EXPECT_EQ(flag, -1);
    EXPECT_TRUE(contains(r.ctl({"status"}).out, "lrd-fail: LR daemon answers fail"));
    ASSERT_EQ(r.ctl({"fault", "clear"}).status, 0);
    EXPECT_EQ(ask(flag), 0u);
    ts::Result bad = r.ctl({"fault", "lrd-fail", "soon"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_TRUE(contains(bad.err, "seconds")) << bad.err;
    bad = r.ctl({"fault", "no-such-fault"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_TRUE(contains(bad.err, "lrd-fail")) << bad.err;

    // A restart: failures while it is down, answers from the new daemon's state after.
    r.stop(r.platformd());
    EXPECT_EQ(ask(flag), uint32_t(ENOCONN));
    ASSERT_GT(r.start_platformd(), 0);
    EXPECT_EQ(ask(flag), 0u);
    EXPECT_EQ(flag, 1);
    // A daemon that hangs: the question fails after a bounded wait instead of blocking.
    kill(r.platformd(), SIGSTOP);
    EXPECT_EQ(ask(flag), uint32_t(ENOCONN));
    kill(r.platformd(), SIGCONT);
    EXPECT_EQ(ask(flag), 0u);
}

TEST_F(Clients, RoleEventsReachTheCallbackOnItsLoopAndSurviveARestart) {
    ASSERT_GT(r.start_platformd(), 0);
    pid_t w0 = r.start(ts::bin("platform_peer"), {"--role"}, 0);
    pid_t w1 = r.start(ts::bin("platform_peer"), {"--ready", "--role"}, 1);
    auto events_are = [&](pid_t w, const Lines &want) {
        return ts::eventually([&] { return r.lines(w, "event ") == want; });
    };
    EXPECT_TRUE(events_are(w0, {"event 4 dlrsc 0"})) << r.log(w0);
    EXPECT_TRUE(events_are(w1, {"event 32 dlrsc 0"})) << r.log(w1);
    ASSERT_EQ(r.ctl({"role", "set", "1"}).status, 0);
    EXPECT_TRUE(events_are(w0, {"event 4 dlrsc 0", "event 32 dlrsc 1"})) << r.log(w0);

    // The library registers again by itself; the new daemon sends the current role at once, and
    // hears of the readiness again.
    r.stop(r.platformd());
    ASSERT_GT(r.start_platformd(), 0);
    EXPECT_TRUE(events_are(w1, {"event 32 dlrsc 0", "event 4 dlrsc 1", "event 32 dlrsc 0"}))
        << r.log(w1);
    ASSERT_EQ(r.ctl({"role", "set", "1"}).status, 0);
    EXPECT_TRUE(events_are(
        w1, {"event 32 dlrsc 0", "event 4 dlrsc 1", "event 32 dlrsc 0", "event 4 dlrsc 1"}))
        << r.log(w1);
    EXPECT_TRUE(contains(r.ctl({"role", "show", "1"}).out, "card 1: dLRSC, up, ready"));
}

TEST_F(Clients, ReadinessGoesToPlatformdAndToTheServiceManager) {
    EXPECT_EQ(sysmgr_proc_ready(), uint32_t(ENOCONN));
    // A stand-in for the service manager's notification socket, in the abstract namespace.
    std::string name = "platformd-test-notify-" + std::to_string(getpid());
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path + 1, name.data(), name.size());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr),
                   socklen_t(offsetof(sockaddr_un, sun_path) + 1 + name.size())),
              0);
    setenv("NOTIFY_SOCKET", ("@" + name).c_str(), 1);

    ASSERT_GT(r.start_platformd(), 0);
    EXPECT_EQ(sysmgr_proc_ready(), 0u);
    char buf[64] = {};
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    ssize_t n = recv(fd, buf, sizeof(buf) - 1, 0);
    EXPECT_EQ(std::string(buf, n > 0 ? size_t(n) : 0), "READY=1");
    close(fd);
    auto mine = ts::lines(r.ctl({"status"}).out, "  card 0 pid " + std::to_string(getpid()));
    ASSERT_EQ(mine.size(), 1u);
    EXPECT_TRUE(contains(mine[0], "ready since")) << mine[0];

    // A notification socket that is not there is a failure too.
    setenv("NOTIFY_SOCKET", (r.dir() + "/no-such-socket").c_str(), 1);
    EXPECT_EQ(sysmgr_proc_ready(), uint32_t(ENOENT));
    unsetenv("NOTIFY_SOCKET");
}
