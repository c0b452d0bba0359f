// Logging, debug trace and the message records of the facility "TZ".
#ifndef TZ_LOG_H
#define TZ_LOG_H

#include <stdint.h>

#include "platform_log.h"

extern int32_t tz_debug_level;
extern ltrace_buf *timezone_ltrace;

extern const vel_msg_rec *const vel_msg_rec_tz_internal;
extern const vel_msg_rec *const vel_msg_rec_tz_sysdb;

uint32_t tz_ltrace_init(void);
int32_t timezone_log(int32_t level, const char *format, ...) __attribute__((format(printf, 2, 3)));
void tz_report_internal(const char *text, const char *detail);

// Trace only while tracing is on, so that nothing is formatted while it is off.
#define TZ_TRACE(...)                                  \
    do {                                               \
        if (tz_debug_level) {                          \
            timezone_log(tz_debug_level, __VA_ARGS__); \
        }                                              \
    } while (0)

#endif
