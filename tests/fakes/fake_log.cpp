#include "fake_log.h"

#include <stdarg.h>
#include <stdio.h>

#include <mutex>

namespace {

std::mutex mu;
std::vector<fake::SyslogLine> lines;
std::vector<fake::ErrRecord> records;
std::vector<std::string> traces;
int init_calls = 0;
uint32_t init_status = 0;
ltrace_buf *const fake_buf = reinterpret_cast<ltrace_buf *>(0x1);

std::string vformat(const char *format, va_list ap) {
    char buf[4096];
    vsnprintf(buf, sizeof buf, format, ap);
    return buf;
}

}  // namespace

extern "C" int vk_syslog(int priority, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    std::string text = vformat(format, ap);
    va_end(ap);
    std::lock_guard lock(mu);
    lines.push_back({priority, text});
    return 0;
}

extern "C" int vel_errmsg(const vel_msg_rec *record, int severity, ...) {
    va_list ap;
    va_start(ap, severity);
    std::string text = vformat(record->format, ap);
    va_end(ap);
    std::lock_guard lock(mu);
    records.push_back({record, severity, text});
    return 0;
}

extern "C" const char *cerr_strerror(uint32_t status) {
    static thread_local char buf[64];
    snprintf(buf, sizeof buf, "status %u", status);
    return buf;
}

extern "C" uint32_t ltrace_init2(const char *, int32_t, int32_t, int32_t, int32_t, int32_t,
                                 ltrace_buf **handle) {
    std::lock_guard lock(mu);
    ++init_calls;
    if (init_status == 0)
        *handle = fake_buf;
    return init_status;
}

extern "C" int32_t _lstrace(ltrace_buf *, uint64_t, const char *line) {
    std::lock_guard lock(mu);
    traces.push_back(line);
    return 0;
}

namespace fake {

std::vector<SyslogLine> syslog_lines() {
    std::lock_guard lock(mu);
    return lines;
}
std::vector<ErrRecord> err_records() {
    std::lock_guard lock(mu);
    return records;
}
std::vector<std::string> trace_lines() {
    std::lock_guard lock(mu);
    return traces;
}
int ltrace_init_calls() {
    std::lock_guard lock(mu);
    return init_calls;
}
void set_ltrace_init_status(uint32_t status) {
    std::lock_guard lock(mu);
    init_status = status;
}
void clear_log() {
    std::lock_guard lock(mu);
    lines.clear();
    records.clear();
    traces.clear();
    init_calls = 0;
}
bool logged(const std::string &text) {
    std::lock_guard lock(mu);
    for (auto &l : lines)
        if (l.text == text)
            return true;
    return false;
}

}  // namespace fake
