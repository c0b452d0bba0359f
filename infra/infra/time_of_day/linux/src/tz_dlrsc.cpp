// Keeps the registration with the configuration database matched to the card's dLRSC role: the
// verifier registration on the dLRSC, the notification registration elsewhere. Role events
// arrive on a thread of their own; a swap that finds no connection is retried once by a timer
// that the main loop dispatches.
#include "tz_dlrsc.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "platform_log.h"
#include "platform_sysdb.h"
#include "tz_log.h"
#include "tz_startup.h"
#include "tz_sysdb.h"

#ifndef TZ_SYSDB_LIB_PATH
#define TZ_SYSDB_LIB_PATH "/pkg/lib/libsysdb.so"
#endif

static_assert(offsetof(sysmgr_lr_event, event) == 24);
static_assert(offsetof(event_context, buffer) == 16);
static_assert(TZ_DLRSC_EVENT_MASK == 36);
static_assert(sizeof(timer_t) == 8);

namespace {

const timer_t TZ_NO_TIMER = reinterpret_cast<timer_t>(-1);

constexpr uint32_t TZ_NOTIF_SCAN_TAG = 0xFEDCBA99u;
constexpr uint32_t TZ_VERIF_SCAN_TAG = 0xFEDCBA98u;
constexpr uint32_t TZ_REG_SCOPE = 7;
constexpr int32_t TZ_TIMER_CODE = 128;
constexpr int32_t TZ_STATE_EVM_KIND = 4;
constexpr int32_t TZ_STATE_EVM_DEPTH = 1;
constexpr size_t TZ_STATE_BUF_SIZE = 128;
constexpr int TZ_EINVAL = 22;

const char TZ_REREG_FAILED[] = "Failed to perform timezone re-registrationdue to dLRSC change";

bool tz_timer_exists() {
    return tz_retry_timer != TZ_NO_TIMER;
}

void tz_drop_timer() {
    timer_delete(tz_retry_timer);
    tz_retry_timer = TZ_NO_TIMER;
}

}  // namespace

std::atomic<int32_t> is_dlrsc{0};
std::atomic<int32_t> dlrsc_event{-1};
std::atomic<int32_t> prev_dlrsc_event{-1};
uint32_t tz_notif_handle = 0;
uint32_t tz_verif_handle = 0;
timer_t tz_retry_timer = TZ_NO_TIMER;
std::atomic<int32_t> sysdb_lib_present{0};

std::mutex tz_role_mutex;

// The build tree's library; each tzd program links a definition of its own with its path.
__attribute__((weak)) const char *tz_sysdb_lib_path = TZ_SYSDB_LIB_PATH;
unsigned (*tz_sleep)(unsigned seconds) = ::sleep;

bool tz_sysdb_lib_check(void) {
    if (sysdb_lib_present.load() != 0) {
        return true;
    }
    if (access(tz_sysdb_lib_path, R_OK) == 0 && tz_sysdb_lib_load(tz_sysdb_lib_path)) {
        sysdb_lib_present.store(1);
        return true;
    }
    return false;
}

uint32_t tz_register_for_notification(void) {
    TZ_TRACE("In %s\n", __func__);
    if (is_dlrsc.load() != 0 || lr_sysdb_conn == nullptr) {
        return ENOCONN;
    }
    TZ_TRACE("%s: Registering for Notification. LR Conn", __func__);

    uint32_t status = 0;
    for (int attempt = 0; attempt < TZ_NOTIF_ATTEMPTS; ++attempt) {
        if (!tz_sysdb_lib_check()) {
            status = SYSDB_STATUS_NO_LIBRARY;
        } else {
            status = _sysdb_register_notification(lr_sysdb_conn, "", TZ_REG_SCOPE, 1,
                                                  tz_notification_func, tz_evm, nullptr, nullptr, 0,
                                                  &tz_notif_handle);
            if (status == 0) {
                backend_scan(lr_sysdb_conn, &tz_srp_notify_bgen_data, "", TZ_NOTIF_SCAN_TAG, 0);
                return 0;
            }
        }
        tz_sleep(TZ_NOTIF_SLEEP);
    }
    // A card that cannot follow the configuration must not run on as if it did.
    vel_errmsg(vel_msg_rec_tz_sysdb, 3,
               "Register on sysdb notification failed: ", cerr_strerror(status));
    exit(-1);
}

uint32_t tz_register_for_verification(void) {
    TZ_TRACE("In %s\n", __func__);
    if (is_dlrsc.load() == 0) {
        return 0;
    }
    TZ_TRACE("%s: Registering for Verification, LR Conn", __func__);
    // Without a connection there is nothing to scan either.
    if (lr_sysdb_conn == nullptr) {
        TZ_TRACE("%s: LR Conn is NULL", __func__);
        return ENOCONN;
    }

    uint32_t status = 0;
    for (int attempt = 0; attempt < TZ_VERIF_ATTEMPTS; ++attempt) {
        status = sysdb_register_verification(lr_sysdb_conn, "", TZ_REG_SCOPE, 0, tz_verify_func,
                                             tz_apply_func, nullptr, tz_evm, nullptr, nullptr, 0,
                                             &tz_verif_handle);
        if (status == 0) {
            break;
        }
        tz_sleep(TZ_VERIF_SLEEP);
    }
    if (status != 0 && status != ENOCONN) {
        vel_errmsg(vel_msg_rec_tz_sysdb, 3, "Register on sysdb Verification failed ",
                   cerr_strerror(status));
        return status;
    }
    backend_scan(lr_sysdb_conn, &tz_command_bgen_data, "", TZ_VERIF_SCAN_TAG, 0);
    return status;
}

