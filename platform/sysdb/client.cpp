// The configuration-database client: bind, registrations and their callouts, and the keeper
// that makes lost registrations again after platformd restarts.
#include "client.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <thread>

#include "platform/env.h"
#include "platform/evm_source.h"
#include "platform/log.h"
#include "platform/timezone.h"
#include "platform/tuple.h"

using namespace platform::proto;
using sysdb::Reg;

namespace sysdb {

std::string join(const std::string &base, const std::string &rel) {
    if (rel.empty())
        return base;
    if (base.empty())
        return rel;
    bool b = base.back() == '/', r = rel.front() == '/';
    if (b && r)
        return base + rel.substr(1);
    if (!b && !r)
        return base + "/" + rel;
    return base + rel;
}

std::string relative(const std::string &item, const std::string &base) {
    if (item.size() < base.size())
        return std::string();
    std::string name = item.substr(base.size());
    while (!name.empty() && name[0] == '/')
        name.erase(0, 1);
    return name;
}

}  // namespace sysdb

namespace {

constexpr int CONNECT_TIMEOUT_MS = 1000;
constexpr int CALL_TIMEOUT_MS = 5000;
constexpr int SEND_TIMEOUT_MS = 2000;

// Process-wide state. Never destroyed: the keeper thread and event-manager threads may still run
// while the process exits.
struct Lib {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<std::shared_ptr<Reg>> lost;  // waiting for the keeper
    bool keeper = false;
    uint32_t next_handle = 1;
    // Every connection ever bound; kept so that a stale pointer after unbind reads as "not
    // bound" rather than as freed memory.
    std::vector<sysdb_conn *> conns;
};

Lib &lib() {
    static Lib *l = new Lib;
    return *l;
}

// A fresh connection to platformd that said HELLO.
bool connect_daemon(Conn &c) {
    const platform::Env &e = platform::env();
    if (!c.connect(e.socket, CONNECT_TIMEOUT_MS))
        return false;
    std::string err;
    return hello(c, uint32_t(e.card), uint32_t(getpid()), e.program, 0, err, CALL_TIMEOUT_MS);
}

// Makes the registration R on a new connection. Status 0 with the descriptor in FD and
// platformd's handle in SERVER; ENOCONN when platformd cannot be reached; else its answer.
uint32_t open_registration(const Reg &r, uint32_t flags, int &fd, uint32_t &server) {
    Conn c;
    if (!connect_daemon(c))
        return ENOCONN;
    Writer w;
    w.str(r.path).u32(flags);
    uint32_t status = 0;
    std::string message;
    std::vector<uint8_t> body;
    if (c.call(r.verifier ? T_CFG_REG_VERIFY : T_CFG_REG_NOTIFY, w, status, message, body,
               CALL_TIMEOUT_MS) != Recv::ok)
        return ENOCONN;
    if (status != 0)
        return status;
    Reader rd(body);
    if (!rd.u32(server) || !rd.at_end())
        return sysdb::S_EPROTO;
    fd = c.release();
    return 0;
}

void send_on(int fd, uint16_t type, const Writer &w) {
    Conn c(fd);
    c.send(type, 0, w, SEND_TIMEOUT_MS);
    c.release();
}

void connection_lost(const std::shared_ptr<Reg> &r);

// Tells platformd on FD which zone is in effect on this card (what the time-zone setter
// recorded), so `platformctl status` can set it beside the stored item.
void report_effect(int fd) {
    Writer w;
    w.str(platform::recorded_zone(platform::env().localtime));
    send_on(fd, T_CFG_EFFECT, w);
}

// Why a callback failed: the reason it gave, else the error lines it logged meanwhile.
std::string reason_of(const char *given, const platform::LogCapture &logged) {
    return given ? std::string(given).substr(0, 4000) : logged.text(4000);
}

// True once R was unregistered or lost its connection (a callback may unregister itself); its
// descriptor must not be used any more.
bool gone(const std::shared_ptr<Reg> &r) {
    std::lock_guard<std::mutex> g(r->mu);
    return r->cancelled || r->lost;
}

// One callout: builds the item record, runs the callback, answers, frees the record.
void run_callout(const std::shared_ptr<Reg> &r, int fd, const Frame &f) {
    CfgItemMsg m;
    Reader rd(f);
    if (!m.read(rd))
        return;  // not ours to answer; platformd times the commit out
    sysdb_item item{};
    item.name = m.name.c_str();
    item.flags = uint8_t(m.flags);
    item.path = m.path.c_str();
    item.sequence = m.sequence;
    item.value =
        (m.flags & ITEM_DELETE) ? nullptr : platform::tuple_new(m.value.data(), m.value.size());
    // Stored state handed over goes through the same callbacks as a commit: check, then apply.
    auto verify = [&](std::string &reason) {
        platform::LogCapture logged;
        char *given = nullptr;
        uint32_t accept = 0;
        int32_t status = 0;
        if (r->verify)
            status = r->verify(&item, &given, &accept, r->user);
        else
            accept = 1;
        if (status != 0 || accept == 0)
            reason = reason_of(given, logged);
        free(given);
        return std::pair(status, accept);
    };
    auto apply = [&](std::string &reason) {
        platform::LogCapture logged;
        int32_t status = r->apply ? r->apply(&item, r->user) : 0;
        if (status != 0)
            reason = reason_of(nullptr, logged);
        return status;
    };
    switch (f.type) {
        case T_CFG_VERIFY: {
            std::string reason;
            auto [status, accept] = verify(reason);
            Writer w;
            w.u64(m.commit).i32(status).u32(accept).str(reason);
            if (!gone(r))
                send_on(fd, T_CFG_VERIFY_RESULT, w);
            break;
        }
        case T_CFG_APPLY: {
            std::string reason;
            int32_t status = -1;
            if (m.flags & ITEM_STORED) {
                auto [checked, accept] = verify(reason);
                if (checked == 0 && accept != 0)
                    status = apply(reason);
            } else {
                status = apply(reason);
            }
            Writer w;
            w.u64(m.commit).i32(status).str(reason);
            if (!gone(r)) {
                send_on(fd, T_CFG_APPLY_RESULT, w);
                report_effect(fd);
            }
            break;
        }
        case T_CFG_NOTIFY:
            if (r->notify)
                r->notify(&item, r->user);
            if (!gone(r))
                report_effect(fd);
            break;
        default:
            break;
    }
    platform::tuple_free(item.value);
}

// Reads what has arrived on a registration's connection, on the manager's thread.
void on_ready(std::shared_ptr<Reg> r, int fd) {
    // Left uninitialised: a frame touches only the pages it fills.
    static thread_local std::unique_ptr<uint8_t[]> buf =
        std::make_unique_for_overwrite<uint8_t[]>(MAX_FRAME + 1);
    // A bounded number per wake-up, so one busy registration does not starve the loop.
    for (int i = 0; i < 16; i++) {
        ssize_t n = recv(fd, buf.get(), MAX_FRAME + 1, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (n <= 0) {
            connection_lost(r);
            return;
        }
        Frame f;
        if (decode(buf.get(), size_t(n), f) != Decode::ok)
            continue;
        run_callout(r, fd, f);
        if (gone(r))
            return;
    }
}

// Starts watching FD for R's callouts on its event manager (which owns FD from now on). R's lock
// is held until the source is recorded, so a hang-up seen at once still finds it.
void attach(const std::shared_ptr<Reg> &r, int fd) {
    std::unique_lock<std::mutex> lk(r->mu);
    if (r->cancelled) {
        close(fd);
        return;
    }
    uint64_t src =
        platform::evm_add_fd(r->evm, fd, [r](event_context *, int ready) { on_ready(r, ready); });
    if (src == 0) {  // the manager is gone, or could not watch FD; it closed FD
        lk.unlock();
        connection_lost(r);
        return;
    }
    r->source = src;
}

void keeper() {
    Lib &l = lib();
    std::vector<std::shared_ptr<Reg>> todo;
    for (;;) {
        {
            std::unique_lock<std::mutex> lk(l.mu);
            // Retry what failed once a second; start at once on a fresh loss.
            if (todo.empty())
                l.cv.wait(lk, [&] { return !l.lost.empty(); });
            else
                l.cv.wait_for(lk, std::chrono::seconds(1));
            for (auto &r : l.lost)
                todo.push_back(std::move(r));
            l.lost.clear();
        }
        std::vector<std::shared_ptr<Reg>> again;
        for (auto &r : todo) {
            {
                std::lock_guard<std::mutex> g(r->mu);
                if (r->cancelled)
                    continue;
            }
            if (!platform::evm_valid(r->evm))
                continue;  // no loop left to deliver to
            int fd = -1;
            uint32_t server = 0;
            // Made again: platformd hands the stored state over right after, deletions too.
            uint32_t status = open_registration(*r, REG_REPLAY, fd, server);
            if (status != 0) {
                again.push_back(r);
                continue;
            }
            std::unique_lock<std::mutex> g(r->mu);
            if (r->cancelled) {
                g.unlock();
                close(fd);  // platformd drops it with the connection
                continue;
            }
            r->server = server;
            r->lost = false;
            g.unlock();
            report_effect(fd);
            attach(r, fd);
        }
        todo.swap(again);
    }
}

void connection_lost(const std::shared_ptr<Reg> &r) {
    uint64_t src;
    {
        std::lock_guard<std::mutex> g(r->mu);
        if (r->cancelled || r->lost)
            return;
        r->lost = true;
        src = r->source;
        r->source = 0;
    }
    if (src)
        platform::evm_remove_fd(r->evm, src);
    Lib &l = lib();
    std::lock_guard<std::mutex> g(l.mu);
    l.lost.push_back(r);
    if (!l.keeper) {
        l.keeper = true;
        std::thread(keeper).detach();
    }
    l.cv.notify_all();
}

uint32_t do_register(sysdb_conn *conn, const char *path, bool verifier, sysdb_verify_cb_t verify,
                     sysdb_apply_cb_t apply, sysdb_notify_cb_t notify, void *user, evm_handle_t evm,
                     uint32_t *handle) {
    if (!conn)
        return ENOCONN;
    if (!path || !handle || !platform::evm_valid(evm) || (!verifier && !notify))
        return sysdb::S_EINVAL;
    auto r = std::make_shared<Reg>();
    {
        std::lock_guard<std::mutex> g(conn->mu);
        if (!conn->bound)
            return ENOCONN;
        r->path = sysdb::join(conn->path, path);
    }
    if (!cfg_path_ok(r->path))
        return sysdb::S_EINVAL;
    r->verifier = verifier;
    r->verify = verify;
    r->apply = apply;
    r->notify = notify;
    r->user = user;
    r->evm = evm;
    int fd = -1;
    uint32_t status = open_registration(*r, 0, fd, r->server);
    if (status != 0)
        return status;
    {
        std::lock_guard<std::mutex> g(lib().mu);
        r->handle = lib().next_handle++;
    }
    {
        std::lock_guard<std::mutex> g(conn->mu);
        conn->regs[r->handle] = r;
    }
    report_effect(fd);
    attach(r, fd);
    *handle = r->handle;
    return 0;
}

uint32_t do_unregister(sysdb_conn *conn, uint32_t handle, bool verifier) {
    if (!conn)
        return ENOCONN;
    std::shared_ptr<Reg> r;
    {
        std::lock_guard<std::mutex> g(conn->mu);
        auto it = conn->regs.find(handle);
        if (it == conn->regs.end() || it->second->verifier != verifier)
            return sysdb::S_EINVAL;
        r = it->second;
        conn->regs.erase(it);
    }
    uint64_t src;
    uint32_t server;
    bool lost;
    {
        std::lock_guard<std::mutex> g(r->mu);
        r->cancelled = true;
        src = r->source;
        r->source = 0;
        server = r->server;
        lost = r->lost;
    }
    // Tell platformd first, so a commit waiting on this verifier ends now; closing the
    // registration's connection drops it in any case.
    if (!lost) {
        Writer w;
        w.u32(server);
        uint32_t status = 0;
        std::string message;
        std::vector<uint8_t> body;
        conn->call(T_CFG_UNREGISTER, w, status, message, body);
    }
    if (src)
        platform::evm_remove_fd(r->evm, src);
    return 0;
}

}  // namespace

bool sysdb_conn::open_ctl() {
    Conn c;
    if (!connect_daemon(c))
        return false;
    Writer w;
    w.str(path).u32(flags);
    uint32_t status = 0;
    std::string message;
    std::vector<uint8_t> body;
    if (c.call(T_CFG_BIND, w, status, message, body, CALL_TIMEOUT_MS) != Recv::ok || status != 0)
        return false;
    ctl = std::move(c);
    return true;
}

bool sysdb_conn::call(uint16_t type, const Writer &w, uint32_t &status, std::string &message,
                      std::vector<uint8_t> &body) {
    std::lock_guard<std::mutex> g(mu);
    if (!bound)
        return false;
    for (int attempt = 0; attempt < 2; attempt++) {
        if (!ctl.is_open() && !open_ctl())
            return false;
        Recv rc = ctl.call(type, w, status, message, body, CALL_TIMEOUT_MS);
        if (rc == Recv::ok)
            return true;
        ctl.close();
        if (rc == Recv::timeout)
            return false;
    }
    return false;
}

uint32_t sysdb_conn::scan(const std::string &path, std::vector<CfgEntry> &out) {
    std::string after;
    for (;;) {
        Writer w;
        w.str(path).str(after);
        uint32_t status = 0;
        std::string message;
        std::vector<uint8_t> body;
        if (!call(T_CFG_SCAN, w, status, message, body))
            return ENOCONN;
        if (status != 0)
            return status;
        Reader r(body);
        bool more = false;
        size_t before = out.size();
        if (!cfg_read_page(r, out, more))
            return sysdb::S_EPROTO;
        if (!more || out.size() == before)
            return 0;
        after = out.back().path;
    }
}

std::shared_ptr<Reg> sysdb_conn::registration_for(const std::string &p, bool verifier) {
    std::lock_guard<std::mutex> g(mu);
    std::shared_ptr<Reg> best;
    for (auto &[h, r] : regs) {
        if (r->verifier != verifier || !cfg_below(p, r->path))
            continue;
        if (!best || r->path.size() > best->path.size())
            best = r;
    }
    return best;
}

extern "C" {

uint32_t _sysdb_bind(sysdb_conn **conn, const char *path, uint32_t flags) {
    if (!conn || !path || !cfg_path_ok(path))
        return sysdb::S_EINVAL;
    auto *c = new sysdb_conn;
    c->path = path;
    c->flags = flags;
    Conn ctl;
    if (!connect_daemon(ctl)) {
        delete c;
        return CFG_TRANSIENT_UNREACHABLE;
    }
    Writer w;
    w.str(c->path).u32(flags);
    uint32_t status = 0;
    std::string message;
    std::vector<uint8_t> body;
    if (ctl.call(T_CFG_BIND, w, status, message, body, CALL_TIMEOUT_MS) != Recv::ok) {
        delete c;
        return CFG_TRANSIENT_UNREACHABLE;
    }
    if (status != 0) {
        delete c;
        return status;
    }
    c->ctl = std::move(ctl);
    c->bound = true;
    {
        std::lock_guard<std::mutex> g(lib().mu);
        lib().conns.push_back(c);
    }
    *conn = c;
    return 0;
}

uint32_t _sysdb_unbind(sysdb_conn *conn) {
    if (!conn)
        return ENOCONN;
    std::vector<std::pair<uint32_t, bool>> regs;
    {
        std::lock_guard<std::mutex> g(conn->mu);
        if (!conn->bound)
            return ENOCONN;
        for (auto &[h, r] : conn->regs)
            regs.emplace_back(h, r->verifier);
    }
    for (auto &[h, verifier] : regs)
        do_unregister(conn, h, verifier);
    Writer w;
    uint32_t status = 0;
    std::string message;
    std::vector<uint8_t> body;
    conn->call(T_CFG_UNBIND, w, status, message, body);
    std::lock_guard<std::mutex> g(conn->mu);
    conn->bound = false;
    conn->ctl.close();
    return 0;
}

uint32_t sysdb_register_verification(sysdb_conn *conn, const char *path, uint32_t, uint32_t,
                                     sysdb_verify_cb_t verify, sysdb_apply_cb_t apply, void *user,
                                     evm_handle_t evm, void *, void *, uint32_t, uint32_t *handle) {
    return do_register(conn, path, true, verify, apply, nullptr, user, evm, handle);
}

uint32_t _sysdb_register_notification(sysdb_conn *conn, const char *path, uint32_t, uint32_t,
                                      sysdb_notify_cb_t notify, evm_handle_t evm, void *user,
                                      void *, uint32_t, uint32_t *handle) {
    return do_register(conn, path, false, nullptr, nullptr, notify, user, evm, handle);
}

uint32_t sysdb_verification_unregister(sysdb_conn *conn, uint32_t handle) {
    return do_unregister(conn, handle, true);
}

uint32_t sysdb_notification_unregister(sysdb_conn *conn, uint32_t handle) {
    return do_unregister(conn, handle, false);
}

}  // extern "C"
