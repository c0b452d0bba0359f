// Start-up of the service against the platform test doubles: the order in which it comes up, the
// waits for the role, the bind and the first role event, the failures that end it and those that
// do not, the main loop and the teardown. The state-change and CLI threads are the real ones: the
// first waits in event_block for the role events a test sends it, the second waits there for good.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fake_log.h"
#include "fake_sysdb.h"
#include "tz_cli.h"
#include "tz_dlrsc.h"
#include "tz_log.h"
#include "tz_startup.h"

int tzd_main(int argc, char **argv);  // tzd's main, built in under this name

using Ops = std::vector<std::string>;
using Start = void *(*)(void *);

namespace {

// The service's thread creations, each with the operations called and tz_evm as they stood then.
struct Created {
    Start start;
    Ops ops_before;
    evm_handle_t evm;
};
std::mutex created_mu;
std::vector<Created> created;
Start refused_start = nullptr;  // creation of this thread fails with EAGAIN

}  // namespace

// Every thread creation of the process passes here; those of the service are noted.
extern "C" int pthread_create(pthread_t *__restrict thread, const pthread_attr_t *__restrict attr,
                              Start start, void *__restrict arg) noexcept {
    using Real = int (*)(pthread_t *, const pthread_attr_t *, Start, void *);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "pthread_create"));
    if (start == tz_dlrsc_state_chg_thread || start == tz_cli_msg_thread) {
        std::lock_guard lock(created_mu);
        created.push_back({start, fake::ops(), tz_evm});
        if (start == refused_start)
            return EAGAIN;
    }
    return real(thread, attr, start, arg);
}

