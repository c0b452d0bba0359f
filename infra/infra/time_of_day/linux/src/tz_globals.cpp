// Process-wide state of start-up that the main loop, the configuration handlers and the role
// tracking share.
#include "tz_startup.h"

// The main thread's event manager: written once before any worker thread starts.
evm_handle_t tz_evm = nullptr;
// The main loop's event context and its receive buffer, used by the main thread alone.
event_context tz_evm_ctx = {};
alignas(8) uint8_t tz_evm_buf[TZ_EVM_BUF_SIZE];
// The configuration-database connection: set by the bind at start-up, never cleared.
sysdb_conn *lr_sysdb_conn = nullptr;
