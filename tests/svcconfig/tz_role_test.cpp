// The registration that follows the dLRSC role: the two registration operations, the role
// callback's swaps, the retry timer, and the state-change thread.
#include <gtest/gtest.h>

#include "svc_test_util.h"
#include "tz_sysdb.h"

using namespace svc_test;

namespace {

const std::vector<std::string> quiet = {"getprio"};

class Role : public ::testing::Test {
  protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        reset_role_state();
    }
    void TearDown() override { fake::reset_sysdb(); }

    // The role as start-up leaves it: settled, with its registration in place.
    void settle(int32_t role) {
        is_dlrsc = role == DLRSC_EVENT_ACTIVE ? 1 : 0;
        dlrsc_event = role;
        prev_dlrsc_event = role;
        tz_notif_handle = 41;
        tz_verif_handle = 42;
    }
    static std::vector<std::string> ops() { return fake::ops(quiet); }
};

TEST_F(Role, EventsBeforeTheRoleIsSettledAreOnlyRecorded) {
    deliver(DLRSC_EVENT_ACTIVE);
    EXPECT_EQ(dlrsc_event.load(), 4);
    EXPECT_EQ(is_dlrsc.load(), 1);
    deliver(DLRSC_EVENT_INACTIVE);
    EXPECT_EQ(dlrsc_event.load(), 32);
    EXPECT_EQ(is_dlrsc.load(), 0);
    EXPECT_EQ(prev_dlrsc_event.load(), -1);
    EXPECT_TRUE(fake::calls().empty());
    EXPECT_TRUE(traced("In tz_dlrsc_state_change_callback: state = 32\n"));
    EXPECT_FALSE(traced("Time to change registrations \n"));
}

TEST_F(Role, TheSameRoleAgainChangesNothing) {
    for (int32_t role : {DLRSC_EVENT_ACTIVE, DLRSC_EVENT_INACTIVE}) {
        settle(role);
        deliver(role);
        EXPECT_EQ(prev_dlrsc_event.load(), role);
    }
    EXPECT_TRUE(fake::calls().empty());
    EXPECT_FALSE(traced("Time to change registrations \n"));
}

TEST_F(Role, BecomingTheDlrscSwapsToVerification) {
    settle(DLRSC_EVENT_INACTIVE);
    deliver(DLRSC_EVENT_ACTIVE);
    EXPECT_EQ(ops(), (std::vector<std::string>{"sysdb_notification_unregister",
                                               "sysdb_register_verification", "backend_scan"}));
    auto unreg = fake::calls_of("sysdb_notification_unregister").at(0);
    EXPECT_EQ(unreg.conn, test_conn);
    EXPECT_EQ(unreg.handle, 41u);
    auto reg = fake::calls_of("sysdb_register_verification").at(0);
    EXPECT_EQ(reg.conn, test_conn);
    EXPECT_EQ(reg.text, "");
    EXPECT_EQ(reg.scope, 7u);
    EXPECT_EQ(reg.flags, 0u);
    EXPECT_EQ(reg.verify, reinterpret_cast<const void *>(tz_verify_func));
    EXPECT_EQ(reg.apply, reinterpret_cast<const void *>(tz_apply_func));
    EXPECT_EQ(reg.evm, test_evm);
    EXPECT_EQ(reg.handle_out, &tz_verif_handle);
    auto scan = fake::calls_of("backend_scan").at(0);
    EXPECT_EQ(scan.descriptor, &tz_command_bgen_data);
    EXPECT_EQ(scan.tag, 0xFEDCBA98u);
    EXPECT_EQ(scan.text, "");

    EXPECT_EQ(tz_verif_handle, reg.handle);
    EXPECT_EQ(prev_dlrsc_event.load(), 4);
    EXPECT_TRUE(traced("Time to change registrations \n"));
    EXPECT_TRUE(fake::err_records().empty());
    EXPECT_EQ(tz_retry_timer, no_timer);
}

