#include "fake_platform.h"

#include <errno.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

namespace {

enum Loop { kOther, kChannel, kRoles };

struct Data {
    std::vector<fake::Call> calls;
    std::map<std::string, std::deque<int64_t>> scripted;
    std::map<std::string, int64_t> defaults = {
        {"conf_set_timezone_string", 1}, {"getprio", 17}, {"event_block", -1}};
    uint32_t next_handle = 100;
    std::map<evm_handle_t, Loop> loops;
    std::deque<int32_t> role_events;
    proctimer_handler_t timer_handler = nullptr;
    sysmgr_lr_event_cb_t role_callback = nullptr;
};

struct Log {
    std::vector<fake::SyslogLine> lines;
    std::vector<std::string> records, traces;
};

// Never destroyed: the service's threads may still call in while the process exits.
struct State {
    std::mutex mu;
    std::condition_variable cv;
    Data d;
    Log log;
};
State &st = *new State;

int64_t next_result(const std::string &op) {
    std::lock_guard lock(st.mu);
    auto &q = st.d.scripted[op];
    if (q.empty())
        return st.d.defaults.count(op) ? st.d.defaults[op] : 0;
    int64_t r = q.front();
    q.pop_front();
    return r;
}

void record(fake::Call c) {
    std::lock_guard lock(st.mu);
    st.d.calls.push_back(std::move(c));
    st.cv.notify_all();
}

// Records OP and returns its scripted result.
int64_t call(const char *op) {
    int64_t result = next_result(op);
    record({op});
    return result;
}

uint32_t registered(int64_t status, uint32_t *handle) {
    std::lock_guard lock(st.mu);
    if (status == 0)
        *handle = st.d.next_handle++;
    return uint32_t(status);
}

std::string vformat(const char *format, va_list ap) {
    char buf[4096];
    vsnprintf(buf, sizeof buf, format, ap);
    return buf;
}

template <typename T>
T copy(const T &member) {
    std::lock_guard lock(st.mu);
    return member;
}

}  // namespace

namespace fake {

std::vector<SyslogLine> syslog_lines() {
    return copy(st.log.lines);
}
std::vector<std::string> records() {
    return copy(st.log.records);
}
std::vector<std::string> trace_lines() {
    return copy(st.log.traces);
}
void clear_log() {
    std::lock_guard lock(st.mu);
    st.log = Log{};
}

void note(const std::string &op, uint64_t value) {
    record({op, value});
}

std::vector<Call> calls(const std::string &op) {
    std::vector<Call> out = copy(st.d.calls);
    std::erase_if(out, [&](auto &c) { return !op.empty() && c.op != op; });
    return out;
}

std::vector<std::string> ops(const std::vector<std::string> &ignore) {
    std::vector<std::string> out;
    for (auto &c : calls())
        if (std::find(ignore.begin(), ignore.end(), c.op) == ignore.end())
            out.push_back(c.op);
    return out;
}

void script(const std::string &op, std::vector<int64_t> results) {
    std::lock_guard lock(st.mu);
    st.d.scripted[op].insert(st.d.scripted[op].end(), results.begin(), results.end());
}
void set_default(const std::string &op, int64_t result) {
    std::lock_guard lock(st.mu);
    st.d.defaults[op] = result;
}

sysdb_tuple *as_tuple(Tuple *tuple) {
    return reinterpret_cast<sysdb_tuple *>(tuple);
}

void fire_timer() {
    if (auto handler = copy(st.d.timer_handler))
        handler(nullptr);
}

void queue_role_events(std::vector<int32_t> events) {
    std::lock_guard lock(st.mu);
    st.d.role_events.insert(st.d.role_events.end(), events.begin(), events.end());
    st.cv.notify_all();
}

void reset_sysdb() {
    std::lock_guard lock(st.mu);
    st.d = Data{};
}

}  // namespace fake

