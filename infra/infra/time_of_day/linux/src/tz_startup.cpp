// Start-up of the service in its fixed order, the main event loop and the teardown.
#include "tz_startup.h"

#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include "tz_cli.h"
#include "tz_dlrsc.h"
#include "tz_log.h"
#include "tz_sysdb.h"

namespace {

// Stops the process when a call that cannot fail on a sane system does fail.
void tz_assert(bool ok, const char *what) {
    if (!ok) {
        vk_syslog(3, "%s: assertion failed: %s", "osag_pthread_create", what);
        abort();
    }
}

// Unbinds, but only once the client library file has been seen readable.
void tz_unbind_guarded(void) {
    if (tz_sysdb_lib_check())
        _sysdb_unbind(lr_sysdb_conn);
}

void tz_start_thread(void *(*start)(void *), const char *create_trace) {
    pthread_t identifier;
    int rc = osag_pthread_create(&identifier, nullptr, start, nullptr);
    if (rc != 0) {
        int err = rc;
        TZ_TRACE("%s", create_trace);
        tz_report_internal("Failed to create thread", cerr_strerror(err));
        exit(1);
    }
    rc = pthread_detach(identifier);
    if (rc != 0) {
        int err = rc;
        TZ_TRACE("Unable to detach thread\n");
        tz_report_internal("Unable to detach thread", cerr_strerror(err));
        exit(1);
    }
}

}  // namespace

int osag_pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *),
                        void *arg) {
    sigset_t set;
    tz_assert(sigemptyset(&set) == 0, "sigemptyset");
    tz_assert(sigaddset(&set, SIGRTMIN + 6) == 0, "sigaddset SIGRTMIN+6");
    tz_assert(sigaddset(&set, SIGRTMIN + 10) == 0, "sigaddset SIGRTMIN+10");
    tz_assert(pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0, "pthread_sigmask");
    return pthread_create(thread, attr, start, arg);
}

uint32_t tz_do_registerations(void) {
    TZ_TRACE("In %s\n", "tz_do_registerations");

    int32_t role = 0;
    while (lrd_am_i_dlrsc(&role) != 0)
        tz_sleep(1);
    is_dlrsc = role;
    TZ_TRACE("In %s, DLRSC = %d ", "tz_do_registerations", (int)is_dlrsc);

    for (;;) {
        if (!tz_sysdb_lib_check()) {
            tz_sleep(1);
            continue;
        }
        uint32_t status = _sysdb_bind(&lr_sysdb_conn, TZ_SYSDB_PATH, 0);
        if (status == 0)
            break;
        if ((status & SYSDB_STATUS_TRANSIENT_MASK) == SYSDB_STATUS_TRANSIENT) {
            tz_sleep(1);
            continue;
        }
        return status;
    }

    // The role is read now, so an event that arrived during the bind counts.
    uint32_t status =
        is_dlrsc ? tz_register_for_verification() : tz_register_for_notification();
    if (status != 0) {
        tz_unbind_guarded();
        return status;
    }
    return 0;
}

int tz_config_register(void) {
    uint32_t status = tz_ltrace_init();
    if (status != 0)
        vel_errmsg(vel_msg_rec_tz_internal, 3, "Failed to do Ltrace Init ", cerr_strerror(status));

    TZ_TRACE("In %s\n", "tz_config_register");

    tz_evm = event_manager_create(0, nullptr, 8, nullptr);
    if (tz_evm == nullptr) {
        tz_report_internal("Unable to create a msg channel", cerr_strerror(errno));
        exit(-1);
    }

    tz_start_thread(tz_dlrsc_state_chg_thread, "Unable to create thread\n");
    tz_start_thread(tz_cli_msg_thread, "Unable to create cli handling thread\n");

    TZ_TRACE("Checking state of card\n");

    tz_evm_ctx = event_context{};
    tz_evm_ctx.evm = tz_evm;
    tz_evm_ctx.reply_id = 0;
    tz_evm_ctx.buffer = tz_evm_buf;
    tz_evm_ctx.buffer_size = TZ_EVM_BUF_SIZE;

    status = sysmgr_proc_ready();
    if (status != 0)
        vel_errmsg(vel_msg_rec_tz_internal, 3,
                   "Failed to inform sysmgr that initialisation is complete ",
                   cerr_strerror(status));

    status = tz_do_registerations();
    if (status != 0) {
        tz_report_internal("tz_do_registerations failed", cerr_strerror(status));
        exit(1);
    }

    int32_t event = dlrsc_event;
    while (event != DLRSC_EVENT_ACTIVE && event != DLRSC_EVENT_INACTIVE) {
        tz_sleep(2);
        event = dlrsc_event;
    }
    {
        // The role callback compares against prev_dlrsc_event under this lock.
        std::lock_guard lock(tz_role_mutex);
        prev_dlrsc_event = event;
    }
    TZ_TRACE("dlrsc event = %d\n", (int)event);

    while (event_block(&tz_evm_ctx) != -1)
        vk_event_dispatch(&tz_evm_ctx, 0);

    if (is_dlrsc)
        sysdb_verification_unregister(lr_sysdb_conn, tz_verif_handle);
    else
        sysdb_notification_unregister(lr_sysdb_conn, tz_notif_handle);
    tz_unbind_guarded();
    return -1;
}
