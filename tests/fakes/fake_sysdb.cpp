#include "fake_sysdb.h"

#include <errno.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

namespace {

std::mutex mu;
std::vector<fake::Call> recorded;
std::map<std::string, std::deque<int64_t>> scripted;
std::map<std::string, std::function<int64_t()>> scripted_fns;
std::map<std::string, int64_t> defaults;
int failure_errno = EAGAIN;
uint32_t next_handle = 100;
std::vector<const void *> unpacked;
std::vector<timer_t> timers;
proctimer_handler_t timer_handler = nullptr;
void *timer_arg = nullptr;
std::deque<int32_t> role_events;
sysmgr_lr_event_cb_t role_callback = nullptr;
int evm_count = 0;
std::atomic<int> in_flight{0};
std::atomic<int> overlaps{0};
fake::EventHook block_hook;
fake::EventHook dispatch_hook;

sysdb_conn *const fake_conn = reinterpret_cast<sysdb_conn *>(0x1000);
int notify_third_marker;

void set_initial_defaults() {
    defaults = {{"conf_set_timezone_string", 1}, {"event_manager_create", 1}, {"getprio", 17}};
}

int64_t next_result(const std::string &op) {
    std::function<int64_t()> fn;
    {
        std::lock_guard lock(mu);
        if (auto it = scripted_fns.find(op); it != scripted_fns.end()) {
            fn = it->second;
        } else if (auto q = scripted.find(op); q != scripted.end() && !q->second.empty()) {
            int64_t r = q->second.front();
            q->second.pop_front();
            return r;
        } else {
            auto d = defaults.find(op);
            return d == defaults.end() ? 0 : d->second;
        }
    }
    return fn();
}

size_t record(fake::Call call) {
    std::lock_guard lock(mu);
    recorded.push_back(std::move(call));
    return recorded.size() - 1;
}

template <typename F>
void update(size_t index, F f) {
    std::lock_guard lock(mu);
    f(recorded[index]);
}

std::optional<std::string> text_of(const char *s) {
    return s ? std::optional<std::string>(s) : std::nullopt;
}

// Registration-side calls must not run on two threads at once; count it when they do. The yield
// widens the window so that a missing lock in the caller shows.
struct ExclusiveCall {
    ExclusiveCall() {
        if (in_flight.fetch_add(1) > 0) {
            overlaps.fetch_add(1);
        }
        std::this_thread::yield();
    }
    ~ExclusiveCall() { in_flight.fetch_sub(1); }
};

// Runs a copy of HOOK outside the lock, so that it may block or call back into the fake.
std::optional<int> hooked(const fake::EventHook &hook, event_context *ctx) {
    fake::EventHook copy;
    {
        std::lock_guard lock(mu);
        copy = hook;
    }
    return copy ? copy(ctx) : std::nullopt;
}

fake::Call make(const char *op) {
    fake::Call c;
    c.op = op;
    return c;
}

uint32_t registered(uint32_t status, uint32_t *handle) {
    if (status != 0) {
        return status;
    }
    std::lock_guard lock(mu);
    *handle = next_handle++;
    return status;
}

}  // namespace

