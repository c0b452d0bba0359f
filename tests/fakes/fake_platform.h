// A stand-in for the platform's services in unit tests of the service. Syslog lines, error records
// and trace lines are kept as texts. Every other call (configuration database, backend, tuple,
// time-zone setter, timer, system manager, events, messaging) is recorded by name and answered
// with a scripted result ("511 twice, then 0"). The backend calls run the
// descriptor's handlers as the real library does; the setter takes over and frees the zone. Each
// event loop behaves by its kind: the loop of a message channel waits (the query tests call the
// handler directly), the loop registered for role events delivers queued role events to the role
// callback, and any other loop takes its results from the script of "event_block" (-1 once it runs
// out).
#pragma once

#include <stdint.h>
#include <time.h>

#include <string>
#include <vector>

#include "platform_events.h"
#include "platform_log.h"
#include "platform_sysdb.h"

namespace fake {

struct SyslogLine {
    int priority;
    std::string text;
};
std::vector<SyslogLine> syslog_lines();
// Error records as "MNEMONIC text", the text being the record's format applied to the arguments.
std::vector<std::string> records();
std::vector<std::string> trace_lines();
void clear_log();

struct Call {
    std::string op;
    uint64_t value = 0;  // a noted event's
};

// Records an event of the test's own (a sleep) among the calls.
void note(const std::string &op, uint64_t value);
// All calls, or those of OP; the names of the calls in order, leaving out those in IGNORE.
std::vector<Call> calls(const std::string &op = "");
std::vector<std::string> ops(const std::vector<std::string> &ignore = {});

// Results of OP: the scripted ones in order, then its default (0 unless set).
void script(const std::string &op, std::vector<int64_t> results);
void set_default(const std::string &op, int64_t result);

// A value tuple as tuple_unpack sees it.
struct Tuple {
    std::vector<std::string> strings;
};
sysdb_tuple *as_tuple(Tuple *tuple);

// Timers are real POSIX timers that never signal: fire_timer runs the handler of the last one
// attached.
void fire_timer();

// Role events for the role loop, which waits for the next (a channel's loop waits forever). A role
// event of -1 makes that event_block fail instead.
void queue_role_events(std::vector<int32_t> events);

// Back to the start: no calls, scripts or queues.
void reset_sysdb();

}  // namespace fake
