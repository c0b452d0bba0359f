// Loops: process timers on their own manager's loop, and the end of the main loop on SIGTERM and
// SIGINT.
#include <errno.h>
#include <signal.h>
#include <time.h>

#include <atomic>

#include "events_support.h"

using namespace events_test;

namespace {

struct Fired {
    std::atomic<int> count{0};
    std::atomic<pid_t> tid{0};
};

int on_timer(void *arg) {
    auto *fired = static_cast<Fired *>(arg);
    fired->tid = gettid();
    ++fired->count;
    return 0;
}

// A timer of EVM, armed to expire once after MS milliseconds unless MS is negative.
timer_t timer_for(evm_handle_t evm, Fired *fired, long ms = -1) {
    timer_t timer{};
    EXPECT_EQ(event_async_attach_proctimer(evm, 128, 0, on_timer, fired, getprio(0), &timer), 0);
    itimerspec spec{};
    spec.it_value = {ms / 1000, ms % 1000 * 1000000 + 1};
    if (ms >= 0 && timer_settime(timer, 0, &spec, nullptr) != 0)
        ADD_FAILURE() << "timer_settime: " << strerror(errno);
    return timer;
}

}  // namespace

TEST(Timers, ExpiryRunsOnTheLoopOfItsManager) {
    Loop a, b;
    Fired fa, fb;
    timer_t ta = timer_for(a.evm, &fa, 1), tb = timer_for(b.evm, &fb, 1);
    ASSERT_TRUE(ts::eventually([&] { return fa.count == 1 && fb.count == 1; }));
    EXPECT_EQ(fa.tid, a.tid);
    EXPECT_EQ(fb.tid, b.tid);
    timer_delete(ta);
    timer_delete(tb);
}

// The signals end the loop of the main thread's manager, though another thread has one too.
TEST(Signals, TermAndIntEndTheMainThreadsLoop) {
    ASSERT_EQ(gettid(), getpid());
    evm_handle_t main_evm = event_manager_create(0, nullptr, 8, nullptr);
    ASSERT_NE(main_evm, nullptr);
    Loop worker;

    // Runs the main loop, sending SIG from inside it; a watchdog timer ends the wait if the
    // signal does not.
    Fired watchdog;
    auto run_main = [&](int sig) {
        timer_t timer = timer_for(main_evm, &watchdog, 10000);
        if (sig)
            platform::evm_post(main_evm, [sig](event_context *) { kill(getpid(), sig); });
        uint8_t buffer[128];
        event_context ctx{main_evm, 0, 0, buffer, sizeof buffer, 0, 0, 0, 0, 0};
        int rc = 0;
        while (watchdog.count == 0 && (rc = event_block(&ctx)) != -1)
            vk_event_dispatch(&ctx, 0);
        int err = rc == -1 ? errno : 0;
        timer_delete(timer);
        return err;
    };
    for (int sig : {SIGTERM, SIGINT})
        EXPECT_EQ(run_main(sig), EINTR) << sig;
    event_manager_destroy(&main_evm);
}
