// Platform configuration-database services the service calls: the client (libsysdb.so), the
// backend library that feeds items to a descriptor's handlers, tuple unpacking, the time-zone
// setter and the time-zone notification library.
#ifndef PLATFORM_SYSDB_H
#define PLATFORM_SYSDB_H

#include <stddef.h>
#include <stdint.h>

#include "platform_events.h"

#ifdef __cplusplus
extern "C" {
#endif

// No usable connection to the configuration database.
#define ENOCONN 511
// A bind status with these top bits is transient: retry later.
#define SYSDB_STATUS_TRANSIENT_MASK 0xE0000000u
#define SYSDB_STATUS_TRANSIENT 0x80000000u
// The client library file could not be read.
#define SYSDB_STATUS_NO_LIBRARY 0x40818800u

// Item flag: the item is being deleted.
#define SYSDB_ITEM_DELETE 0x4

typedef struct sysdb_conn sysdb_conn;
typedef struct sysdb_tuple sysdb_tuple;

// An item as the database hands it to callbacks and handlers.
typedef struct sysdb_item {
    const char *name;    // 0: relative to the registered path, NUL-terminated
    uint8_t flags;       // 8: SYSDB_ITEM_DELETE
    uint8_t pad9[7];     // 9
    const char *path;    // 16: full path of the item
    uint64_t sequence;   // 24: commit sequence number
    sysdb_tuple *value;  // 32: value tuple; null for a deletion
} sysdb_item;

#ifdef __cplusplus
static_assert(sizeof(sysdb_item) == 40);
static_assert(offsetof(sysdb_item, name) == 0);
static_assert(offsetof(sysdb_item, flags) == 8);
static_assert(offsetof(sysdb_item, value) == 32);
#endif

// Callbacks given at registration. They run inside the dispatch of the event manager named at
// registration. SECOND and FOURTH belong to the database: the verify callback hands them on.
typedef int32_t (*sysdb_verify_cb_t)(sysdb_item *item, void *second, uint32_t *accept,
                                     void *fourth);
typedef int32_t (*sysdb_apply_cb_t)(sysdb_item *item, void *second);
typedef int32_t (*sysdb_notify_cb_t)(sysdb_item *item, void *second);

uint32_t _sysdb_bind(sysdb_conn **conn, const char *path, uint32_t flags);
uint32_t _sysdb_unbind(sysdb_conn *conn);
uint32_t sysdb_register_verification(sysdb_conn *conn, const char *path, uint32_t scope,
                                     uint32_t flags, sysdb_verify_cb_t verify,
                                     sysdb_apply_cb_t apply, void *user, evm_handle_t evm,
                                     void *reserved1, void *reserved2, uint32_t options,
                                     uint32_t *handle);
uint32_t _sysdb_register_notification(sysdb_conn *conn, const char *path, uint32_t scope,
                                      uint32_t flags, sysdb_notify_cb_t notify, evm_handle_t evm,
                                      void *user, void *reserved, uint32_t options,
                                      uint32_t *handle);
uint32_t sysdb_verification_unregister(sysdb_conn *conn, uint32_t handle);
uint32_t sysdb_notification_unregister(sysdb_conn *conn, uint32_t handle);

// Backend descriptors: a header, a handler table and two words. The layout is shared between the
// service, which owns the descriptors, and the backend library, which reads them.
typedef int32_t (*bgen_check_handler_t)(sysdb_item *item, char **error_text, uint32_t *accept);
typedef int32_t (*bgen_apply_handler_t)(sysdb_item *item);
typedef int32_t (*bgen_notify_handler_t)(sysdb_item *item, void *second, void *third);

typedef struct bgen_header {
    const char *name;      // 0
    uint32_t reserved8;    // 8: 0
    uint32_t version;      // 12: 1
    int64_t mask;          // 16: all bits set
    uint8_t reserved[40];  // 24
} bgen_header;

typedef struct bgen_handlers {
    uint64_t count;                  // 0: 5
    void *slot0;                     // 8
    bgen_check_handler_t check;      // 16
    bgen_apply_handler_t apply;      // 24
    void *slot3;                     // 32
    bgen_notify_handler_t notify;    // 40
    void *slots[7];                  // 48
} bgen_handlers;

typedef struct bgen_data {
    const bgen_header *header;      // 0
    const bgen_handlers *handlers;  // 8
    uint64_t one;                   // 16: 1
    uint64_t zero;                  // 24: 0
} bgen_data;

#ifdef __cplusplus
static_assert(sizeof(bgen_header) == 64);
static_assert(offsetof(bgen_header, reserved8) == 8);
static_assert(offsetof(bgen_header, version) == 12);
static_assert(offsetof(bgen_header, mask) == 16);
static_assert(sizeof(bgen_handlers) == 104);
static_assert(offsetof(bgen_handlers, check) == 16);
static_assert(offsetof(bgen_handlers, apply) == 24);
static_assert(offsetof(bgen_handlers, notify) == 40);
static_assert(offsetof(bgen_handlers, slots) == 48);
static_assert(sizeof(bgen_data) == 32);
static_assert(offsetof(bgen_data, handlers) == 8);
static_assert(offsetof(bgen_data, one) == 16);
static_assert(offsetof(bgen_data, zero) == 24);
#endif

// Hands the stored state below PATH (relative to the connection's bound path), deletions of
// known items included, to the connection's registration that the descriptor serves, through
// that registration's callbacks on its event manager (verify then apply for a command
// descriptor, notify for a notify one), in order with its other callouts. ENOCONN when the
// connection holds no such registration.
uint32_t backend_scan(sysdb_conn *conn, bgen_data *data, const char *path, uint32_t tag,
                      uint32_t flags);
// Runs the check handler; an error text it leaves is handed to the database through SECOND.
int32_t backend_verifyonly(bgen_data *data, sysdb_item *item, void *second, uint32_t *accept,
                           void *fourth);
int32_t backend_apply(bgen_data *data, sysdb_item *item, void *second);
int32_t backend_notify(bgen_data *data, sysdb_item *item, void *second);

// Unpacks a tuple. "%S" stores a newly allocated copy of the next string (null when the tuple has
// no more elements); the caller frees it. Negative on a malformed tuple or format.
int tuple_unpack(const sysdb_tuple *tuple, const char *format, ...);

// Points the system's time zone at ZONE below the zoneinfo root; null removes it. Takes ownership
// of ZONE (a heap string, or null). Non-zero on success, zero on failure.
int64_t conf_set_timezone_string(char *zone, int32_t flags);

// Applies a notified time-zone item on a card that follows the verifier.
int32_t tz_lib_srp_notify(sysdb_item *item, void *second, void *third, sysdb_conn *conn,
                          uint32_t handle, int32_t flags);

#ifdef __cplusplus
}
#endif

#endif
