// Start-up of the service against the platform test doubles: the order in which it comes up, the
// waits for the role, the library and the bind, the main loop and the teardown. The state-change
// and CLI threads are the real ones, on the doubles' event loops.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "service_util.h"
#include "tz_cli.h"
#include "tz_cli_msg.h"
#include "tz_log.h"

using Ops = std::vector<std::string>;
using Start = void *(*)(void *);
using fake::args;

namespace {

bool rt_signals_blocked() {
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    return sigismember(&mask, SIGRTMIN + 6) == 1 && sigismember(&mask, SIGRTMIN + 10) == 1;
}

// The service's thread creations, with the calls made and tz_evm as they stood then, and whether
// each thread started with both real-time signals blocked (-1 until it started).
struct Created {
    Start start;
    Ops ops_before;
    evm_handle_t evm;
};
std::vector<Created> &created = *new std::vector<Created>;
std::atomic<int> state_masked{-1}, cli_masked{-1};

template <Start S>
void *noting_mask(void *arg) {
    (S == tz_cli_msg_thread ? cli_masked : state_masked) = rt_signals_blocked();
    return S(arg);
}

}  // namespace

extern "C" int pthread_create(pthread_t *__restrict thread, const pthread_attr_t *__restrict attr,
                              Start start, void *__restrict arg) noexcept {
    using Real = int (*)(pthread_t *, const pthread_attr_t *, Start, void *);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "pthread_create"));
    if (start == tz_dlrsc_state_chg_thread || start == tz_cli_msg_thread) {
        created.push_back({start, fake::ops(), tz_evm});
        start = start == tz_cli_msg_thread ? noting_mask<tz_cli_msg_thread>
                                           : noting_mask<tz_dlrsc_state_chg_thread>;
    }
    return real(thread, attr, start, arg);
}

namespace {

bool wait_for(const std::function<bool()> &done) {
    for (int i = 0; i < 10000 && !done(); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return done();
}

// Calls of the main thread: the other two threads' calls left out.
const Ops others = {
    "event_manager_create", "sysmgr_register_lr_event", "sysmgr_set_evm", "event_block",
    "vk_event_dispatch",    "event_message_attach",     "sleep",          "ltrace_init2"};

size_t on_main_loop(const std::string &op) {
    return std::ranges::count_if(fake::calls(op),
                                 [](auto &c) { return c.args.at(0) == fake::arg(tz_evm); });
}

// Start-up runs on a thread of its own, as the process's main thread would.
std::atomic<bool> service_done{false};
std::atomic<int> service_result{0}, main_masked{-1};

void start_service(std::function<int()> body) {
    std::thread([body] {
        service_result = body();
        main_masked = rt_signals_blocked();
        service_done = true;
    }).detach();
}

class Startup : public ::testing::Test {
  protected:
    void SetUp() override { reset(); }
    static void reset() {
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
    // the wait, and until it ends the main loop does not run.
    ASSERT_TRUE(wait_for([] { return fake::sleeps().size() >= 2; }));
    fake::queue_role_events({8});
    ASSERT_TRUE(wait_for([] { return dlrsc_event == 8 && fake::sleeps().size() >= 4; }));
    EXPECT_EQ(on_main_loop("event_block"), 0u);
    EXPECT_EQ(prev_dlrsc_event.load(), -1);
    fake::queue_role_events({DLRSC_EVENT_ACTIVE});
    ASSERT_TRUE(wait_for([] { return service_done.load(); }));
    EXPECT_EQ(service_result.load(), -1);
    EXPECT_EQ(fake::sleeps(), std::vector<unsigned>(fake::sleeps().size(), 2))
        << "polled every 2 s";

    // Trace buffer, main event manager, state-change thread, CLI thread; readiness before the
    // role and the bind; at the end the verification registration is dropped and unbound.
    EXPECT_EQ(fake::calls().at(0).args, args("tz_ltrace", 0, 0, 500, 32000, 0));
    EXPECT_EQ(fake::calls().at(1).args, args(0, nullptr, 8, nullptr));
    ASSERT_EQ(created.size(), 2u);
    EXPECT_EQ(created[0].start, tz_dlrsc_state_chg_thread);
    EXPECT_EQ(created[0].ops_before, (Ops{"ltrace_init2", "event_manager_create"}));
    EXPECT_EQ(created[0].evm, tz_evm);
    EXPECT_EQ(created[1].start, tz_cli_msg_thread);
    EXPECT_EQ(fake::ops(others), (Ops{"sysmgr_proc_ready", "lrd_am_i_dlrsc", "_sysdb_bind",
                                      "sysdb_register_verification", "backend_scan",
                                      "sysdb_verification_unregister", "_sysdb_unbind"}));
    EXPECT_EQ(std::ranges::count(created[1].ops_before, "sysmgr_proc_ready"), 0);
    EXPECT_EQ(fake::calls("sysdb_verification_unregister").at(0).args, args(lr_sysdb_conn, 100));
    EXPECT_EQ(fake::calls("_sysdb_unbind").at(0).args, args(lr_sysdb_conn));
    EXPECT_EQ(prev_dlrsc_event.load(), DLRSC_EVENT_ACTIVE);
    EXPECT_TRUE(fake::traced("dlrsc event = 4\n"));
    EXPECT_EQ(on_main_loop("event_block"), 3u);
    EXPECT_EQ(on_main_loop("vk_event_dispatch"), 2u);

    // All three threads run with the two real-time signals blocked.
    EXPECT_EQ(main_masked.load(), 1);
    EXPECT_EQ(state_masked.load(), 1);
    EXPECT_TRUE(wait_for([] { return cli_masked != -1; }));
    EXPECT_EQ(cli_masked.load(), 1);
    EXPECT_TRUE(fake::syslog_lines().empty());
    EXPECT_TRUE(fake::records().empty());
}

// The role query, the library file and transient bind statuses are polled every second, without
// a log line: the trace is that of a start-up that never waited.
TEST_F(Startup, RoleLibraryAndBindAreWaitedForEverySecond) {
    fake::script("lrd_am_i_dlrsc", {0});
    ASSERT_EQ(tz_do_registerations(), 0u);
    auto unhindered = fake::trace_lines();

    reset();
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
    EXPECT_EQ(fake::calls("_sysdb_bind").at(0).args, args(&lr_sysdb_conn, "/cfg/gl/clock/", 0));
    EXPECT_EQ(fake::trace_lines(), unhindered);
    EXPECT_TRUE(fake::syslog_lines().empty());
    EXPECT_TRUE(fake::records().empty());
}

}  // namespace
