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
const uint32_t enoconn = ENOCONN;

class Role : public ::testing::Test {
  protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        fake::reset_service_state();
    }
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

TEST_F(Role, EventsThatSwapNothing) {
    struct Case {
        int32_t prev, event, prev_after;
    } cases[] = {
        {-1, 4, -1},  {-1, 32, -1}, {4, 4, 4},
        {32, 32, 32}, {4, 8, 8},  // an unknown event is only stored
    };
    for (auto c : cases) {
        fake::reset_service_state();
        prev_dlrsc_event = c.prev;
        deliver(c.event);
        EXPECT_EQ(dlrsc_event.load(), c.event);
        EXPECT_EQ(is_dlrsc.load(), c.event == 4 ? 1 : 0);
        EXPECT_EQ(prev_dlrsc_event.load(), c.prev_after);
        EXPECT_TRUE(fake::calls().empty());
        EXPECT_EQ(fake::traced("Time to change registrations \n"), c.prev_after != c.prev);
    }
}

TEST_F(Role, SwapsFollowTheRole) {
    settle(DLRSC_EVENT_INACTIVE);
    deliver(DLRSC_EVENT_ACTIVE);
    auto c = fake::calls();
    ASSERT_EQ(ops(), (Texts{"sysdb_notification_unregister", "sysdb_register_verification",
                            "backend_scan"}));
    EXPECT_EQ(c[0].args, args(fake::test_conn, 41));
    EXPECT_EQ(c[1].args, args(fake::test_conn, "", 7, 0, tz_verify_func, tz_apply_func, nullptr,
                              tz_evm, nullptr, nullptr, 0, &tz_verif_handle));
    EXPECT_EQ(c[2].args, args(fake::test_conn, &tz_command_bgen_data, "", 0xFEDCBA98u, 0));
    EXPECT_EQ(tz_verif_handle, 100u);
    EXPECT_EQ(prev_dlrsc_event.load(), 4);

    fake::reset_sysdb();
    deliver(DLRSC_EVENT_INACTIVE);
    c = fake::calls();
    ASSERT_EQ(ops(), (Texts{"sysdb_verification_unregister", "_sysdb_register_notification",
                            "backend_scan"}));
    EXPECT_EQ(c[0].args, args(fake::test_conn, 100));
    EXPECT_EQ(c[1].args, args(fake::test_conn, "", 7, 1, tz_notification_func, tz_evm, nullptr,
                              nullptr, 0, &tz_notif_handle));
    EXPECT_EQ(c[2].args, args(fake::test_conn, &tz_srp_notify_bgen_data, "", 0xFEDCBA99u, 0));
    EXPECT_EQ(tz_notif_handle, 100u);
    EXPECT_EQ(prev_dlrsc_event.load(), 32);
    EXPECT_EQ(sysdb_lib_present.load(), 1);
    EXPECT_TRUE(fake::records().empty());
}

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

TEST_F(Role, RegistrationAttempts) {
    EXPECT_EQ(tz_register_for_verification(), 0u) << "not the dLRSC: nothing to do";
    is_dlrsc = 1;
    EXPECT_EQ(tz_register_for_notification(), enoconn);
    lr_sysdb_conn = nullptr;
    EXPECT_EQ(tz_register_for_verification(), enoconn);
    EXPECT_TRUE(fake::traced("tz_register_for_verification: LR Conn is NULL"));
    is_dlrsc = 0;
    EXPECT_EQ(tz_register_for_notification(), enoconn);
    EXPECT_TRUE(fake::calls().empty());

    // Attempts go on after any failure until one succeeds.
    is_dlrsc = 1;
    lr_sysdb_conn = fake::test_conn;
    fake::script("sysdb_register_verification", {511, 9, 0});
    EXPECT_EQ(tz_register_for_verification(), 0u);
    EXPECT_EQ(ops(), (Texts{"sysdb_register_verification", "sysdb_register_verification",
                            "sysdb_register_verification", "backend_scan"}));

    fake::reset_service_state();
    fake::script("_sysdb_register_notification", {511, 0});
    EXPECT_EQ(tz_register_for_notification(), 0u);
    EXPECT_EQ(fake::sleeps(), std::vector<unsigned>{2});
    EXPECT_TRUE(fake::records().empty());
}

TEST_F(Role, FailuresThatEndTheProcess) {
    struct Case {
        std::function<void()> run;
        std::string output;
    } cases[] = {
        {[] {
             settle(DLRSC_EVENT_INACTIVE);
             fake::set_default("sysdb_register_verification", ENOCONN);
             fake::set_default("event_async_attach_proctimer", -1);
             fake::set_errno_on_failure(12);
             deliver(DLRSC_EVENT_ACTIVE);
         },
         "record: INTERNAL event_async_attach_proctimer failed: status 12\n"
         "record: INTERNAL Failed to create the timer: status 22\n"},
        {[] {
             fake::set_default("_sysdb_register_notification", ENOCONN);
             tz_register_for_notification();
         },
         "record: SYSDB Register on sysdb notification failed: : status 511\n"
         "ops:( _sysdb_register_notification){10}\nsleeps:( 2){10}\n"},
        {[] {
             tz_sysdb_lib_path = "/nonexistent/libsysdb.so";
             tz_register_for_notification();
         },
         "record: SYSDB Register on sysdb notification failed: : status 1082230784\n"
         "ops:\nsleeps:( 2){10}\n"},
        {[] {
             fake::queue_role_events({DLRSC_EVENT_ACTIVE, DLRSC_EVENT_INACTIVE, -1});
             tz_dlrsc_state_chg_thread(nullptr);
         },
         "record: INTERNAL event_block failed: status 4294967295\n"
         "ops: event_manager_create sysmgr_register_lr_event sysmgr_set_evm event_block "
         "vk_event_dispatch event_block vk_event_dispatch event_block\n"
         "(.|\n)*trace: tz_dlrsc_state_chg_thread: prev_dlrsc_event set to -1\n"
         "(.|\n)*trace: In tz_dlrsc_state_change_callback: state = 4\n"
         "(.|\n)*trace: In tz_dlrsc_state_change_callback: state = 32\n"},
        {[] {
             fake::script("event_manager_create", {0});
             fake::set_errno_on_failure(24);
             tz_dlrsc_state_chg_thread(nullptr);
         },
         "record: INTERNAL could not create Event Manager connection: status 24\n"},
        {[] {
             fake::script("sysmgr_register_lr_event", {77});
             tz_dlrsc_state_chg_thread(nullptr);
         },
         "record: INTERNAL sysmgr_register_lr_event failed: status 77\n"
         "(.|\n)*trace: sysmgr_register_lr_event failed. rc is 77\n"},
    };
    for (auto &c : cases) {
        EXPECT_EXIT(
            {
                fake::report_at_exit();
                c.run();
            },
            ::testing::ExitedWithCode(255), c.output);
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