uint32_t tz_dlrsc_state_change_handler(void) {
    TZ_TRACE("In %s\n", __func__);
    int32_t prev = prev_dlrsc_event.load();
    int32_t current = dlrsc_event.load();

    if (prev == DLRSC_EVENT_INACTIVE && current == DLRSC_EVENT_ACTIVE) {
        if (lr_sysdb_conn != nullptr) {
            TZ_TRACE("%s, Unregistering for Notification.LR Conn", __func__);
            sysdb_notification_unregister(lr_sysdb_conn, tz_notif_handle);
        }
        return tz_register_for_verification();
    }
    if (prev == DLRSC_EVENT_ACTIVE && current == DLRSC_EVENT_INACTIVE) {
        if (lr_sysdb_conn != nullptr) {
            sysdb_verification_unregister(lr_sysdb_conn, tz_verif_handle);
        }
        return tz_register_for_notification();
    }
    return 0;
}

int tz_dlrsc_state_change_callback(event_context *ctx) {
    int32_t event;
    memcpy(&event, static_cast<const uint8_t *>(ctx->buffer) + offsetof(sysmgr_lr_event, event),
           sizeof event);
    TZ_TRACE("In %s\n", __func__);
    TZ_TRACE("In %s: state = %d\n", __func__, event);

    // The role is recorded and compared under the lock, so that a retry on the main thread never
    // settles on an event that it did not swap for.
    std::lock_guard lock(tz_role_mutex);
    dlrsc_event.store(event);
    is_dlrsc.store(event == DLRSC_EVENT_ACTIVE ? 1 : 0);
    int32_t prev = prev_dlrsc_event.load();
    if (event == prev || prev == -1) {
        return 0;
    }

    TZ_TRACE("Time to change registrations \n");
    uint32_t status = tz_dlrsc_state_change_handler();
    if (tz_timer_exists()) {
        tz_drop_timer();
    }
    if (status == ENOCONN) {
        // The swap stays due: prev_dlrsc_event keeps its value until the retry.
        TZ_TRACE("%s:Received ENOCONN, Create Timer", __func__);
        if (tz_create_timer(TZ_RETRY_SECONDS) == -1) {
            tz_report_internal("Failed to create the timer", cerr_strerror(TZ_EINVAL));
            exit(-1);
        }
        return 0;
    }
    if (status != 0) {
        vel_errmsg(vel_msg_rec_tz_internal, 3, TZ_REREG_FAILED, cerr_strerror(status));
    }
    prev_dlrsc_event.store(dlrsc_event.load());
    return 0;
}

int tz_timers_expired_handler(void *) {
    std::lock_guard lock(tz_role_mutex);
    // The role callback may have dropped the timer, and made the swap itself, while this expiry
    // waited for the lock.
    if (!tz_timer_exists()) {
        return 0;
    }
    if (lr_sysdb_conn == nullptr) {
        tz_drop_timer();
        tz_create_timer(TZ_RETRY_SECONDS);
        return 0;
    }
    tz_drop_timer();
    // The one retry: whatever it gives, the role is settled from here.
    uint32_t status = tz_dlrsc_state_change_handler();
    if (status != 0) {
        vel_errmsg(vel_msg_rec_tz_internal, 3, TZ_REREG_FAILED, cerr_strerror(status));
    }
    prev_dlrsc_event.store(dlrsc_event.load());
    return 0;
}

int32_t tz_create_timer(int32_t seconds) {
    if (tz_timer_exists()) {
        return 0;
    }
    int priority = getprio(0);
    if (event_async_attach_proctimer(tz_evm, TZ_TIMER_CODE, 0, tz_timers_expired_handler, nullptr,
                                     priority, &tz_retry_timer) < 0) {
        int err = errno;
        tz_retry_timer = TZ_NO_TIMER;
        tz_report_internal("event_async_attach_proctimer failed", cerr_strerror(err));
        return -1;
    }
    struct itimerspec spec = {};
    spec.it_value.tv_sec = seconds;
    timer_settime(tz_retry_timer, 0, &spec, nullptr);
    return 0;
}

void *tz_dlrsc_state_chg_thread(void *) {
    TZ_TRACE("In %s\n", __func__);
    evm_handle_t evm =
        event_manager_create(TZ_STATE_EVM_KIND, nullptr, TZ_STATE_EVM_DEPTH, nullptr);
    if (evm == nullptr) {
        tz_report_internal("could not create Event Manager connection", cerr_strerror(errno));
        exit(-1);
    }
    uint32_t rc =
        sysmgr_register_lr_event(evm, TZ_DLRSC_EVENT_MASK, tz_dlrsc_state_change_callback, nullptr);
    if (rc != 0) {
        TZ_TRACE("sysmgr_register_lr_event failed. rc is %d\n", static_cast<int>(rc));
        tz_report_internal("sysmgr_register_lr_event failed", cerr_strerror(rc));
        exit(-1);
    }

    alignas(8) static uint8_t buffer[TZ_STATE_BUF_SIZE];
    event_context ctx = {};
    ctx.evm = evm;
    ctx.reply_id = 0;
    ctx.buffer = buffer;
    ctx.buffer_size = sizeof buffer;
    sysmgr_set_evm(evm);

    {
        std::lock_guard lock(tz_role_mutex);
        prev_dlrsc_event.store(dlrsc_event.load());
    }
    TZ_TRACE("%s: prev_dlrsc_event set to %d\n", __func__, prev_dlrsc_event.load());

    int result;
    while ((result = event_block(&ctx)) != -1) {
        vk_event_dispatch(&ctx, 0);
    }
    tz_report_internal("event_block failed", cerr_strerror(static_cast<uint32_t>(result)));
    exit(-1);
}