TEST_F(Role, LosingTheRoleSwapsToNotification) {
    settle(DLRSC_EVENT_ACTIVE);
    deliver(DLRSC_EVENT_INACTIVE);
    EXPECT_EQ(ops(), (std::vector<std::string>{"sysdb_verification_unregister",
                                               "_sysdb_register_notification", "backend_scan"}));
    EXPECT_EQ(fake::calls_of("sysdb_verification_unregister").at(0).handle, 42u);
    auto reg = fake::calls_of("_sysdb_register_notification").at(0);
    EXPECT_EQ(reg.scope, 7u);
    EXPECT_EQ(reg.flags, 1u);
    EXPECT_EQ(reg.notify, reinterpret_cast<const void *>(tz_notification_func));
    EXPECT_EQ(reg.evm, test_evm);
    EXPECT_EQ(reg.handle_out, &tz_notif_handle);
    auto scan = fake::calls_of("backend_scan").at(0);
    EXPECT_EQ(scan.descriptor, &tz_srp_notify_bgen_data);
    EXPECT_EQ(scan.tag, 0xFEDCBA99u);
    EXPECT_EQ(tz_notif_handle, reg.handle);
    EXPECT_EQ(prev_dlrsc_event.load(), 32);
    EXPECT_EQ(sysdb_lib_present.load(), 1);
}

TEST_F(Role, NoConnectionArmsOneRetryThatSucceeds) {
    settle(DLRSC_EVENT_INACTIVE);
    fake::set_default("sysdb_register_verification", ENOCONN);
    deliver(DLRSC_EVENT_ACTIVE);
    EXPECT_EQ(prev_dlrsc_event.load(), 32);
    EXPECT_TRUE(fake::err_records().empty());
    EXPECT_TRUE(traced("tz_dlrsc_state_change_callback:Received ENOCONN, Create Timer"));
    ASSERT_NE(tz_retry_timer, no_timer);
    auto attach = fake::calls_of("event_async_attach_proctimer").at(0);
    EXPECT_EQ(attach.evm, test_evm);
    EXPECT_EQ(attach.scope, 128u);
    EXPECT_EQ(attach.flags, 0u);
    EXPECT_EQ(attach.notify, reinterpret_cast<const void *>(tz_timers_expired_handler));
    EXPECT_EQ(attach.extra[0], nullptr);
    EXPECT_EQ(attach.number, 17);  // getprio(0)
    EXPECT_EQ(fake::calls_of("getprio").at(0).number, 0);
    auto state = fake::timer_state(tz_retry_timer);
    ASSERT_TRUE(state);
    EXPECT_TRUE(state->it_value.tv_sec == 4 || state->it_value.tv_sec == 5);
    EXPECT_EQ(state->it_interval.tv_sec, 0);
    EXPECT_EQ(state->it_interval.tv_nsec, 0);

    // The role reported again as before the swap: nothing, the timer runs on.
    timer_t armed = tz_retry_timer;
    size_t before = fake::calls().size();
    deliver(DLRSC_EVENT_INACTIVE);
    EXPECT_EQ(fake::calls().size(), before);
    EXPECT_EQ(tz_retry_timer, armed);
    deliver(DLRSC_EVENT_ACTIVE);  // the swap is due again and fails again: a fresh timer
    EXPECT_EQ(fake::live_timers(), 1);
    EXPECT_EQ(fake::calls_of("event_async_attach_proctimer").size(), 2u);

    fake::clear_log();
    fake::set_default("sysdb_register_verification", 0);
    size_t verifications = fake::calls_of("sysdb_register_verification").size();
    fake::fire_timer();
    EXPECT_EQ(fake::calls_of("sysdb_register_verification").size(), verifications + 1);
    EXPECT_EQ(fake::calls_of("sysdb_notification_unregister").back().handle, 41u);
    EXPECT_EQ(prev_dlrsc_event.load(), 4);
    EXPECT_EQ(tz_retry_timer, no_timer);
    EXPECT_EQ(fake::live_timers(), 0);
    EXPECT_TRUE(fake::err_records().empty());
}

TEST_F(Role, ASecondFailureSettlesTheRoleWithoutAThirdTry) {
    settle(DLRSC_EVENT_INACTIVE);
    fake::set_default("sysdb_register_verification", ENOCONN);
    deliver(DLRSC_EVENT_ACTIVE);
    fake::fire_timer();
    EXPECT_EQ(records(), (std::vector<std::string>{
                             "INTERNAL Failed to perform timezone re-registrationdue to dLRSC "
                             "change: status 511"}));
    EXPECT_EQ(prev_dlrsc_event.load(), 4);
    EXPECT_EQ(tz_retry_timer, no_timer);
    EXPECT_EQ(fake::live_timers(), 0);
    fake::fire_timer();  // a late expiry finds no timer and does nothing
    EXPECT_EQ(fake::calls_of("sysdb_register_verification").size(), 20u);
}

