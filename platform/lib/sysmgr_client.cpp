// The system-manager and LR-daemon clients: readiness, role events and "am I the dLRSC", all
// served by platformd.
//
// Two kinds of connection:
// - One control connection per process for requests (readiness, the LR question), opened on
//   first use and opened again when platformd went away in between.
// - One connection per role-event registration, watched by the registrant's event manager. When
//   platformd goes away, a background thread connects again and registers again, and the new
//   daemon sends the current role at once, so a restart does not lose the registration.
// A process that reported readiness reports it again on every new connection, so a restarted
// daemon knows it is ready.
#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/env.h"
#include "platform/evm_source.h"
#include "platform/proto.h"
#include "platform/service_manager.h"
#include "platform_events.h"
#include "platform_sysdb.h"

namespace proto = platform::proto;

namespace {

constexpr int CONNECT_TIMEOUT_MS = 1000;
constexpr int CALL_TIMEOUT_MS = 3000;
constexpr auto RECONNECT_PERIOD = std::chrono::milliseconds(200);
constexpr uint32_t LR_EVENT_KIND = 1;

std::atomic<bool> g_ready{false};
std::atomic<evm_handle_t> g_default_evm{nullptr};

// Connects and says HELLO, then repeats readiness when it was reported. False when platformd
// cannot be reached or refuses.
bool open_conn(proto::Conn &c) {
    const platform::Env &env = platform::env();
    std::string error;
    if (!c.connect(env.socket, CONNECT_TIMEOUT_MS, &error))
        return false;
    if (!proto::hello(c, uint32_t(env.card), uint32_t(getpid()), env.program, 0, error,
                      CALL_TIMEOUT_MS)) {
        c.close();
        return false;
    }
    if (g_ready) {
        proto::Writer w;
        w.str(env.program);
        uint32_t status = 0;
        std::string msg;
        std::vector<uint8_t> body;
        if (c.call(proto::T_SYSMGR_READY, w, status, msg, body, CALL_TIMEOUT_MS) !=
            proto::Recv::ok) {
            c.close();
            return false;
        }
    }
    return true;
}

// ---- Control connection --------------------------------------------------------------------
std::mutex g_ctl_mu;
// Never destroyed, like the environment: exit() on one thread must not close it under another.
proto::Conn &g_ctl = *new proto::Conn;

// One request on the control connection. A connection that turns out to be dead (platformd was
// restarted since it was opened) is replaced once. ENOCONN when platformd cannot be reached or
// does not answer; otherwise the daemon's status.
uint32_t ctl_call(uint16_t type, const proto::Writer &w, std::vector<uint8_t> &body) {
    std::lock_guard<std::mutex> lock(g_ctl_mu);
    for (int attempt = 0; attempt < 2; ++attempt) {
        bool fresh = false;
        if (!g_ctl.is_open()) {
            if (!open_conn(g_ctl))
                return ENOCONN;
            fresh = true;
        }
        uint32_t status = 0;
        std::string msg;
        proto::Recv r = g_ctl.call(type, w, status, msg, body, CALL_TIMEOUT_MS);
        if (r == proto::Recv::ok)
            return status;
        g_ctl.close();
        if (fresh || r == proto::Recv::timeout)
            return ENOCONN;
    }
    return ENOCONN;
}

// ---- Role-event registrations --------------------------------------------------------------
struct Registration {
    evm_handle_t evm = nullptr;
    uint32_t mask = 0;
    sysmgr_lr_event_cb_t cb = nullptr;
    void *user = nullptr;
    uint64_t source = 0;  // the watched connection; 0 while there is none
    // attached: watched by the loop; lost: waiting for the reconnect thread; handing_over: a
    // new connection is on its way to the loop.
    enum { attached, lost, handing_over } state = attached;
};

std::mutex g_reg_mu;
// Never destroyed: the detached reconnect thread may still walk it while the process exits.
std::vector<std::shared_ptr<Registration>> &g_regs =
    *new std::vector<std::shared_ptr<Registration>>;
bool g_reconnecting = false;

void deliver(event_context *ctx, Registration &reg, const proto::Frame &f) {
    proto::Reader r(f);
    uint32_t event = 0, dlrsc = 0, card = 0;
    uint64_t sequence = 0;
    if (!r.u32(event) || !r.u32(dlrsc) || !r.u64(sequence) || !r.u32(card))
        return;
    sysmgr_lr_event ev{};
    ev.kind = LR_EVENT_KIND;
    ev.card = card;
    ev.sequence = sequence;
    ev.event = int32_t(event);
    ev.dlrsc_card = int32_t(dlrsc);
    // The event goes into the loop's receive buffer; a loop without one big enough gets it
    // through a buffer of ours for the length of the call.
    if (ctx->buffer && ctx->buffer_size >= sizeof(ev)) {
        memcpy(ctx->buffer, &ev, sizeof(ev));
        reg.cb(ctx);
    } else {
        void *saved = ctx->buffer;
        uint64_t saved_size = ctx->buffer_size;
        ctx->buffer = &ev;
        ctx->buffer_size = sizeof(ev);
        reg.cb(ctx);
        ctx->buffer = saved;
        ctx->buffer_size = saved_size;
    }
}

void start_reconnect_locked();

// Runs on the registrant's loop: every frame waiting on the connection, then, if platformd went
// away, hands the registration to the reconnect thread.
void on_ready(const std::shared_ptr<Registration> &reg, event_context *ctx, int fd) {
    proto::Conn c(fd);
    bool lost = false;
    for (int i = 0; i < 64; ++i) {
        proto::Frame f;
        proto::Recv r = c.recv(f, 0);
        if (r == proto::Recv::timeout)
            break;
        if (r != proto::Recv::ok) {
            lost = r != proto::Recv::malformed;
            if (lost)
                break;
            continue;
        }
        if (f.type == proto::T_SYSMGR_LR_EVENT)
            deliver(ctx, *reg, f);
    }
    c.release();  // the manager owns the descriptor
    if (!lost)
        return;
    uint64_t source;
    {
        std::lock_guard<std::mutex> lock(g_reg_mu);
        source = reg->source;
        reg->source = 0;
        reg->state = Registration::lost;
        start_reconnect_locked();
    }
    if (source)
        platform::evm_remove_fd(reg->evm, source);
}

// Opens a registration's connection and registers. The returned connection carries the current
// role as its first event. STATUS: 0, ENOCONN, or the daemon's refusal.
proto::Conn connect_registration(const Registration &reg, uint32_t &status) {
    proto::Conn c;
    if (!open_conn(c)) {
        status = ENOCONN;
        return c;
    }
    proto::Writer w;
    w.u32(reg.mask);
    std::string msg;
    std::vector<uint8_t> body;
    if (c.call(proto::T_SYSMGR_LR_REGISTER, w, status, msg, body, CALL_TIMEOUT_MS) !=
        proto::Recv::ok) {
        status = ENOCONN;
        c.close();
    } else if (status != 0) {
        c.close();
    }
    return c;
}

// Hands a registered connection to the registrant's loop; called on the loop's own thread.
// False when the manager is gone.
bool attach(const std::shared_ptr<Registration> &reg, proto::Conn &c) {
    int fd = c.release();
    uint64_t source = platform::evm_add_fd(
        reg->evm, fd, [reg](event_context *ctx, int ready_fd) { on_ready(reg, ctx, ready_fd); });
    if (!source) {
        close(fd);
        return false;
    }
    std::lock_guard<std::mutex> lock(g_reg_mu);
    reg->source = source;
    reg->state = Registration::attached;
    return true;
}

void reconnect_thread() {
    for (;;) {
        std::this_thread::sleep_for(RECONNECT_PERIOD);
        std::vector<std::shared_ptr<Registration>> todo;
        {
            std::lock_guard<std::mutex> lock(g_reg_mu);
            for (auto it = g_regs.begin(); it != g_regs.end();) {
                if ((*it)->state == Registration::lost && !platform::evm_valid((*it)->evm)) {
                    it = g_regs.erase(it);  // its event manager is gone: nobody to deliver to
                    continue;
                }
                if ((*it)->state == Registration::lost)
                    todo.push_back(*it);
                ++it;
            }
            if (todo.empty()) {
                g_reconnecting = false;
                return;
            }
        }
        for (auto &reg : todo) {
            uint32_t status = 0;
            proto::Conn c = connect_registration(*reg, status);
            if (status != 0)
                continue;
            // The loop's own thread takes the connection over.
            {
                std::lock_guard<std::mutex> lock(g_reg_mu);
                reg->state = Registration::handing_over;
            }
            auto conn = std::make_shared<proto::Conn>(std::move(c));
            bool posted = platform::evm_post(reg->evm, [reg, conn](event_context *) {
                if (!attach(reg, *conn)) {
                    std::lock_guard<std::mutex> lock(g_reg_mu);
                    std::erase(g_regs, reg);
                }
            });
            if (!posted) {
                std::lock_guard<std::mutex> lock(g_reg_mu);
                std::erase(g_regs, reg);
            }
        }
    }
}

void start_reconnect_locked() {
    if (g_reconnecting)
        return;
    g_reconnecting = true;
    std::thread(reconnect_thread).detach();
}

}  // namespace