namespace fake {

std::vector<Call> calls() {
    std::lock_guard lock(mu);
    return recorded;
}

std::vector<Call> calls_of(const std::string &op) {
    std::vector<Call> out;
    for (auto &c : calls()) {
        if (c.op == op) {
            out.push_back(c);
        }
    }
    return out;
}

std::vector<std::string> ops(const std::vector<std::string> &ignore) {
    std::vector<std::string> out;
    for (auto &c : calls()) {
        if (std::find(ignore.begin(), ignore.end(), c.op) == ignore.end()) {
            out.push_back(c.op);
        }
    }
    return out;
}

void script(const std::string &op, std::vector<int64_t> results) {
    std::lock_guard lock(mu);
    auto &q = scripted[op];
    q.insert(q.end(), results.begin(), results.end());
}

void script_fn(const std::string &op, std::function<int64_t()> fn) {
    std::lock_guard lock(mu);
    scripted_fns[op] = std::move(fn);
}

void set_default(const std::string &op, int64_t result) {
    std::lock_guard lock(mu);
    defaults[op] = result;
}

void set_errno_on_failure(int err) {
    std::lock_guard lock(mu);
    failure_errno = err;
}

sysdb_tuple *as_tuple(Tuple *tuple) {
    return reinterpret_cast<sysdb_tuple *>(tuple);
}

std::vector<const void *> unpacked_strings() {
    std::lock_guard lock(mu);
    return unpacked;
}

void fire_timer() {
    proctimer_handler_t handler;
    void *arg;
    {
        std::lock_guard lock(mu);
        handler = timer_handler;
        arg = timer_arg;
    }
    if (handler != nullptr) {
        handler(arg);
    }
}

std::optional<itimerspec> timer_state(timer_t timer) {
    itimerspec spec;
    if (timer_gettime(timer, &spec) != 0) {
        return std::nullopt;
    }
    return spec;
}

int live_timers() {
    std::lock_guard lock(mu);
    int n = 0;
    for (timer_t t : timers) {
        n += timer_state(t).has_value() ? 1 : 0;
    }
    return n;
}

void queue_role_events(std::vector<int32_t> events) {
    std::lock_guard lock(mu);
    role_events.insert(role_events.end(), events.begin(), events.end());
}

int overlapping_calls() {
    return overlaps.load();
}

void reset_sysdb() {
    std::lock_guard lock(mu);
    recorded.clear();
    scripted.clear();
    scripted_fns.clear();
    set_initial_defaults();
    failure_errno = EAGAIN;
    next_handle = 100;
    unpacked.clear();
    for (timer_t t : timers) {
        timer_delete(t);
    }
    timers.clear();
    timer_handler = nullptr;
    timer_arg = nullptr;
    role_events.clear();
    role_callback = nullptr;
    evm_count = 0;
    overlaps.store(0);
    block_hook = nullptr;
    dispatch_hook = nullptr;
}

void on_event_block(EventHook hook) {
    std::lock_guard lock(mu);
    block_hook = std::move(hook);
}

void on_event_dispatch(EventHook hook) {
    std::lock_guard lock(mu);
    dispatch_hook = std::move(hook);
}

}  // namespace fake

namespace {
struct InitDefaults {
    InitDefaults() { set_initial_defaults(); }
} init_defaults;
}  // namespace