TEST_F(Role, AnotherFailureIsRecordedAndSettles) {
    settle(DLRSC_EVENT_INACTIVE);
    fake::set_default("sysdb_register_verification", 5);
    deliver(DLRSC_EVENT_ACTIVE);
    EXPECT_EQ(
        records(),
        (std::vector<std::string>{
            "SYSDB Register on sysdb Verification failed : status 5",
            "INTERNAL Failed to perform timezone re-registrationdue to dLRSC change: status 5"}));
    EXPECT_EQ(prev_dlrsc_event.load(), 4);
    EXPECT_EQ(tz_retry_timer, no_timer);
    EXPECT_TRUE(fake::calls_of("backend_scan").empty());
}

TEST_F(Role, ExpiryWithoutAConnectionWaitsAgain) {
    settle(DLRSC_EVENT_INACTIVE);
    fake::set_default("sysdb_register_verification", ENOCONN);
    deliver(DLRSC_EVENT_ACTIVE);
    lr_sysdb_conn = nullptr;
    size_t before = fake::calls_of("sysdb_register_verification").size();
    fake::fire_timer();
    EXPECT_EQ(fake::calls_of("sysdb_register_verification").size(), before);
    EXPECT_EQ(fake::calls_of("event_async_attach_proctimer").size(), 2u);
    EXPECT_NE(tz_retry_timer, no_timer);
    EXPECT_EQ(fake::live_timers(), 1);
    EXPECT_EQ(prev_dlrsc_event.load(), 32);
}

TEST_F(Role, CreatingATimerWhileOneRunsKeepsIt) {
    ASSERT_EQ(tz_create_timer(5), 0);
    timer_t first = tz_retry_timer;
    EXPECT_EQ(tz_create_timer(9), 0);
    EXPECT_EQ(tz_retry_timer, first);
    EXPECT_EQ(fake::calls_of("event_async_attach_proctimer").size(), 1u);
    EXPECT_LE(fake::timer_state(first)->it_value.tv_sec, 5);
}

TEST_F(Role, ATimerThatCannotBeMadeEndsTheProcess) {
    settle(DLRSC_EVENT_INACTIVE);
    fake::set_default("sysdb_register_verification", ENOCONN);
    fake::set_default("event_async_attach_proctimer", -1);
    fake::set_errno_on_failure(12);
    EXPECT_EXIT(
        {
            report_at_exit();
            deliver(DLRSC_EVENT_ACTIVE);
        },
        ::testing::ExitedWithCode(255),
        "record: INTERNAL event_async_attach_proctimer failed: status 12\n"
        "record: INTERNAL Failed to create the timer: status 22\n");
}

TEST_F(Role, VerificationRegistration) {
    // Not the dLRSC: nothing to do.
    EXPECT_EQ(tz_register_for_verification(), 0u);
    EXPECT_TRUE(fake::calls().empty());

    is_dlrsc = 1;
    lr_sysdb_conn = nullptr;
    EXPECT_EQ(tz_register_for_verification(), static_cast<uint32_t>(ENOCONN));
    EXPECT_TRUE(fake::calls().empty());
    EXPECT_TRUE(traced("tz_register_for_verification: LR Conn is NULL"));

    // Ten times no connection: the scan is still requested.
    lr_sysdb_conn = test_conn;
    fake::script("sysdb_register_verification", std::vector<int64_t>(10, ENOCONN));
    EXPECT_EQ(tz_register_for_verification(), static_cast<uint32_t>(ENOCONN));
    EXPECT_EQ(fake::calls_of("sysdb_register_verification").size(), 10u);
    EXPECT_EQ(ops().back(), "backend_scan");
    EXPECT_EQ(sleeps, std::vector<unsigned>(10, 1));
    EXPECT_TRUE(fake::err_records().empty());

    // Ten other failures: recorded, no scan.
    fake::reset_sysdb();
    fake::script("sysdb_register_verification", {511, 511, 511, 511, 511, 511, 511, 511, 511, 9});
    EXPECT_EQ(tz_register_for_verification(), 9u);
    EXPECT_TRUE(fake::calls_of("backend_scan").empty());
    EXPECT_EQ(records(),
              std::vector<std::string>{"SYSDB Register on sysdb Verification failed : status 9"});

    // Success on a later attempt.
    fake::reset_sysdb();
    sleeps.clear();
    fake::script("sysdb_register_verification", {511, 3, 0});
    EXPECT_EQ(tz_register_for_verification(), 0u);
    EXPECT_EQ(sleeps, (std::vector<unsigned>{1, 1}));
    EXPECT_EQ(ops(), (std::vector<std::string>{"sysdb_register_verification",
                                               "sysdb_register_verification",
                                               "sysdb_register_verification", "backend_scan"}));
}

