// What the role, configuration and start-up tests share: the role globals at their start values,
// sleeps that return at once and are counted, and role events handed to the role callback.
#pragma once

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "tz_dlrsc.h"
#include "tz_log.h"
#include "tz_startup.h"

namespace fake {

// Sleeps are noted among the calls and last half a millisecond. A wait that would never end
// stops the process instead of hanging the test.
inline unsigned counted_sleep(unsigned seconds) {
    static std::atomic<int> count{0};
    if (++count > 20000) {
        fprintf(stderr, "still waiting after 20000 sleeps\n");
        _exit(99);
    }
    note("sleep", seconds);
    usleep(500);
    return 0;
}
inline std::vector<unsigned> sleeps() {
    std::vector<unsigned> out;
    for (auto &c : calls("sleep"))
        out.push_back(unsigned(c.value));
    return out;
}

// The role globals as at process start, a bound connection, a readable library file, a main
// event manager and counted sleeps.
inline void reset_service_state() {
    tz_ltrace_init();
    reset_sysdb();
    clear_log();
    is_dlrsc = 0;
    dlrsc_event = -1;
    prev_dlrsc_event = -1;
    tz_notif_handle = 0;
    tz_verif_handle = 0;
    tz_retry_timer = reinterpret_cast<timer_t>(-1);
    sysdb_lib_present = 0;
    tz_sysdb_lib_path = "/dev/null";
    tz_sleep = counted_sleep;
    lr_sysdb_conn = reinterpret_cast<sysdb_conn *>(0x1000);
    tz_evm = reinterpret_cast<evm_handle_t>(0x7700);
}

// Hands EVENT to the role callback as the system manager's dispatch does. The fields around the
// event hold other values, so that reading the wrong offset shows.
inline void deliver(int32_t event) {
    alignas(8) uint8_t buffer[TZ_EVM_BUF_SIZE];
    memset(buffer, 0x20, sizeof buffer);
    memcpy(buffer + offsetof(sysmgr_lr_event, event), &event, sizeof event);
    event_context ctx = {};
    ctx.buffer = buffer;
    ctx.buffer_size = sizeof buffer;
    tz_dlrsc_state_change_callback(&ctx);
}

}  // namespace fake
