// Role events on the state-change thread racing retry-timer expiries on the main thread: the
// swaps and the timer bookkeeping must not interleave.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "svc_test_util.h"

using namespace svc_test;

namespace {

TEST(RoleRace, CallbackAndTimerHandlerDoNotInterleave) {
    reset_role_state();
    is_dlrsc = 0;
    dlrsc_event = DLRSC_EVENT_INACTIVE;
    prev_dlrsc_event = DLRSC_EVENT_INACTIVE;
    // Every move to the dLRSC finds no connection, so timers come and go all the time.
    fake::set_default("sysdb_register_verification", ENOCONN);

    std::atomic<bool> done{false};
    std::thread state_thread([&] {
        for (int i = 0; i < 1000; ++i) {
            deliver(i % 2 == 0 ? DLRSC_EVENT_ACTIVE : DLRSC_EVENT_INACTIVE);
        }
        done = true;
    });
    std::thread main_thread([&] {
        while (!done) {
            tz_timers_expired_handler(nullptr);
            std::this_thread::yield();
        }
    });
    state_thread.join();
    main_thread.join();

    EXPECT_EQ(fake::overlapping_calls(), 0);
    EXPECT_EQ(fake::live_timers(), tz_retry_timer == no_timer ? 0 : 1);
    int32_t prev = prev_dlrsc_event.load();
    EXPECT_TRUE(prev == DLRSC_EVENT_ACTIVE || prev == DLRSC_EVENT_INACTIVE) << prev;
    // Both sides did swap: retries from the timer handler are the ones that raise the record.
    EXPECT_GT(fake::err_records().size(), 0u);
    EXPECT_GT(fake::calls_of("event_async_attach_proctimer").size(), 0u);
    fake::reset_sysdb();
}

}  // namespace
