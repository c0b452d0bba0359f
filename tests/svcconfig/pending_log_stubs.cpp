// Temporary: the logging layer and the catalogue's environment lock, until they reach main.
// Goes away with the merge that brings tz_log.cpp and tz_config.cpp.
#include <stdarg.h>
#include <stdio.h>

#include <mutex>

#include "tz_config.h"
#include "tz_log.h"

int32_t tz_debug_level = 1;
ltrace_buf *timezone_ltrace = nullptr;

namespace {
const vel_msg_rec internal_rec = {0, "%s: %s", 0, "TZ", "OS", "INTERNAL", 1, 3, {}, 0x02470063, {}};
const vel_msg_rec sysdb_rec = {0, "%s: %s", 0, "TZ", "OS", "SYSDB", 1, 3, {}, 0x0247006c, {}};
}  // namespace

const vel_msg_rec *const vel_msg_rec_tz_internal = &internal_rec;
const vel_msg_rec *const vel_msg_rec_tz_sysdb = &sysdb_rec;

std::mutex tz_env_mutex;

uint32_t tz_ltrace_init(void) {
    return ltrace_init2("tz_ltrace", 0, 0, 500, 32000, 0, &timezone_ltrace);
}

int32_t timezone_log(int32_t level, const char *format, ...) {
    char line[600];
    va_list ap;
    va_start(ap, format);
    vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    if (level == 0) {
        return 0;
    }
    if (timezone_ltrace == nullptr) {
        tz_ltrace_init();
    }
    return _lstrace(timezone_ltrace, 0x10100000001, line);
}

void tz_report_internal(const char *text, const char *detail) {
    vel_errmsg(vel_msg_rec_tz_internal, 3, text, detail);
}
