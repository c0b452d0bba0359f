// The registration that follows the dLRSC role: a swap that finds no connection, or fails
// outright, settles the role without a third try.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "service_util.h"
#include "tz_sysdb.h"

namespace {

using fake::deliver;
using Texts = std::vector<std::string>;

TEST(Role, AFailedSwapSettlesTheRoleWithoutAThirdTry) {
    const std::string rereg =
        "INTERNAL Failed to perform timezone re-registrationdue to dLRSC change";
    for (int64_t status : {int64_t(ENOCONN), int64_t(5)}) {
        // The follower's role as start-up leaves it: settled, with its registration in place.
        fake::reset_service_state();
        dlrsc_event = prev_dlrsc_event = DLRSC_EVENT_INACTIVE;
        tz_notif_handle = 41;
        tz_verif_handle = 42;
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
    }
}

}  // namespace
