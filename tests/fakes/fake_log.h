// A stand-in for the platform's reporting services in unit tests: it records every syslog line,
// error record and trace line in memory so tests can check the exact texts.
#pragma once

#include <string>
#include <vector>

#include "platform_log.h"

namespace fake {

struct SyslogLine {
    int priority;
    std::string text;
};

struct ErrRecord {
    const vel_msg_rec *record;
    int severity;
    std::string text;  // the record's format applied to the arguments
};

std::vector<SyslogLine> syslog_lines();
std::vector<ErrRecord> err_records();
std::vector<std::string> trace_lines();
// How often ltrace_init2 was called, and the status it returns next (0 by default).
int ltrace_init_calls();
void set_ltrace_init_status(uint32_t status);
void clear_log();

// True when some syslog line equals TEXT exactly.
bool logged(const std::string &text);

}  // namespace fake
