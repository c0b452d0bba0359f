// Platform event, messaging, process-timer, system-manager and LR-daemon services the service
// calls. The platform library (platform/) implements them.
#ifndef PLATFORM_EVENTS_H
#define PLATFORM_EVENTS_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct event_manager *evm_handle_t;

// The record given to event_block and vk_event_dispatch, one per event loop; handlers receive it.
typedef struct event_context {
    evm_handle_t evm;      // 0
    int32_t reply_id;      // 8: identifies the received message
    int32_t unset12;       // 12
    void *buffer;          // 16: receive buffer
    uint64_t buffer_size;  // 24
    int32_t field32;       // 32
    int32_t unset36;       // 36
    uint64_t field40;      // 40
    int32_t field48;       // 48
    int32_t field52;       // 52
} event_context;

#ifdef __cplusplus
static_assert(sizeof(event_context) == 56);
static_assert(offsetof(event_context, evm) == 0);
static_assert(offsetof(event_context, reply_id) == 8);
static_assert(offsetof(event_context, buffer) == 16);
static_assert(offsetof(event_context, buffer_size) == 24);
static_assert(offsetof(event_context, field32) == 32);
static_assert(offsetof(event_context, field40) == 40);
static_assert(offsetof(event_context, field48) == 48);
static_assert(offsetof(event_context, field52) == 52);
#endif

// A role event as the system manager delivers it into the loop's receive buffer: the event value
// is the 32-bit integer at byte offset 24.
typedef struct sysmgr_lr_event {
    uint32_t kind;       // 0
    uint32_t card;       // 4
    uint64_t sequence;   // 8
    uint64_t reserved;   // 16
    int32_t event;       // 24: DLRSC_EVENT_ACTIVE (4) or DLRSC_EVENT_INACTIVE (32)
    int32_t dlrsc_card;  // 28: the card that now holds the role
} sysmgr_lr_event;

#ifdef __cplusplus
static_assert(sizeof(sysmgr_lr_event) == 32);
static_assert(offsetof(sysmgr_lr_event, event) == 24);
#endif

// Handler of messages on a channel; the first argument is the loop's context, whose reply_id and
// buffer describe the message. The second is the user pointer given at attach time.
typedef int (*event_msg_handler_t)(event_context *ctx, void *user);
// Handler of a process timer's expiry; the argument is the one given at attach time.
typedef int (*proctimer_handler_t)(void *arg);
// Callback for role events; reads the event from ctx->buffer (a sysmgr_lr_event).
typedef int (*sysmgr_lr_event_cb_t)(event_context *ctx);

// Creates an event manager owned by the calling thread. With a channel name, the manager owns
// that message channel: a SOCK_SEQPACKET socket at $PLATFORM_RUNDIR + name. Null with errno set
// on failure. The fourth argument, when not null, points to an 8-byte slot the platform may use.
evm_handle_t event_manager_create(int32_t kind, const char *channel, int32_t depth, void *slot);
int event_manager_destroy(evm_handle_t *handle);

// From now on every message on the manager's channel goes to HANDLER through the dispatch call.
// ATTRIBUTES points to 4 bytes (two 16-bit words). -1 with errno set on failure.
int event_message_attach(evm_handle_t handle, const void *attributes, event_msg_handler_t handler,
                         void *user);

// Waits for the next event of ctx->evm and records it in ctx; -1 with errno set on failure or
// when the loop is told to end (SIGTERM or SIGINT ends the loop of the main thread's manager).
int event_block(event_context *ctx);
// Runs the handler of the event that event_block recorded, on the calling thread.
int vk_event_dispatch(event_context *ctx, int flags);

// Messaging: the sender of a received message is named by its reply_id.
int msg_get_clinfo_m_msglen(int32_t reply_id, uint64_t *length);
int msg_reply(int32_t reply_id, int32_t flags, const void *buffer, size_t length);
int msg_error(int32_t reply_id, int32_t error);

// A POSIX timer whose expiry the loop of HANDLE dispatches to HANDLER, whichever thread arms it.
// Arm and delete it with timer_settime and timer_delete. Negative with errno set on failure.
int event_async_attach_proctimer(evm_handle_t handle, int32_t code, int32_t flags,
                                 proctimer_handler_t handler, void *arg, int32_t priority,
                                 timer_t *timer);
int getprio(pid_t pid);

// System manager and LR daemon (served by platformd).
uint32_t sysmgr_proc_ready(void);
uint32_t sysmgr_register_lr_event(evm_handle_t handle, uint32_t mask, sysmgr_lr_event_cb_t callback,
                                  void *user);
uint32_t sysmgr_set_evm(evm_handle_t handle);
uint32_t lrd_am_i_dlrsc(int32_t *is_dlrsc);

#ifdef __cplusplus
}
#endif

#endif
