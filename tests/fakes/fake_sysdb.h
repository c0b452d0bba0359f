// A stand-in for the platform's configuration-database, backend, tuple, time-zone setter,
// process-timer and system-manager calls in unit tests, with the messaging calls of the CLI thread
// recorded and answered with their scripted results (no message ever arrives). Every call is
// recorded with its arguments; results can be scripted per operation ("511 twice, then 0"). The
// backend calls run the descriptor's handlers the way the real library does, and the setter takes
// ownership of the zone string and frees it.
#pragma once

#include <stdint.h>
#include <time.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform_events.h"
#include "platform_sysdb.h"

namespace fake {

// One recorded call. Only the fields that the operation has are filled.
struct Call {
    std::string op;
    const void *conn = nullptr;
    std::optional<std::string> text;  // path, format, zone or channel; none for a null string
    uint32_t handle = 0;              // handle given to an unregister, or stored by a register
    uint32_t scope = 0;
    uint32_t flags = 0;
    uint32_t options = 0;
    uint32_t tag = 0;
    const void *verify = nullptr;
    const void *apply = nullptr;
    const void *notify = nullptr;
    const void *evm = nullptr;
    const void *descriptor = nullptr;
    const void *item = nullptr;
    const void *handle_out = nullptr;  // where a register stored its handle
    const void *extra[4] = {};         // other pointers, in argument order
    int64_t number = 0;                // other numbers: priority, event kind, mask, code
    int64_t result = 0;
    std::optional<std::string> error_text;  // text a check handler left for the database
};

std::vector<Call> calls();
std::vector<Call> calls_of(const std::string &op);
// Names of the recorded operations, in order, leaving out those in IGNORE.
std::vector<std::string> ops(const std::vector<std::string> &ignore = {});

// The next results of OP, used in order; after them OP returns its default.
void script(const std::string &op, std::vector<int64_t> results);
// Computes every result of OP (for long or racing runs).
void script_fn(const std::string &op, std::function<int64_t()> fn);
void set_default(const std::string &op, int64_t result);
// errno set by a failing event_async_attach_proctimer or event_manager_create.
void set_errno_on_failure(int err);

// A value tuple as tuple_unpack sees it. RESULT is what tuple_unpack returns; with PARTIAL a
// failing unpack still stores copies of the strings before it fails.
struct Tuple {
    std::vector<std::string> strings;
    int result = 0;
    bool partial = false;
};
sysdb_tuple *as_tuple(Tuple *tuple);
// Pointers of the strings tuple_unpack handed out, in order.
std::vector<const void *> unpacked_strings();

// Timers made by event_async_attach_proctimer are real POSIX timers that never signal; a test
// expires one by calling fire_timer, which runs the handler of the last attached timer.
void fire_timer();
// Seconds left before TIMER expires and its interval, or none when TIMER no longer exists.
std::optional<itimerspec> timer_state(timer_t timer);
// Timers attached and not yet deleted.
int live_timers();

// Role events handed out by event_block, one per call; -1 once they run out.
void queue_role_events(std::vector<int32_t> events);

// Calls of the registration operations that began while another thread was inside one.
int overlapping_calls();

// Clears calls, scripts, defaults, events, handles and event hooks, and deletes the timers still
// alive.
void reset_sysdb();

// Lets a test take over event_block or vk_event_dispatch, for instance to keep one thread's loop
// waiting and to script another's. When the hook returns a value the call returns it (and is
// still recorded); when it returns none the call behaves as above. The hook may block.
using EventHook = std::function<std::optional<int>(event_context *ctx)>;
void on_event_block(EventHook hook);
void on_event_dispatch(EventHook hook);

}  // namespace fake