TEST_F(Role, NotificationRegistrationGuards) {
    is_dlrsc = 1;
    EXPECT_EQ(tz_register_for_notification(), static_cast<uint32_t>(ENOCONN));
    is_dlrsc = 0;
    lr_sysdb_conn = nullptr;
    EXPECT_EQ(tz_register_for_notification(), static_cast<uint32_t>(ENOCONN));
    EXPECT_TRUE(fake::calls().empty());

    lr_sysdb_conn = test_conn;
    fake::script("_sysdb_register_notification", {511, 0});
    EXPECT_EQ(tz_register_for_notification(), 0u);
    EXPECT_EQ(sleeps, std::vector<unsigned>{2});
}

TEST_F(Role, NotificationRegistrationGivesUpAfterTenAttempts) {
    fake::set_default("_sysdb_register_notification", ENOCONN);
    EXPECT_EXIT(
        {
            report_at_exit();
            tz_register_for_notification();
        },
        ::testing::ExitedWithCode(255),
        "record: SYSDB Register on sysdb notification failed: : status 511\n"
        "ops:( _sysdb_register_notification){10}\n"
        "sleeps:( 2){10}\n");
}

TEST_F(Role, UnreadableLibraryFileFailsEveryAttempt) {
    tz_sysdb_lib_path = "/nonexistent/libsysdb.so";
    EXPECT_EXIT(
        {
            report_at_exit();
            tz_register_for_notification();
        },
        ::testing::ExitedWithCode(255),
        "record: SYSDB Register on sysdb notification failed: : status 1082230784\n"
        "ops:\n"
        "sleeps:( 2){10}\n");
}

TEST_F(Role, StateChangeThreadDispatchesRoleEventsUntilTheLoopFails) {
    fake::queue_role_events({DLRSC_EVENT_ACTIVE, DLRSC_EVENT_INACTIVE});
    EXPECT_EXIT(
        {
            report_at_exit();
            tz_dlrsc_state_chg_thread(nullptr);
        },
        ::testing::ExitedWithCode(255),
        "record: INTERNAL event_block failed: status 4294967295\n"
        "ops: event_manager_create sysmgr_register_lr_event sysmgr_set_evm event_block "
        "vk_event_dispatch event_block vk_event_dispatch event_block\n"
        "(.|\n)*trace: tz_dlrsc_state_chg_thread: prev_dlrsc_event set to -1\n"
        "(.|\n)*trace: In tz_dlrsc_state_change_callback: state = 4\n"
        "(.|\n)*trace: In tz_dlrsc_state_change_callback: state = 32\n");
}

TEST_F(Role, StateChangeThreadSetUpFailuresEndTheProcess) {
    fake::set_default("event_manager_create", 0);
    fake::set_errno_on_failure(24);
    EXPECT_EXIT(
        {
            report_at_exit();
            tz_dlrsc_state_chg_thread(nullptr);
        },
        ::testing::ExitedWithCode(255),
        "record: INTERNAL could not create Event Manager connection: status 24\n");

    fake::set_default("event_manager_create", 1);
    fake::set_default("sysmgr_register_lr_event", 77);
    EXPECT_EXIT(
        {
            report_at_exit();
            tz_dlrsc_state_chg_thread(nullptr);
        },
        ::testing::ExitedWithCode(255),
        "record: INTERNAL sysmgr_register_lr_event failed: status 77\n"
        "(.|\n)*trace: sysmgr_register_lr_event failed. rc is 77\n");
}

}  // namespace