namespace {

bool rt_signals_blocked() {
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    return sigismember(&mask, SIGRTMIN + 6) == 1 && sigismember(&mask, SIGRTMIN + 10) == 1;
}

std::mutex sleep_mu;
std::vector<unsigned> sleeps;
std::function<void(size_t)> after_sleep;  // given the number of sleeps so far

unsigned short_sleep(unsigned seconds) {
    size_t n;
    {
        std::lock_guard lock(sleep_mu);
        sleeps.push_back(seconds);
        n = sleeps.size();
    }
    if (after_sleep)
        after_sleep(n);
    usleep(300);
    return 0;
}

std::vector<unsigned> sleeps_so_far() {
    std::lock_guard lock(sleep_mu);
    return sleeps;
}

size_t sleeps_of(unsigned seconds) {
    auto all = sleeps_so_far();
    return std::count(all.begin(), all.end(), seconds);
}

// Role events for the state-change thread. Never freed: the thread outlives every test.
struct RoleQueue {
    std::mutex mu;
    std::condition_variable cv;
    std::deque<int32_t> events;
};
RoleQueue &roles = *new RoleQueue;

void send_role(int32_t event) {
    std::lock_guard lock(roles.mu);
    roles.events.push_back(event);
    roles.cv.notify_all();
}

// The main loop's event_block results, in order; -1 once they run out, when at_main_end runs.
std::mutex main_mu;
std::deque<int> main_results;
std::function<void()> at_main_end;
// Each thread's signal state when it first waits for events; -1 until then.
std::atomic<int> main_masked{-1};
std::atomic<int> state_masked{-1};
std::atomic<int> cli_masked{-1};

bool is_state_thread(evm_handle_t evm) {
    for (auto &c : fake::calls_of("sysmgr_register_lr_event"))
        if (c.evm == evm)
            return true;
    return false;
}

std::optional<int> block(event_context *ctx) {
    if (ctx->evm == tz_evm) {
        main_masked = rt_signals_blocked();
        std::lock_guard lock(main_mu);
        if (main_results.empty()) {
            if (at_main_end)
                at_main_end();
            return -1;
        }
        int r = main_results.front();
        main_results.pop_front();
        return r;
    }
    if (!is_state_thread(ctx->evm)) {
        // The CLI thread: no query comes.
        cli_masked = rt_signals_blocked();
        for (;;)
            pause();
    }
    // The state-change thread: hand it the next role event once there is one.
    state_masked = rt_signals_blocked();
    std::unique_lock lock(roles.mu);
    roles.cv.wait(lock, [] { return !roles.events.empty(); });
    fake::queue_role_events({roles.events.front()});
    roles.events.pop_front();
    return std::nullopt;
}

// Delivers a role event straight to the callback, as the state-change thread's dispatch does.
void deliver(int32_t event) {
    alignas(8) uint8_t buffer[TZ_EVM_BUF_SIZE] = {};
    sysmgr_lr_event ev = {};
    ev.event = event;
    memcpy(buffer, &ev, sizeof ev);
    event_context ctx = {};
    ctx.buffer = buffer;
    ctx.buffer_size = sizeof buffer;
    tz_dlrsc_state_change_callback(&ctx);
}

bool wait_for(const std::function<bool()> &done) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Start-up runs on a thread of its own, as the process's main thread; a test waits for it to
// return. A start-up that never returns is left behind.
std::atomic<bool> service_done{false};
std::atomic<int> service_result{0};

void start_service(std::function<int()> body) {
    service_done = false;
    std::thread([body] {
        service_result = body();
        service_done = true;
    }).detach();
}

// The operations of the main thread, leaving out those of the other two threads.
Ops main_ops() {
    return fake::ops({"event_manager_create", "sysmgr_register_lr_event", "sysmgr_set_evm",
                      "event_block", "vk_event_dispatch", "event_message_attach"});
}

size_t on_main_evm(const std::string &op) {
    auto calls = fake::calls_of(op);
    return std::count_if(calls.begin(), calls.end(), [](auto &c) { return c.evm == tz_evm; });
}

bool traced(const std::string &line) {
    auto lines = fake::trace_lines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// Start-up in a death test. At exit the records, the main thread's operations, the number of
// threads created and the trace go to stderr, where the parent matches them. Start-up that keeps
// waiting where it should have ended is stopped after many sleeps instead of hanging the test.
void start_up_until_exit() {
    atexit([] {
        // A worker thread still starting would find the test doubles gone once the process's
        // statics are destroyed; let each reach its wait first.
        std::vector<Start> started;
        {
            std::lock_guard lock(created_mu);
            for (auto &c : created)
                if (c.start != refused_start)
                    started.push_back(c.start);
        }
        for (Start start : started)
            wait_for(
                [start] { return (start == tz_cli_msg_thread ? cli_masked : state_masked) != -1; });
        for (auto &r : fake::err_records())
            fprintf(stderr, "record: %s %s\n", r.record->mnemonic, r.text.c_str());
        fprintf(stderr, "ops:");
        for (auto &op : main_ops())
            fprintf(stderr, " %s", op.c_str());
        std::lock_guard lock(created_mu);
        fprintf(stderr, "\nthreads: %zu\n", created.size());
        for (auto &t : fake::trace_lines())
            fprintf(stderr, "trace: %s", t.c_str());
    });
    after_sleep = [](size_t n) {
        if (n > 200) {
            fprintf(stderr, "still starting after %zu sleeps\n", n);
            _exit(99);
        }
    };
    tz_config_register();
}

class Startup : public ::testing::Test {
  protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        fake::reset_sysdb();
        fake::clear_log();
        fake::set_ltrace_init_status(0);
        fake::on_event_block(block);
        fake::on_event_dispatch([](event_context *ctx) -> std::optional<int> {
            // The main loop dispatches nothing here; a role event goes to the role callback, also
            // from a state-change thread that an earlier test in this process left waiting.
            return ctx->evm == tz_evm ? 0 : tz_dlrsc_state_change_callback(ctx);
        });
        reset_globals();
        created.clear();
        refused_start = nullptr;
        after_sleep = nullptr;
        main_results.clear();
        at_main_end = nullptr;
        main_masked = -1;
        state_masked = -1;
        cli_masked = -1;
    }
    void TearDown() override { fake::reset_sysdb(); }

    static void reset_globals() {
        is_dlrsc = 0;
        dlrsc_event = -1;
        prev_dlrsc_event = -1;
        tz_notif_handle = 0;
        tz_verif_handle = 0;
        sysdb_lib_present = 0;
        tz_sysdb_lib_path = "/dev/null";
        tz_sleep = short_sleep;
        sleeps.clear();
        lr_sysdb_conn = nullptr;
        tz_evm = nullptr;
    }
};

TEST_F(Startup, ComesUpInOrderWaitsForTheRoleAndTearsDownOnTheDlrsc) {
    fake::script("lrd_am_i_dlrsc.flag", {1});
    main_results = {0, 7};
    std::atomic<int> trace_opens_at_evm{-1};
    fake::script_fn("event_manager_create", [&]() -> int64_t {
        int none = -1;
        trace_opens_at_evm.compare_exchange_strong(none, fake::ltrace_init_calls());
        return 1;
    });
    start_service(tz_config_register);

    // Registered and waiting for the first role event: an event other than 4 or 32 does not
    // end the wait, and until it ends the main loop does not run.
    ASSERT_TRUE(wait_for([] { return sleeps_of(2) >= 2; }));
    send_role(8);
    ASSERT_TRUE(wait_for([] { return dlrsc_event == 8 && sleeps_of(2) >= 5; }));
    EXPECT_EQ(on_main_evm("event_block"), 0u);
    EXPECT_EQ(prev_dlrsc_event.load(), -1);
    send_role(DLRSC_EVENT_ACTIVE);
    ASSERT_TRUE(wait_for([] { return service_done.load(); }));
    EXPECT_EQ(service_result.load(), -1);

    // Trace buffer, main event manager, state-change thread, CLI thread, then readiness before
    // the role and the bind; at the end the verification registration is dropped and unbound.
    EXPECT_EQ(trace_opens_at_evm.load(), 1);
    auto evm = fake::calls_of("event_manager_create").at(0);
    EXPECT_EQ(evm.number, 0);
    EXPECT_EQ(evm.text, std::nullopt);
    EXPECT_EQ(evm.scope, 8u);
    EXPECT_EQ(evm.extra[0], nullptr);
    ASSERT_EQ(created.size(), 2u);
    EXPECT_EQ(created[0].start, tz_dlrsc_state_chg_thread);
    EXPECT_EQ(created[0].ops_before, Ops{"event_manager_create"});
    EXPECT_EQ(created[0].evm, tz_evm);
    EXPECT_EQ(created[1].start, tz_cli_msg_thread);
    EXPECT_EQ(
        std::count(created[1].ops_before.begin(), created[1].ops_before.end(), "sysmgr_proc_ready"),
        0);
    EXPECT_EQ(main_ops(), (Ops{"sysmgr_proc_ready", "lrd_am_i_dlrsc", "_sysdb_bind",
                               "sysdb_register_verification", "backend_scan",
                               "sysdb_verification_unregister", "_sysdb_unbind"}));
    auto unreg = fake::calls_of("sysdb_verification_unregister").at(0);
    EXPECT_EQ(unreg.conn, lr_sysdb_conn);
    EXPECT_NE(tz_verif_handle, 0u);
    EXPECT_EQ(unreg.handle, tz_verif_handle);
    EXPECT_EQ(fake::calls_of("_sysdb_unbind").at(0).conn, lr_sysdb_conn);

    // Settled on the event; the loop dispatched until event_block gave -1.
    EXPECT_EQ(prev_dlrsc_event.load(), DLRSC_EVENT_ACTIVE);
    EXPECT_TRUE(traced("dlrsc event = 4\n"));
    EXPECT_EQ(on_main_evm("event_block"), 3u);
    EXPECT_EQ(on_main_evm("vk_event_dispatch"), 2u);

    // All three threads run with the two real-time signals blocked.
    EXPECT_EQ(main_masked.load(), 1);
    EXPECT_EQ(state_masked.load(), 1);
    EXPECT_TRUE(wait_for([] { return cli_masked != -1; }));
    EXPECT_EQ(cli_masked.load(), 1);
    EXPECT_TRUE(fake::syslog_lines().empty());
    EXPECT_TRUE(fake::err_records().empty());
}

TEST_F(Startup, ElsewhereTheNotificationIsDroppedAndMainReturnsZero) {
    fake::script("lrd_am_i_dlrsc.flag", {0});
    // The library file is gone by the time the loop ends, so the unbind is skipped.
    at_main_end = [] {
        sysdb_lib_present = 0;
        tz_sysdb_lib_path = "/nonexistent/libsysdb.so";
    };
    send_role(DLRSC_EVENT_INACTIVE);  // may arrive before start-up waits for it
    start_service([] {
        char name[] = "tzd";
        char *argv[] = {name, nullptr};
        return tzd_main(1, argv);
    });
    ASSERT_TRUE(wait_for([] { return service_done.load(); }));
    EXPECT_EQ(service_result.load(), 0);
    EXPECT_EQ(prev_dlrsc_event.load(), DLRSC_EVENT_INACTIVE);
    EXPECT_TRUE(traced("dlrsc event = 32\n"));
    EXPECT_EQ(main_ops(), (Ops{"sysmgr_proc_ready", "lrd_am_i_dlrsc", "_sysdb_bind",
                               "_sysdb_register_notification", "backend_scan",
                               "sysdb_notification_unregister"}));
    auto unreg = fake::calls_of("sysdb_notification_unregister").at(0);
    EXPECT_NE(tz_notif_handle, 0u);
    EXPECT_EQ(unreg.handle, tz_notif_handle);
    EXPECT_EQ(unreg.conn, lr_sysdb_conn);
}

TEST_F(Startup, RoleQueryIsPolledEverySecondWithoutALogLine) {
    auto run = [](size_t failures) {
        fake::reset_sysdb();
        fake::clear_log();
        reset_globals();
        std::vector<int64_t> results(failures, 7);
        results.push_back(0);
        fake::script("lrd_am_i_dlrsc", results);
        EXPECT_EQ(tz_do_registerations(), 0u);
        return fake::trace_lines();
    };
    auto answered_at_once = run(0);
    auto after_failures = run(4);
    EXPECT_EQ(fake::calls_of("lrd_am_i_dlrsc").size(), 5u);
    EXPECT_EQ(sleeps_so_far(), (std::vector<unsigned>{1, 1, 1, 1}));
    EXPECT_EQ(after_failures, answered_at_once);
    EXPECT_TRUE(fake::syslog_lines().empty());
    EXPECT_TRUE(fake::err_records().empty());
    // Then start-up goes on to bind and register.
    EXPECT_EQ(fake::calls_of("_sysdb_register_notification").size(), 1u);
}

TEST_F(Startup, BindWaitsForTheLibraryFileAndRetriesTransientStatuses) {
    std::string lib = ::testing::TempDir() + "startup_libsysdb_" + std::to_string(getpid());
    unlink(lib.c_str());
    tz_sysdb_lib_path = lib.c_str();
    after_sleep = [&](size_t n) {
        if (n == 2)
            fclose(fopen(lib.c_str(), "w"));
    };
    std::vector<size_t> sleeps_at_bind;
    std::deque<int64_t> results = {0x80000000, 0x9FFFFFFF, 0};
    fake::script_fn("_sysdb_bind", [&] {
        sleeps_at_bind.push_back(sleeps_so_far().size());
        int64_t r = results.front();
        results.pop_front();
        return r;
    });

    EXPECT_EQ(tz_do_registerations(), 0u);
    unlink(lib.c_str());
    // No bind while the file is missing; one second between transient failures.
    EXPECT_EQ(sleeps_at_bind, (std::vector<size_t>{2, 3, 4}));
    EXPECT_EQ(sleeps_so_far(), (std::vector<unsigned>{1, 1, 1, 1}));
    for (auto &bind : fake::calls_of("_sysdb_bind")) {
        EXPECT_EQ(bind.text, "/cfg/gl/clock/");
        EXPECT_EQ(bind.flags, 0u);
    }
    EXPECT_NE(lr_sysdb_conn, nullptr);
    EXPECT_EQ(fake::calls_of("_sysdb_register_notification").size(), 1u);
}

TEST_F(Startup, FirstRegistrationFollowsTheRoleAtBindTime) {
    struct Case {
        int64_t lrd_flag;
        int32_t event_during_bind;
        const char *made;
        const char *not_made;
    };
    for (auto c : {Case{0, DLRSC_EVENT_ACTIVE, "sysdb_register_verification",
                        "_sysdb_register_notification"},
                   Case{1, DLRSC_EVENT_INACTIVE, "_sysdb_register_notification",
                        "sysdb_register_verification"}}) {
        SCOPED_TRACE(c.made);
        fake::reset_sysdb();
        reset_globals();
        fake::script("lrd_am_i_dlrsc.flag", {c.lrd_flag});
        int binds = 0;
        fake::script_fn("_sysdb_bind", [&]() -> int64_t {
            if (binds++ > 0)
                return 0;
            deliver(c.event_during_bind);
            return 0x80000001;
        });
        EXPECT_EQ(tz_do_registerations(), 0u);
        EXPECT_EQ(fake::calls_of(c.made).size(), 1u);
        EXPECT_TRUE(fake::calls_of(c.not_made).empty());
    }
}

TEST_F(Startup, OsagPthreadCreateLeavesBothThreadsWithTheRealTimeSignalsBlocked) {
    std::thread([] {
        sigset_t mask;
        sigemptyset(&mask);
        pthread_sigmask(SIG_SETMASK, &mask, nullptr);
        std::atomic<int> started_masked{-1};
        pthread_t thread;
        auto body = [](void *arg) -> void * {
            *static_cast<std::atomic<int> *>(arg) = rt_signals_blocked();
            return nullptr;
        };
        ASSERT_EQ(osag_pthread_create(&thread, nullptr, body, &started_masked), 0);
        pthread_join(thread, nullptr);
        EXPECT_EQ(started_masked.load(), 1);
        // The caller keeps exactly those two blocked.
        pthread_sigmask(SIG_BLOCK, nullptr, &mask);
        for (int sig = 1; sig <= SIGRTMAX; ++sig)
            EXPECT_EQ(sigismember(&mask, sig) == 1, sig == SIGRTMIN + 6 || sig == SIGRTMIN + 10)
                << sig;
    }).join();
}

// The ways start-up ends the process, each with its status and what it reported and called.
TEST_F(Startup, FailuresThatEndTheProcess) {
    struct Case {
        std::function<void()> setup;
        int status;
        std::string output;
    };
    std::vector<Case> cases = {
        {[] {
             fake::script("_sysdb_bind", {0x80000000, 0x7FFFFFFF});
         },
         1,
         "^record: INTERNAL tz_do_registerations failed: status 2147483647\n"
         "ops: sysmgr_proc_ready lrd_am_i_dlrsc _sysdb_bind _sysdb_bind\n"},
        {[] { fake::script("_sysdb_bind", {0xA0000000}); }, 1,
         "^record: INTERNAL tz_do_registerations failed: status 2684354560\n"
         "ops: sysmgr_proc_ready lrd_am_i_dlrsc _sysdb_bind\n"},
        // Readiness and trace failures are only reported; the bind then ends the run.
        {[] {
             fake::set_ltrace_init_status(9);
             fake::script("sysmgr_proc_ready", {3});
             fake::script("_sysdb_bind", {511});
         },
         1,
         "^record: INTERNAL Failed to do Ltrace Init : status 9\n"
         "record: INTERNAL Failed to inform sysmgr that initialisation is complete : status 3\n"
         "record: INTERNAL tz_do_registerations failed: status 511\n"
         "ops: sysmgr_proc_ready lrd_am_i_dlrsc _sysdb_bind\nthreads: 2\n"},
        {[] {
             fake::script("lrd_am_i_dlrsc.flag", {1});
             fake::set_default("sysdb_register_verification", 5);
         },
         1,
         "^record: SYSDB Register on sysdb Verification failed : status 5\n"
         "record: INTERNAL tz_do_registerations failed: status 5\n"
         "ops: sysmgr_proc_ready lrd_am_i_dlrsc _sysdb_bind (sysdb_register_verification ){10}"
         "_sysdb_unbind\n"},
        {[] {
             fake::set_errno_on_failure(ENOMEM);
             fake::script("event_manager_create", {0});
         },
         255, "^record: INTERNAL Unable to create a msg channel: status 12\nops:\nthreads: 0\n"},
        {[] { refused_start = tz_dlrsc_state_chg_thread; }, 1,
         "^record: INTERNAL Failed to create thread: status 11\nops:\n.*"
         "trace: Unable to create thread\n"},
        {[] { refused_start = tz_cli_msg_thread; }, 1,
         "^record: INTERNAL Failed to create thread: status 11\nops:\n.*"
         "trace: Unable to create cli handling thread\n"},
    };
    for (auto &c : cases) {
        EXPECT_EXIT(
            {
                c.setup();
                start_up_until_exit();
            },
            ::testing::ExitedWithCode(c.status), c.output);
    }
}

}  // namespace
