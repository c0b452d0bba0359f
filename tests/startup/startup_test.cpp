// Start-up of the service against the platform test doubles: the order in which it comes up, the
// waits for the role, the library and the bind, the main loop and the teardown. The state-change
// and CLI threads are the real ones, on the doubles' event loops.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "service_util.h"

using Ops = std::vector<std::string>;

namespace {

bool wait_for(const std::function<bool()> &done) {
    for (int i = 0; i < 10000 && !done(); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return done();
}

// Start-up runs on a thread of its own, as the process's main thread would.
std::atomic<bool> service_done{false};
std::atomic<int> service_result{0}, main_masked{-1};

void start_service(std::function<int()> body) {
    std::thread([body] {
        service_result = body();
        sigset_t mask;
        pthread_sigmask(SIG_BLOCK, nullptr, &mask);
        main_masked = sigismember(&mask, SIGRTMIN + 6) && sigismember(&mask, SIGRTMIN + 10);
        service_done = true;
    }).detach();
}

class Startup : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::reset_service_state();
        lr_sysdb_conn = nullptr;
        tz_evm = nullptr;
    }
};

TEST_F(Startup, ComesUpInOrderWaitsForTheRoleAndTearsDownOnTheDlrsc) {
    fake::script("lrd_am_i_dlrsc.flag", {1});
    fake::script("event_block", {0, 7});  // the main loop's, then -1
    start_service(tz_config_register);

    // Registered and waiting for the first role event: an event other than 4 or 32 does not end
    // the wait.
    ASSERT_TRUE(wait_for([] { return fake::sleeps().size() >= 2; }));
    fake::queue_role_events({8});
    ASSERT_TRUE(wait_for([] { return dlrsc_event == 8 && fake::sleeps().size() >= 4; }));
    EXPECT_EQ(prev_dlrsc_event.load(), -1);
    fake::queue_role_events({DLRSC_EVENT_ACTIVE});
    ASSERT_TRUE(wait_for([] { return service_done.load(); }));
    EXPECT_EQ(service_result.load(), -1);
    EXPECT_EQ(prev_dlrsc_event.load(), DLRSC_EVENT_ACTIVE);

    // Readiness before the role and the bind; at the end the verification registration is
    // dropped and unbound. The other threads' calls are left out.
    const Ops others = {
        "event_manager_create", "sysmgr_register_lr_event", "sysmgr_set_evm", "event_block",
        "vk_event_dispatch",    "event_message_attach",     "sleep",          "ltrace_init2"};
    EXPECT_EQ(fake::ops(others), (Ops{"sysmgr_proc_ready", "lrd_am_i_dlrsc", "_sysdb_bind",
                                      "sysdb_register_verification", "backend_scan",
                                      "sysdb_verification_unregister", "_sysdb_unbind"}));
    // The threads it starts inherit its mask: the two real-time signals blocked.
    EXPECT_EQ(main_masked.load(), 1);
}

// The role query, the library file and transient bind statuses are polled every second, without
// a log line.
TEST_F(Startup, RoleLibraryAndBindAreWaitedForEverySecond) {
    static std::string lib = ::testing::TempDir() + "libsysdb_" + std::to_string(getpid());
    unlink(lib.c_str());
    tz_sysdb_lib_path = lib.c_str();
    tz_sleep = [](unsigned seconds) {  // the library file appears during the sixth sleep
        if (fake::sleeps().size() == 5)
            fclose(fopen(lib.c_str(), "w"));
        return fake::counted_sleep(seconds);
    };
    fake::script("lrd_am_i_dlrsc", {7, 7, 7, 7, 0});
    fake::script("_sysdb_bind", {0x80000000, 0x9FFFFFFF, 0});
    EXPECT_EQ(tz_do_registerations(), 0u);
    unlink(lib.c_str());
    EXPECT_EQ(fake::ops(),
              (Ops{"lrd_am_i_dlrsc", "sleep", "lrd_am_i_dlrsc", "sleep", "lrd_am_i_dlrsc", "sleep",
                   "lrd_am_i_dlrsc", "sleep", "lrd_am_i_dlrsc", "sleep", "sleep", "_sysdb_bind",
                   "sleep", "_sysdb_bind", "sleep", "_sysdb_bind", "_sysdb_register_notification",
                   "backend_scan"}));
    EXPECT_EQ(fake::sleeps(), std::vector<unsigned>(8, 1));
    EXPECT_TRUE(fake::syslog_lines().empty());
    EXPECT_TRUE(fake::records().empty());
}

}  // namespace