// Calls that only record and give their scripted result.
#define RECORDED(type, name, params) \
    type name params {               \
        return type(call(#name));    \
    }

extern "C" {

int vk_syslog(int priority, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    std::string text = vformat(format, ap);
    va_end(ap);
    std::lock_guard lock(st.mu);
    st.log.lines.push_back({priority, text});
    return 0;
}

// Kept as "MNEMONIC text"; a severity other than 3 shows in place of the text.
int vel_errmsg(const vel_msg_rec *record, int severity, ...) {
    va_list ap;
    va_start(ap, severity);
    std::string text = std::string(record->mnemonic) + " " + vformat(record->format, ap);
    va_end(ap);
    std::lock_guard lock(st.mu);
    st.log.records.push_back(severity == 3 ? text : "severity " + std::to_string(severity));
    return 0;
}

const char *cerr_strerror(uint32_t status) {
    static thread_local char buf[32];
    snprintf(buf, sizeof buf, "status %u", status);
    return buf;
}

uint32_t ltrace_init2(const char *, int32_t, int32_t, int32_t, int32_t, int32_t,
                      ltrace_buf **handle) {
    int64_t r = call("ltrace_init2");
    if (r == 0)
        *handle = reinterpret_cast<ltrace_buf *>(&st);
    return uint32_t(r);
}

int32_t _lstrace(ltrace_buf *, uint64_t, const char *line) {
    std::lock_guard lock(st.mu);
    st.log.traces.push_back(line);
    return 0;
}

RECORDED(uint32_t, _sysdb_unbind, (sysdb_conn *))
RECORDED(uint32_t, sysdb_verification_unregister, (sysdb_conn *, uint32_t))
RECORDED(uint32_t, sysdb_notification_unregister, (sysdb_conn *, uint32_t))
RECORDED(uint32_t, backend_scan, (sysdb_conn *, bgen_data *, const char *, uint32_t, uint32_t))
RECORDED(int32_t, tz_lib_srp_notify,
         (sysdb_item *, void *, void *, sysdb_conn *, uint32_t, int32_t))
RECORDED(int, getprio, (pid_t))
RECORDED(uint32_t, sysmgr_set_evm, (evm_handle_t))
RECORDED(int, msg_error, (int32_t, int32_t))
RECORDED(int, msg_reply, (int32_t, int32_t, const void *, size_t))
RECORDED(int, event_manager_destroy, (evm_handle_t *))
RECORDED(uint32_t, sysmgr_proc_ready, (void))

uint32_t _sysdb_bind(sysdb_conn **conn, const char *, uint32_t) {
    int64_t r = call("_sysdb_bind");
    if (r == 0)
        *conn = reinterpret_cast<sysdb_conn *>(0x1000);
    return uint32_t(r);
}

uint32_t sysdb_register_verification(sysdb_conn *, const char *, uint32_t, uint32_t,
                                     sysdb_verify_cb_t, sysdb_apply_cb_t, void *, evm_handle_t,
                                     void *, void *, uint32_t, uint32_t *handle) {
    return registered(call("sysdb_register_verification"), handle);
}

uint32_t _sysdb_register_notification(sysdb_conn *, const char *, uint32_t, uint32_t,
                                      sysdb_notify_cb_t, evm_handle_t, void *, void *, uint32_t,
                                      uint32_t *handle) {
    return registered(call("_sysdb_register_notification"), handle);
}

// The backend calls are recorded before the handler runs, so that the handler's calls follow.
int32_t backend_verifyonly(bgen_data *data, sysdb_item *item, void *, uint32_t *accept, void *) {
    call("backend_verifyonly");
    char *error_text = nullptr;
    int32_t status = data->handlers->check(item, &error_text, accept);
    free(error_text);
    return status;
}

int32_t backend_apply(bgen_data *data, sysdb_item *item, void *) {
    call("backend_apply");
    return data->handlers->apply(item);
}

int32_t backend_notify(bgen_data *data, sysdb_item *item, void *second) {
    call("backend_notify");
    return data->handlers->notify(item, second, nullptr);
}

int tuple_unpack(const sysdb_tuple *tuple, const char *format, ...) {
    const auto *t = reinterpret_cast<const fake::Tuple *>(tuple);
    call("tuple_unpack");
    va_list ap;
    va_start(ap, format);
    size_t n = 0;
    for (const char *p = format; (p = strstr(p, "%S")) != nullptr; p += 2, ++n)
        *va_arg(ap, char **) = n < t->strings.size() ? strdup(t->strings[n].c_str()) : nullptr;
    va_end(ap);
    return 0;
}

int64_t conf_set_timezone_string(char *zone, int32_t) {
    int64_t r = call("conf_set_timezone_string");
    free(zone);
    return r;
}

evm_handle_t event_manager_create(int32_t, const char *channel, int32_t, void *) {
    call("event_manager_create");
    std::lock_guard lock(st.mu);
    auto evm = reinterpret_cast<evm_handle_t>(0x5000 + 0x10 * st.d.loops.size());
    st.d.loops[evm] = channel ? kChannel : kOther;
    return evm;
}

RECORDED(int, event_message_attach, (evm_handle_t, const void *, event_msg_handler_t, void *))

// A channel's loop waits forever, the role loop for its next event; any other loop is scripted.
int event_block(event_context *ctx) {
    std::unique_lock lock(st.mu);
    Loop loop = st.d.loops[ctx->evm];
    if (loop == kOther) {
        lock.unlock();
        return int(call("event_block"));
    }
    auto &queue = st.d.role_events;
    st.cv.wait(lock, [&] { return loop == kRoles && !queue.empty(); });
    int32_t event = queue.front();
    queue.pop_front();
    lock.unlock();
    record({"event_block"});
    if (event == -1)
        return errno = EINTR, -1;
    memcpy(static_cast<uint8_t *>(ctx->buffer) + offsetof(sysmgr_lr_event, event), &event,
           sizeof event);
    return 0;
}

int vk_event_dispatch(event_context *ctx, int) {
    call("vk_event_dispatch");
    std::unique_lock lock(st.mu);
    Loop loop = st.d.loops[ctx->evm];
    auto callback = st.d.role_callback;
    lock.unlock();
    return loop == kRoles ? callback(ctx) : 0;
}

int event_async_attach_proctimer(evm_handle_t, int32_t, int32_t, proctimer_handler_t handler,
                                 void *, int32_t, timer_t *timer) {
    int64_t r = call("event_async_attach_proctimer");
    struct sigevent sev = {};
    sev.sigev_notify = SIGEV_NONE;
    if (r < 0 || timer_create(CLOCK_MONOTONIC, &sev, timer) != 0)
        return -1;
    std::lock_guard lock(st.mu);
    st.d.timer_handler = handler;
    return int(r);
}

uint32_t sysmgr_register_lr_event(evm_handle_t handle, uint32_t, sysmgr_lr_event_cb_t callback,
                                  void *) {
    int64_t r = call("sysmgr_register_lr_event");
    std::lock_guard lock(st.mu);
    if (r == 0) {
        st.d.role_callback = callback;
        st.d.loops[handle] = kRoles;
    }
    return uint32_t(r);
}

// The flag comes from the script of "lrd_am_i_dlrsc.flag".
uint32_t lrd_am_i_dlrsc(int32_t *is_dlrsc) {
    int64_t r = call("lrd_am_i_dlrsc");
    if (r == 0)
        *is_dlrsc = int32_t(next_result("lrd_am_i_dlrsc.flag"));
    return uint32_t(r);
}

int msg_get_clinfo_m_msglen(int32_t, uint64_t *length) {
    *length = 0;
    return int(call("msg_get_clinfo_m_msglen"));
}

}  // extern "C"

// tzd loads libsysdb.so once its file is readable; the tests link the stand-ins above instead, so
// there is nothing to load.
bool tz_sysdb_lib_load(const char *) {
    return true;
}
