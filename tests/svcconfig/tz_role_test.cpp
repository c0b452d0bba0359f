// The registration that follows the dLRSC role: the two registration operations, the swaps made
// by the role callback, the retry timer, the state-change thread, and the callback racing the
// timer handler.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "service_util.h"
#include "tz_sysdb.h"

namespace {

using fake::args;
using fake::deliver;
using Texts = std::vector<std::string>;

class Role : public ::testing::Test {
  protected:
    void SetUp() override { fake::reset_service_state(); }
    // The role as start-up leaves it: settled, with its registration in place.
    static void settle(int32_t role) {
        is_dlrsc = role == DLRSC_EVENT_ACTIVE;
        dlrsc_event = role;
        prev_dlrsc_event = role;
        tz_notif_handle = 41;
        tz_verif_handle = 42;
    }
    static Texts ops() { return fake::ops({"getprio", "sleep"}); }
};

TEST_F(Role, NoConnectionIsRetriedOnceFiveSecondsLater) {
    settle(DLRSC_EVENT_INACTIVE);
    fake::set_default("sysdb_register_verification", ENOCONN);
    deliver(DLRSC_EVENT_ACTIVE);
    EXPECT_EQ(prev_dlrsc_event.load(), 32) << "the swap stays due";
    EXPECT_EQ(fake::sleeps(), std::vector<unsigned>(10, 1)) << "ten attempts a second apart";
    EXPECT_TRUE(fake::traced("tz_dlrsc_state_change_callback:Received ENOCONN, Create Timer"));
    EXPECT_EQ(fake::calls("getprio").at(0).args, args(0));
    EXPECT_EQ(fake::calls("event_async_attach_proctimer").at(0).args,
              args(tz_evm, 128, 0, tz_timers_expired_handler, nullptr, 17));
    itimerspec spec;
    ASSERT_EQ(timer_gettime(tz_retry_timer, &spec), 0);
    EXPECT_TRUE(spec.it_value.tv_sec == 4 || spec.it_value.tv_sec == 5);
    EXPECT_EQ(spec.it_interval.tv_sec + spec.it_interval.tv_nsec, 0);

    // The old role again: nothing, the timer runs on. A timer asked for meanwhile is that one.
    timer_t armed = tz_retry_timer;
    size_t before = fake::calls().size();
    deliver(DLRSC_EVENT_INACTIVE);
    EXPECT_EQ(tz_create_timer(9), 0);
    EXPECT_EQ(fake::calls().size(), before);
    EXPECT_EQ(tz_retry_timer, armed);
    deliver(DLRSC_EVENT_ACTIVE);  // due again and fails again: a fresh timer
    EXPECT_EQ(fake::live_timers(), 1);
    EXPECT_EQ(fake::calls("event_async_attach_proctimer").size(), 2u);

    // An expiry without a connection waits again.
    lr_sysdb_conn = nullptr;
    fake::fire_timer();
    EXPECT_EQ(fake::calls("sysdb_register_verification").size(), 20u);
    EXPECT_EQ(fake::calls("event_async_attach_proctimer").size(), 3u);
    EXPECT_EQ(fake::live_timers(), 1);

    lr_sysdb_conn = fake::test_conn;
    fake::set_default("sysdb_register_verification", 0);
    fake::fire_timer();
    EXPECT_EQ(fake::calls("sysdb_register_verification").size(), 21u);
    EXPECT_EQ(fake::calls("sysdb_notification_unregister").back().args, args(fake::test_conn, 41));
    EXPECT_EQ(prev_dlrsc_event.load(), 4);
    EXPECT_EQ(tz_retry_timer, fake::no_timer);
    EXPECT_EQ(fake::live_timers(), 0);
    EXPECT_TRUE(fake::records().empty());
}

TEST_F(Role, AFailedSwapSettlesTheRoleWithoutAThirdTry) {
    const std::string rereg =
        "INTERNAL Failed to perform timezone re-registrationdue to dLRSC change";
    for (int64_t status : {int64_t(ENOCONN), int64_t(5)}) {
        fake::reset_service_state();
        settle(DLRSC_EVENT_INACTIVE);
        fake::set_default("sysdb_register_verification", status);
        deliver(DLRSC_EVENT_ACTIVE);
        fake::fire_timer();  // the retry, if one was armed
        fake::fire_timer();  // a late expiry finds no timer and does nothing
        Texts records = {rereg + ": status 511"};
        if (status == 5)
            records = {"SYSDB Register on sysdb Verification failed : status 5",
                       rereg + ": status 5"};
        EXPECT_EQ(fake::records(), records);
        EXPECT_EQ(fake::calls("sysdb_register_verification").size(), status == ENOCONN ? 20u : 10u);
        EXPECT_EQ(fake::calls("backend_scan").size(), status == ENOCONN ? 2u : 0u);
        EXPECT_EQ(prev_dlrsc_event.load(), 4);
        EXPECT_EQ(fake::live_timers(), 0);
    }
}

TEST_F(Role, CallbackAndTimerHandlerDoNotInterleave) {
    settle(DLRSC_EVENT_INACTIVE);
    tz_sleep = [](unsigned) { return 0u; };
    // Every move to the dLRSC finds no connection, so timers come and go all the time.
    fake::set_default("sysdb_register_verification", ENOCONN);
    std::atomic<bool> done{false};
    std::atomic<unsigned> handled{0};
    std::thread state_thread([&] {
        for (int i = 0; i < 1000; ++i) {
            deliver(i % 2 == 0 ? DLRSC_EVENT_ACTIVE : DLRSC_EVENT_INACTIVE);
            // The next event goes in while the handler may still run for this one, but not
            // before it has run at all: on a busy machine this thread could otherwise deliver
            // every event before the handler ever finds a timer to retry.
            unsigned seen = handled;
            for (int spins = 0; handled == seen && spins < 100000; ++spins)
                std::this_thread::yield();
        }
        done = true;
    });
    while (!done) {
        tz_timers_expired_handler(nullptr);
        ++handled;
        std::this_thread::yield();
    }
    state_thread.join();
    EXPECT_TRUE(fake::calls("overlap").empty());
    EXPECT_EQ(fake::live_timers(), tz_retry_timer == fake::no_timer ? 0 : 1);
    EXPECT_TRUE(prev_dlrsc_event == 4 || prev_dlrsc_event == 32);
    EXPECT_GT(fake::records().size(), 0u) << "the timer handler did retry";
}

}  // namespace
