// Logging, debug trace and the message records of the facility "TZ".
#include "tz_log.h"

#include <stdarg.h>
#include <stdio.h>

#include <mutex>

// Trace is on from the start; nothing changes it at run time.
int32_t tz_debug_level = 1;

ltrace_buf *timezone_ltrace = nullptr;

namespace {

// Room for one trace line: a little over 512 bytes. Longer lines are cut to fit.
constexpr size_t TZ_LOG_LINE_SIZE = 520;

constexpr uint64_t TZ_LTRACE_ATTRIBUTES = 0x10100000001ULL;

// Guards timezone_ltrace: the trace buffer may be opened lazily from whichever thread traces
// first when the open at start-up failed.
std::mutex tz_ltrace_mutex;

uint32_t tz_ltrace_init_locked() {
    return ltrace_init2("tz_ltrace", 0, 0, 500, 32000, 0, &timezone_ltrace);
}

constexpr uint32_t TZ_MSG_ID_BASE = 0x02470000;

constexpr vel_msg_rec tz_msg_rec(const char *mnemonic, uint16_t id, uint16_t flag,
                                 const char *format) {
    vel_msg_rec rec{};
    rec.format = format;
    rec.facility = "TZ";
    rec.group = "OS";
    rec.mnemonic = mnemonic;
    rec.flag = flag;
    rec.severity = 3;
    rec.msg_id = TZ_MSG_ID_BASE | id;
    return rec;
}

// The catalogue of the facility, in descending identifier order. Only INTERNAL and SYSDB are
// raised by this service; the others belong to the same facility and keep their identifiers.
constexpr vel_msg_rec tz_msg_catalogue[] = {
    tz_msg_rec("TIMEZONE_CFGSTR_SET_ERR", 0x006d, 0,
               "The timezone '%s' string was not configured - %s (0x%x)"),
    tz_msg_rec("SYSDB", 0x006c, 1, "%s: %s"),
    tz_msg_rec("PUF_WRITE_ERR", 0x006b, 0, "Unable to %s when writing persistent file %s: %s (%s)"),
    tz_msg_rec("PUF_READ_ERR", 0x006a, 0,
               "Unable to open file when reading persistent file %s: %s (%s)"),
    tz_msg_rec("PUF_MEDIA_ACCESS_ERR", 0x0069, 0, "Can't access storage media '%s': %s"),
    tz_msg_rec("PUF_MAGIC_LOOKUP_ERR", 0x0068, 0,
               "Unable to find magic number field when checking persistent file %s: the PUF file "
               "doesn't have a valid format."),
    tz_msg_rec("PUF_MAGIC_CHK_ERR", 0x0067, 0,
               "The persistent file (%s) has invalid magic number of 0x%x (expected 0x%x) - file "
               "doesn't have valid format."),
    tz_msg_rec("PUF_INVALID_TOKEN_TYPE", 0x0066, 0,
               "Invalid PUF token type of %d for token ID %d (expected token type = %d) in %s"),
    tz_msg_rec("PUF_CFGSTR_LOOKUP_ERR", 0x0065, 0,
               "Unable to find timezone config string field when checking persistent file %s: the "
               "PUF file doesn't have valid format."),
    tz_msg_rec("LRD", 0x0064, 1, "LRd error: %s"),
    tz_msg_rec("INTERNAL", 0x0063, 1, "%s: %s"),
};

static_assert(sizeof(tz_msg_catalogue) / sizeof(tz_msg_catalogue[0]) == 11);

}  // namespace

const vel_msg_rec *const vel_msg_rec_tz_internal = &tz_msg_catalogue[10];
const vel_msg_rec *const vel_msg_rec_tz_sysdb = &tz_msg_catalogue[1];

uint32_t tz_ltrace_init(void) {
    std::lock_guard lock(tz_ltrace_mutex);
    return tz_ltrace_init_locked();
}

int32_t timezone_log(int32_t level, const char *format, ...) {
    char line[TZ_LOG_LINE_SIZE];
    va_list ap;
    va_start(ap, format);
    vsnprintf(line, sizeof line, format, ap);
    va_end(ap);

    if (level == 0) {
        return 0;
    }

    ltrace_buf *buf;
    {
        std::lock_guard lock(tz_ltrace_mutex);
        if (timezone_ltrace == nullptr) {
            tz_ltrace_init_locked();
        }
        buf = timezone_ltrace;
    }
    // While the buffer still cannot be opened the line is dropped; the next line tries again.
    if (buf == nullptr) {
        return -1;
    }
    return _lstrace(buf, TZ_LTRACE_ATTRIBUTES, line);
}

void tz_report_internal(const char *text, const char *detail) {
    vel_errmsg(vel_msg_rec_tz_internal, 3, text, detail);
}