extern "C" {

uint32_t sysmgr_proc_ready(void) {
    g_ready = true;
    proto::Writer w;
    w.str(platform::env().program);
    std::vector<uint8_t> body;
    uint32_t status = ctl_call(proto::T_SYSMGR_READY, w, body);
    uint32_t notified = platform::notify_ready();
    return status ? status : notified;
}

uint32_t sysmgr_register_lr_event(evm_handle_t handle, uint32_t mask, sysmgr_lr_event_cb_t callback,
                                  void *user) {
    if (!handle)
        handle = g_default_evm;
    if (!handle || !callback || !platform::evm_valid(handle) ||
        !(mask & (proto::LR_EVENT_ACTIVE | proto::LR_EVENT_INACTIVE)))
        return EINVAL;
    auto reg = std::make_shared<Registration>();
    reg->evm = handle;
    reg->mask = mask;
    reg->cb = callback;
    reg->user = user;
    uint32_t status = 0;
    proto::Conn c = connect_registration(*reg, status);
    if (status != 0)
        return status;
    {
        std::lock_guard<std::mutex> lock(g_reg_mu);
        g_regs.push_back(reg);
    }
    if (!attach(reg, c)) {
        std::lock_guard<std::mutex> lock(g_reg_mu);
        std::erase(g_regs, reg);
        return EINVAL;
    }
    return 0;
}

uint32_t sysmgr_set_evm(evm_handle_t handle) {
    if (!handle || !platform::evm_valid(handle))
        return EINVAL;
    g_default_evm = handle;
    return 0;
}

uint32_t lrd_am_i_dlrsc(int32_t *is_dlrsc) {
    if (!is_dlrsc)
        return EINVAL;
    std::vector<uint8_t> body;
    uint32_t status = ctl_call(proto::T_LRD_AM_I_DLRSC, proto::Writer(), body);
    if (status != 0)
        return status;
    proto::Reader r(body);
    uint32_t flag = 0;
    if (!r.u32(flag))
        return EBADMSG;
    *is_dlrsc = flag ? 1 : 0;
    return 0;
}

}  // extern "C"
