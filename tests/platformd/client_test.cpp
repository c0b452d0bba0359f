// The system-manager and LR-daemon clients of libplatform against the real platformd: in this
// process (card 0) and in helper processes of other cards.
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "harness.h"
#include "platform_events.h"
#include "platform_sysdb.h"

using namespace pdtest;

namespace {

// The library reads its environment once per process, so every test of this process uses the
// same directory (each test its own daemon in it).
const std::string &process_dir() {
    static const std::string dir = [] {
        char tmpl[] = "/tmp/platformd-client-XXXXXX";
        std::string d = mkdtemp(tmpl);
        Daemon(d).export_env(0);
        unsetenv("NOTIFY_SOCKET");
        return d;
    }();
    return dir;
}

class ClientTest : public ::testing::Test {
  protected:
    ClientTest() : d(process_dir()) {}
    void TearDown() override {
        if (HasFailure())
            std::cerr << "platformd log:\n" << d.log();
    }
    std::unique_ptr<Child> watcher(int card, bool ready = false) {
        std::vector<std::string> args;
        if (ready)
            args.push_back("--ready");
        return std::make_unique<Child>(bin("platformd_lr_client"), args, d.env(card));
    }
    Daemon d;
};

uint32_t ask(int32_t &flag) {
    flag = -1;
    return lrd_am_i_dlrsc(&flag);
}

}  // namespace

TEST_F(ClientTest, RoleEventsReachTheCallbackThroughTheEventLoop) {
    ASSERT_TRUE(d.start()) << d.log();
    auto w0 = watcher(0), w1 = watcher(1);
    EXPECT_EQ(w0->line(), "registered 0");
    EXPECT_EQ(w1->line(), "registered 0");
    EXPECT_EQ(w0->line(), "event 4 dlrsc 0");
    EXPECT_EQ(w1->line(), "event 32 dlrsc 0");

    Result r = d.ctl({"role", "set", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(w0->line(), "event 32 dlrsc 1");
    EXPECT_EQ(w1->line(), "event 4 dlrsc 1");
}

TEST_F(ClientTest, TheLrAnswerFollowsTheDaemonAndTheFault) {
    int32_t flag;
    // No daemon yet: a failure, not a wrong answer.
    EXPECT_EQ(ask(flag), uint32_t(ENOCONN));
    EXPECT_EQ(flag, -1);

    ASSERT_TRUE(d.start()) << d.log();
    EXPECT_EQ(ask(flag), 0u);
    EXPECT_EQ(flag, 1);
    ASSERT_EQ(d.ctl({"role", "set", "2"}).status, 0);
    EXPECT_EQ(ask(flag), 0u);
    EXPECT_EQ(flag, 0);

    ASSERT_EQ(d.ctl({"fault", "lrd-fail", "60"}).status, 0);
    EXPECT_NE(ask(flag), 0u);
    EXPECT_EQ(flag, -1);
    ASSERT_EQ(d.ctl({"fault", "clear"}).status, 0);
    EXPECT_EQ(ask(flag), 0u);

    // A restart: failures while it is down, answers (from the new daemon's state) after.
    d.stop();
    EXPECT_EQ(ask(flag), uint32_t(ENOCONN));
    ASSERT_TRUE(d.start()) << d.log();
    EXPECT_EQ(ask(flag), 0u);
    EXPECT_EQ(flag, 1);

    // A daemon that hangs: the question fails after a bounded wait instead of blocking.
    kill(d.pid(), SIGSTOP);
    EXPECT_EQ(ask(flag), uint32_t(ENOCONN));
    kill(d.pid(), SIGCONT);
    EXPECT_EQ(ask(flag), 0u);

    EXPECT_EQ(lrd_am_i_dlrsc(nullptr), uint32_t(EINVAL));
}

TEST_F(ClientTest, RegistrationsSurviveADaemonRestart) {
    ASSERT_TRUE(d.start()) << d.log();
    auto w1 = watcher(1, true);
    EXPECT_EQ(w1->line(), "ready 0");
    EXPECT_EQ(w1->line(), "registered 0");
    EXPECT_EQ(w1->line(), "event 32 dlrsc 0");

    d.stop();
    ASSERT_TRUE(d.start()) << d.log();
    // The library registers again by itself; the new daemon sends the current role at once.
    EXPECT_EQ(w1->line(10s), "event 32 dlrsc 0");
    ASSERT_EQ(d.ctl({"role", "set", "1"}).status, 0);
    EXPECT_EQ(w1->line(), "event 4 dlrsc 1");
    // Readiness was reported again on the new connection.
    Result show = d.ctl({"role", "show", "1"});
    EXPECT_NE(show.out.find("card 1: dLRSC, up, ready"), std::string::npos) << show.out;
}

TEST_F(ClientTest, ReadinessGoesToPlatformdAndToTheServiceManager) {
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

    ASSERT_TRUE(d.start()) << d.log();
    EXPECT_EQ(sysmgr_proc_ready(), 0u);
    char buf[64] = {};
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    ssize_t n = recv(fd, buf, sizeof(buf) - 1, 0);
    EXPECT_EQ(std::string(buf, n > 0 ? size_t(n) : 0), "READY=1");
    close(fd);
    unsetenv("NOTIFY_SOCKET");

    Result st = d.ctl({"status"});
    EXPECT_NE(st.out.find("card 0 pid " + std::to_string(getpid())), std::string::npos) << st.out;
    EXPECT_NE(st.out.find("ready since"), std::string::npos) << st.out;

    // Without a daemon the report fails, and a notification socket that is not there too.
    d.stop();
    EXPECT_EQ(sysmgr_proc_ready(), uint32_t(ENOCONN));
    ASSERT_TRUE(d.start()) << d.log();
    setenv("NOTIFY_SOCKET", (d.dir() + "/no-such-socket").c_str(), 1);
    EXPECT_EQ(sysmgr_proc_ready(), uint32_t(ENOENT));
    unsetenv("NOTIFY_SOCKET");
}

TEST_F(ClientTest, BadArgumentsAndNoDaemonAreRefused) {
    EXPECT_EQ(sysmgr_set_evm(nullptr), uint32_t(EINVAL));
    evm_handle_t evm = event_manager_create(4, nullptr, 1, nullptr);
    ASSERT_TRUE(evm);
    auto cb = [](event_context *) { return 0; };
    EXPECT_EQ(sysmgr_register_lr_event(evm, 36, nullptr, nullptr), uint32_t(EINVAL));
    EXPECT_EQ(sysmgr_register_lr_event(evm, 1, cb, nullptr), uint32_t(EINVAL));
    // No daemon.
    EXPECT_EQ(sysmgr_register_lr_event(evm, 36, cb, nullptr), uint32_t(ENOCONN));
    EXPECT_EQ(sysmgr_set_evm(evm), 0u);
    event_manager_destroy(&evm);
    EXPECT_EQ(sysmgr_register_lr_event(nullptr, 36, cb, nullptr), uint32_t(EINVAL));
}
