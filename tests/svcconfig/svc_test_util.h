// Shared set-up for the configuration and role tests: a clean role state, role events handed to
// the callback, and a report of what a process did before it exited (for death tests).
#pragma once

#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "fake_log.h"
#include "fake_sysdb.h"
#include "tz_dlrsc.h"
#include "tz_log.h"
#include "tz_startup.h"

namespace svc_test {

inline sysdb_conn *const test_conn = reinterpret_cast<sysdb_conn *>(0x1000);
inline evm_handle_t const test_evm = reinterpret_cast<evm_handle_t>(0x7700);
inline const timer_t no_timer = reinterpret_cast<timer_t>(-1);
inline std::vector<unsigned> sleeps;

inline unsigned record_sleep(unsigned seconds) {
    sleeps.push_back(seconds);
    return 0;
}

// Every role global at its start value, a bound connection, a readable library file and sleeps
// that return at once.
inline void reset_role_state() {
    fake::reset_sysdb();
    fake::clear_log();
    tz_ltrace_init();
    is_dlrsc = 0;
    dlrsc_event = -1;
    prev_dlrsc_event = -1;
    tz_notif_handle = 0;
    tz_verif_handle = 0;
    tz_retry_timer = no_timer;
    sysdb_lib_present = 0;
    tz_sysdb_lib_path = "/dev/null";
    tz_sleep = record_sleep;
    sleeps.clear();
    lr_sysdb_conn = test_conn;
    tz_evm = test_evm;
}

// Hands a role event to the callback the way the system manager's dispatch does. The fields
// around the event value hold the other value, so reading the wrong offset shows.
inline void deliver(int32_t event) {
    int32_t other = event == DLRSC_EVENT_ACTIVE ? DLRSC_EVENT_INACTIVE : DLRSC_EVENT_ACTIVE;
    alignas(8) uint8_t buffer[TZ_EVM_BUF_SIZE] = {};
    sysmgr_lr_event ev = {static_cast<uint32_t>(other),
                          static_cast<uint32_t>(other),
                          static_cast<uint64_t>(other),
                          static_cast<uint64_t>(other),
                          event,
                          other};
    memcpy(buffer, &ev, sizeof ev);
    event_context ctx = {};
    ctx.evm = test_evm;
    ctx.buffer = buffer;
    ctx.buffer_size = sizeof buffer;
    tz_dlrsc_state_change_callback(&ctx);
}

inline bool traced(const std::string &line) {
    for (auto &t : fake::trace_lines()) {
        if (t == line) {
            return true;
        }
    }
    return false;
}

// Record texts in order, each prefixed by its mnemonic: "SYSDB Register ...: status 5".
inline std::vector<std::string> records() {
    std::vector<std::string> out;
    for (auto &r : fake::err_records()) {
        out.push_back(std::string(r.record->mnemonic) + " " + r.text);
    }
    return out;
}

// For death tests: at exit, print the records, the operations called and the sleeps to stderr,
// where the parent matches them.
inline void report_at_exit() {
    atexit([] {
        for (auto &r : records()) {
            fprintf(stderr, "record: %s\n", r.c_str());
        }
        fprintf(stderr, "ops:");
        for (auto &op : fake::ops({"getprio"})) {
            fprintf(stderr, " %s", op.c_str());
        }
        fprintf(stderr, "\nsleeps:");
        for (unsigned s : sleeps) {
            fprintf(stderr, " %u", s);
        }
        fprintf(stderr, "\n");
        for (auto &t : fake::trace_lines()) {
            fprintf(stderr, "trace: %s\n", t.c_str());
        }
    });
}

}  // namespace svc_test
