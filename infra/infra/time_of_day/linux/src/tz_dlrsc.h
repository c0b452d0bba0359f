// Registration with the configuration database, kept matched to the card's dLRSC role.
#ifndef TZ_DLRSC_H
#define TZ_DLRSC_H

#include <stdint.h>
#include <time.h>

#include <atomic>
#include <mutex>

#include "platform_events.h"

#define DLRSC_EVENT_ACTIVE 4
#define DLRSC_EVENT_INACTIVE 32
#define TZ_DLRSC_EVENT_MASK (DLRSC_EVENT_ACTIVE | DLRSC_EVENT_INACTIVE)
#define TZ_RETRY_SECONDS 5
#define TZ_NOTIF_ATTEMPTS 10
#define TZ_NOTIF_SLEEP 2
#define TZ_VERIF_ATTEMPTS 10
#define TZ_VERIF_SLEEP 1

// Role globals: written by the state-change thread and the main thread.
extern std::atomic<int32_t> is_dlrsc;
extern std::atomic<int32_t> dlrsc_event;
extern std::atomic<int32_t> prev_dlrsc_event;
extern uint32_t tz_notif_handle;
extern uint32_t tz_verif_handle;
extern timer_t tz_retry_timer;
extern std::atomic<int32_t> sysdb_lib_present;

// Serialises the swap of registrations and the retry-timer bookkeeping between the state-change
// thread and the main thread.
extern std::mutex tz_role_mutex;

// The client library file that must have been seen readable before binding, unbinding or
// registering for notifications, and from which its operations are then loaded. Compiled into
// each tzd program; tests point it elsewhere.
extern const char *tz_sysdb_lib_path;
// Tests shorten the sleeps between registration attempts; the service never changes it.
extern unsigned (*tz_sleep)(unsigned seconds);

// True once the client library file has been seen readable and loaded (latched in
// sysdb_lib_present).
bool tz_sysdb_lib_check(void);
// Loads the client library at PATH and resolves the operations the service calls; true once they
// can be called (then and ever after). A file that does not load is logged once per reason.
bool tz_sysdb_lib_load(const char *path);

uint32_t tz_register_for_notification(void);
uint32_t tz_register_for_verification(void);
uint32_t tz_dlrsc_state_change_handler(void);
int tz_dlrsc_state_change_callback(event_context *ctx);
int tz_timers_expired_handler(void *arg);
int32_t tz_create_timer(int32_t seconds);
void *tz_dlrsc_state_chg_thread(void *arg);

#endif