extern "C" {

uint32_t _sysdb_bind(sysdb_conn **conn, const char *path, uint32_t flags) {
    auto c = make("_sysdb_bind");
    c.text = text_of(path);
    c.flags = flags;
    c.result = next_result(c.op);
    if (c.result == 0) {
        *conn = fake_conn;
    }
    record(c);
    return static_cast<uint32_t>(c.result);
}

uint32_t _sysdb_unbind(sysdb_conn *conn) {
    auto c = make("_sysdb_unbind");
    c.conn = conn;
    c.result = next_result(c.op);
    record(c);
    return static_cast<uint32_t>(c.result);
}

uint32_t sysdb_register_verification(sysdb_conn *conn, const char *path, uint32_t scope,
                                     uint32_t flags, sysdb_verify_cb_t verify,
                                     sysdb_apply_cb_t apply, void *user, evm_handle_t evm,
                                     void *reserved1, void *reserved2, uint32_t options,
                                     uint32_t *handle) {
    ExclusiveCall exclusive;
    auto c = make("sysdb_register_verification");
    c.conn = conn;
    c.text = text_of(path);
    c.scope = scope;
    c.flags = flags;
    c.verify = reinterpret_cast<const void *>(verify);
    c.apply = reinterpret_cast<const void *>(apply);
    c.extra[0] = user;
    c.evm = evm;
    c.extra[1] = reserved1;
    c.extra[2] = reserved2;
    c.options = options;
    c.handle_out = handle;
    c.result = registered(static_cast<uint32_t>(next_result(c.op)), handle);
    c.handle = c.result == 0 ? *handle : 0;
    record(c);
    return static_cast<uint32_t>(c.result);
}

uint32_t _sysdb_register_notification(sysdb_conn *conn, const char *path, uint32_t scope,
                                      uint32_t flags, sysdb_notify_cb_t notify, evm_handle_t evm,
                                      void *user, void *reserved, uint32_t options,
                                      uint32_t *handle) {
    ExclusiveCall exclusive;
    auto c = make("_sysdb_register_notification");
    c.conn = conn;
    c.text = text_of(path);
    c.scope = scope;
    c.flags = flags;
    c.notify = reinterpret_cast<const void *>(notify);
    c.evm = evm;
    c.extra[0] = user;
    c.extra[1] = reserved;
    c.options = options;
    c.handle_out = handle;
    c.result = registered(static_cast<uint32_t>(next_result(c.op)), handle);
    c.handle = c.result == 0 ? *handle : 0;
    record(c);
    return static_cast<uint32_t>(c.result);
}

uint32_t sysdb_verification_unregister(sysdb_conn *conn, uint32_t handle) {
    ExclusiveCall exclusive;
    auto c = make("sysdb_verification_unregister");
    c.conn = conn;
    c.handle = handle;
    c.result = next_result(c.op);
    record(c);
    return static_cast<uint32_t>(c.result);
}

uint32_t sysdb_notification_unregister(sysdb_conn *conn, uint32_t handle) {
    ExclusiveCall exclusive;
    auto c = make("sysdb_notification_unregister");
    c.conn = conn;
    c.handle = handle;
    c.result = next_result(c.op);
    record(c);
    return static_cast<uint32_t>(c.result);
}

uint32_t backend_scan(sysdb_conn *conn, bgen_data *data, const char *path, uint32_t tag,
                      uint32_t flags) {
    ExclusiveCall exclusive;
    auto c = make("backend_scan");
    c.conn = conn;
    c.descriptor = data;
    c.text = text_of(path);
    c.tag = tag;
    c.flags = flags;
    c.result = next_result(c.op);
    record(c);
    return static_cast<uint32_t>(c.result);
}

// The backend calls run the descriptor's handler the way the library does; they are recorded
// before the handler runs, so that the handler's own calls follow them.
int32_t backend_verifyonly(bgen_data *data, sysdb_item *item, void *second, uint32_t *accept,
                           void *fourth) {
    auto c = make("backend_verifyonly");
    c.descriptor = data;
    c.item = item;
    c.extra[0] = second;
    c.extra[1] = accept;
    c.extra[2] = fourth;
    size_t index = record(c);
    char *error_text = nullptr;
    int32_t status = data->handlers->check(item, &error_text, accept);
    update(index, [&](fake::Call &r) {
        r.result = status;
        r.error_text = text_of(error_text);
    });
    free(error_text);
    return status;
}

int32_t backend_apply(bgen_data *data, sysdb_item *item, void *second) {
    auto c = make("backend_apply");
    c.descriptor = data;
    c.item = item;
    c.extra[0] = second;
    size_t index = record(c);
    int32_t status = data->handlers->apply(item);
    update(index, [&](fake::Call &r) { r.result = status; });
    return status;
}

int32_t backend_notify(bgen_data *data, sysdb_item *item, void *second) {
    auto c = make("backend_notify");
    c.descriptor = data;
    c.item = item;
    c.extra[0] = second;
    c.extra[1] = &notify_third_marker;
    size_t index = record(c);
    int32_t status = data->handlers->notify(item, second, &notify_third_marker);
    update(index, [&](fake::Call &r) { r.result = status; });
    return status;
}

int tuple_unpack(const sysdb_tuple *tuple, const char *format, ...) {
    auto c = make("tuple_unpack");
    c.item = tuple;
    c.text = text_of(format);
    const auto *t = reinterpret_cast<const fake::Tuple *>(tuple);
    int result = t == nullptr ? -1 : t->result;
    c.result = result;
    record(c);
    if (t == nullptr || (result < 0 && !t->partial)) {
        return result;
    }
    va_list ap;
    va_start(ap, format);
    size_t n = 0;
    for (const char *p = format; (p = strstr(p, "%S")) != nullptr; p += 2, ++n) {
        char **out = va_arg(ap, char **);
        *out = n < t->strings.size() ? strdup(t->strings[n].c_str()) : nullptr;
        if (*out != nullptr) {
            std::lock_guard lock(mu);
            unpacked.push_back(*out);
        }
    }
    va_end(ap);
    return result;
}

int64_t conf_set_timezone_string(char *zone, int32_t flags) {
    auto c = make("conf_set_timezone_string");
    c.text = text_of(zone);
    c.item = zone;
    c.flags = static_cast<uint32_t>(flags);
    c.result = next_result(c.op);
    record(c);
    free(zone);  // the setter owns the zone string
    return c.result;
}

int32_t tz_lib_srp_notify(sysdb_item *item, void *second, void *third, sysdb_conn *conn,
                          uint32_t handle, int32_t flags) {
    auto c = make("tz_lib_srp_notify");
    c.item = item;
    c.extra[0] = second;
    c.extra[1] = third;
    c.conn = conn;
    c.handle = handle;
    c.flags = static_cast<uint32_t>(flags);
    c.result = next_result(c.op);
    record(c);
    return static_cast<int32_t>(c.result);
}

evm_handle_t event_manager_create(int32_t kind, const char *channel, int32_t depth, void *slot) {
    auto c = make("event_manager_create");
    c.number = kind;
    c.text = text_of(channel);
    c.scope = static_cast<uint32_t>(depth);
    c.extra[0] = slot;
    c.result = next_result(c.op);
    record(c);
    std::lock_guard lock(mu);
    if (c.result == 0) {
        errno = failure_errno;
        return nullptr;
    }
    return reinterpret_cast<evm_handle_t>(0x5000 + 0x10 * ++evm_count);
}

int event_block(event_context *ctx) {
    auto c = make("event_block");
    c.evm = ctx->evm;
    if (auto r = hooked(block_hook, ctx)) {
        c.result = *r;
        record(c);
        if (*r == -1) {
            errno = EINTR;
        }
        return *r;
    }
    std::optional<int32_t> event;
    {
        std::lock_guard lock(mu);
        if (!role_events.empty()) {
            event = role_events.front();
            role_events.pop_front();
        }
    }
    c.result = event ? 0 : -1;
    record(c);
    if (!event) {
        errno = EINTR;
        return -1;
    }
    sysmgr_lr_event ev = {};
    ev.kind = 1;
    ev.event = *event;
    memcpy(ctx->buffer, &ev, std::min<size_t>(sizeof ev, ctx->buffer_size));
    return 0;
}

int vk_event_dispatch(event_context *ctx, int flags) {
    auto c = make("vk_event_dispatch");
    c.evm = ctx->evm;
    c.flags = static_cast<uint32_t>(flags);
    if (auto r = hooked(dispatch_hook, ctx)) {
        c.result = *r;
        record(c);
        return *r;
    }
    record(c);
    sysmgr_lr_event_cb_t callback;
    {
        std::lock_guard lock(mu);
        callback = role_callback;
    }
    return callback ? callback(ctx) : 0;
}

int event_async_attach_proctimer(evm_handle_t handle, int32_t code, int32_t flags,
                                 proctimer_handler_t handler, void *arg, int32_t priority,
                                 timer_t *timer) {
    ExclusiveCall exclusive;
    auto c = make("event_async_attach_proctimer");
    c.evm = handle;
    c.scope = static_cast<uint32_t>(code);
    c.flags = static_cast<uint32_t>(flags);
    c.notify = reinterpret_cast<const void *>(handler);
    c.extra[0] = arg;
    c.number = priority;
    c.handle_out = timer;
    c.result = next_result(c.op);
    record(c);
    std::lock_guard lock(mu);
    if (c.result < 0) {
        errno = failure_errno;
        return static_cast<int>(c.result);
    }
    struct sigevent sev = {};
    sev.sigev_notify = SIGEV_NONE;
    if (timer_create(CLOCK_MONOTONIC, &sev, timer) != 0) {
        return -1;
    }
    // A new timer may reuse the id of a deleted one.
    timers.erase(std::remove(timers.begin(), timers.end(), *timer), timers.end());
    timers.push_back(*timer);
    timer_handler = handler;
    timer_arg = arg;
    return static_cast<int>(c.result);
}

int getprio(pid_t pid) {
    auto c = make("getprio");
    c.number = pid;
    c.result = next_result(c.op);
    record(c);
    return static_cast<int>(c.result);
}

uint32_t sysmgr_proc_ready(void) {
    auto c = make("sysmgr_proc_ready");
    c.result = next_result(c.op);
    record(c);
    return static_cast<uint32_t>(c.result);
}

uint32_t sysmgr_register_lr_event(evm_handle_t handle, uint32_t mask, sysmgr_lr_event_cb_t callback,
                                  void *user) {
    auto c = make("sysmgr_register_lr_event");
    c.evm = handle;
    c.number = mask;
    c.notify = reinterpret_cast<const void *>(callback);
    c.extra[0] = user;
    c.result = next_result(c.op);
    record(c);
    if (c.result == 0) {
        std::lock_guard lock(mu);
        role_callback = callback;
    }
    return static_cast<uint32_t>(c.result);
}

uint32_t sysmgr_set_evm(evm_handle_t handle) {
    auto c = make("sysmgr_set_evm");
    c.evm = handle;
    c.result = next_result(c.op);
    record(c);
    return static_cast<uint32_t>(c.result);
}

// The flag comes from the script of "lrd_am_i_dlrsc.flag".
uint32_t lrd_am_i_dlrsc(int32_t *is_dlrsc) {
    auto c = make("lrd_am_i_dlrsc");
    c.result = next_result(c.op);
    if (c.result == 0) {
        *is_dlrsc = static_cast<int32_t>(next_result("lrd_am_i_dlrsc.flag"));
        c.number = *is_dlrsc;
    }
    record(c);
    return static_cast<uint32_t>(c.result);
}

// The CLI thread's messaging calls, recorded so that the thread can start; their results are
// scripted like the others.
int event_manager_destroy(evm_handle_t *handle) {
    auto c = make("event_manager_destroy");
    c.evm = handle ? *handle : nullptr;
    c.result = next_result(c.op);
    record(c);
    return static_cast<int>(c.result);
}

int event_message_attach(evm_handle_t handle, const void *attributes, event_msg_handler_t handler,
                         void *user) {
    auto c = make("event_message_attach");
    c.evm = handle;
    c.extra[0] = attributes;
    c.notify = reinterpret_cast<const void *>(handler);
    c.extra[1] = user;
    c.result = next_result(c.op);
    record(c);
    return static_cast<int>(c.result);
}

int msg_get_clinfo_m_msglen(int32_t reply_id, uint64_t *length) {
    auto c = make("msg_get_clinfo_m_msglen");
    c.number = reply_id;
    c.result = next_result(c.op);
    record(c);
    *length = 0;
    return static_cast<int>(c.result);
}

int msg_reply(int32_t reply_id, int32_t flags, const void *buffer, size_t length) {
    auto c = make("msg_reply");
    c.number = reply_id;
    c.flags = static_cast<uint32_t>(flags);
    c.extra[0] = buffer;
    c.options = static_cast<uint32_t>(length);
    c.result = next_result(c.op);
    record(c);
    return static_cast<int>(c.result);
}

int msg_error(int32_t reply_id, int32_t error) {
    auto c = make("msg_error");
    c.number = reply_id;
    c.flags = static_cast<uint32_t>(error);
    c.result = next_result(c.op);
    record(c);
    return static_cast<int>(c.result);
}

}  // extern "C"
