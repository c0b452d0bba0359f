// The configuration database inside platformd: the frames, the registrations, and the commit
// pipeline (verify, apply, store, notify) that runs one commit at a time without ever blocking
// the daemon's thread. Where the items are stored and how commits reach this card is the mode's
// (mode.h).
#include "cfgdb.h"

#include <errno.h>
#include <stdlib.h>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>

#include "mode.h"
#include "platform/proto_cfg.h"
#include "platform/tuple.h"

namespace platformd {
namespace {

using namespace platform::proto;

// How long the pipeline waits for each answer of a verifier, in both modes.
constexpr int64_t VERIFY_TIMEOUT_MS = 5000;
// Room kept free in a LIST/SCAN page for the reply head and the page's own fields.
constexpr size_t PAGE_BUDGET = MAX_PAYLOAD - 1024;

struct Registration {
    uint32_t handle = 0;
    uint64_t client = 0;
    bool verifier = false;
    std::string path;
    // The stored state is to be handed over once the commit this verifier works on has ended
    // (handing it before would put it ahead of that commit's apply or store).
    bool state_due = false;
};

// A commit on this card's pipeline. Stages, what ends each and where:
//   queued    -> start() when it comes to the front and the mode verifies;
//   checking  -> a deletion's read of the item (start), answered in checked();
//   verifying -> on_verify_result(), or cfgdb_tick() past the deadline, or verifier_gone();
//   applying  -> on_apply_result(), or the same two;
//   storing   -> the mode's store answer, in stored().
// finish() ends a commit with an answer, drop() without one; both take up the next.
struct Entry {
    Commit c;
    enum class Stage { queued, checking, verifying, applying, storing } stage = Stage::queued;
    uint32_t verifier = 0;  // registration handle
    uint64_t verifier_client = 0;
    int64_t deadline_ms = 0;
};

struct Counters {
    uint64_t committed = 0, refused = 0, failed = 0, dropped = 0;
};

struct CfgDb {
    Server *server = nullptr;
    std::unique_ptr<Mode> mode;
    std::map<uint32_t, Registration> regs;
    uint32_t next_handle = 1;
    std::map<uint64_t, std::string> bound;  // client id -> bound path
    std::map<uint64_t, Entry> queue;        // by ticket: the one order of commits
    std::optional<uint64_t> current;        // the ticket in progress
    bool pumping = false, repump = false;
    uint64_t next_commit = 1;
    std::map<std::string, uint64_t> delivered;  // path -> sequence handed to registrants
    Counters counters;
    // Faults.
    int64_t reg_fail_until_ms = 0;
    uint32_t reg_fail_count = 0;
    int64_t bind_busy_until_ms = 0;
    std::optional<int64_t> timeout_override_ms;
};

CfgDb *db = nullptr;  // the daemon's one thread is the only user

int64_t timeout_ms() {
    return db->timeout_override_ms.value_or(VERIFY_TIMEOUT_MS);
}

std::string relative_name(const std::string &item, const std::string &base) {
    std::string name = item.substr(base.size());
    while (!name.empty() && name[0] == '/')
        name.erase(0, 1);
    return name;
}

Entry *in_progress() {
    if (!db->current)
        return nullptr;
    auto it = db->queue.find(*db->current);
    return it == db->queue.end() ? nullptr : &it->second;
}

// The verifier for PATH: the registration with the longest path above it; among equals the
// latest, so that a verifier that takes over a path wins over one that has not let go yet.
const Registration *verifier_for(const std::string &path) {
    const Registration *best = nullptr;
    for (auto &[h, r] : db->regs) {
        if (!r.verifier || !cfg_below(path, r.path))
            continue;
        if (!best || r.path.size() > best->path.size() ||
            (r.path.size() == best->path.size() && r.handle > best->handle))
            best = &r;
    }
    return best;
}

CfgItemMsg msg_for(const Registration &r, const std::string &path, uint32_t flags,
                   uint64_t sequence, const std::vector<uint8_t> &value, uint64_t commit = 0) {
    CfgItemMsg m;
    m.handle = r.handle;
    m.commit = commit;
    m.path = path;
    m.name = relative_name(path, r.path);
    m.flags = flags;
    m.sequence = sequence;
    if (!(flags & ITEM_DELETE))
        m.value = value;
    return m;
}

CfgItemMsg item_msg(const Entry &e, const Registration &r) {
    return msg_for(r, e.c.path, e.c.flags, e.c.sequence, e.c.value, e.c.id);
}

bool send_item(const Registration &r, uint16_t type, const CfgItemMsg &m) {
    Writer w;
    m.write(w);
    return db->server->send(r.client, type, 0, w.data());
}

// True while the commit in progress waits on HANDLE's apply, or on the store after it: stored
// state handed now could come before that apply and be undone by it.
bool applying_on(uint32_t handle) {
    const Entry *e = in_progress();
    return e && e->verifier == handle &&
           (e->stage == Entry::Stage::applying || e->stage == Entry::Stage::storing);
}

// Hands registration HANDLE the stored state of its path: every item stored below it, and a
// deletion for every item the schema names there that is not stored; to a verifier as applies
// of stored items, to a notification registrant as notifications. What was handed over in a
// newer sequence meanwhile is left out (its change follows it).
void hand_state(uint32_t handle) {
    auto reg = db->regs.find(handle);
    if (reg == db->regs.end())
        return;
    if (applying_on(handle)) {
        reg->second.state_due = true;
        return;
    }
    reg->second.state_due = false;
    db->mode->scan(reg->second.path, [handle](ReadResult r) {
        auto reg = db->regs.find(handle);
        if (reg == db->regs.end())
            return;
        Registration &g = reg->second;
        if (r.status != 0) {
            Server::log("cannot hand the stored state of " + g.path + " to registration " +
                        std::to_string(handle) + ": " + r.reason);
            return;
        }
        if (applying_on(handle)) {
            g.state_due = true;
            return;
        }
        std::map<std::string, std::optional<StoredItem>> state;
        for (const char *name : CFG_CLOCK_ITEMS) {
            std::string full = std::string(CFG_CLOCK_DIR) + name;
            if (cfg_below(full, g.path) && !db->delivered.count(full))
                state[full];
        }
        for (auto &it : r.items) {
            if (!cfg_below(it.path, g.path) || !cfg_schema_problem(it.path).empty())
                continue;
            auto seen = db->delivered.find(it.path);
            if (seen != db->delivered.end() && seen->second > it.sequence)
                continue;
            state[it.path] = std::move(it);
        }
        uint32_t stored = g.verifier ? ITEM_STORED : 0;
        for (auto &[path, it] : state) {
            CfgItemMsg m = it ? msg_for(g, path, stored, it->sequence, it->value)
                              : msg_for(g, path, stored | ITEM_DELETE, 0, {});
            send_item(g, g.verifier ? T_CFG_APPLY : T_CFG_NOTIFY, m);
        }
    });
}

void hand_due() {
    std::vector<uint32_t> due;
    for (auto &[h, r] : db->regs)
        if (r.state_due)
            due.push_back(h);
    for (uint32_t h : due)
        hand_state(h);
}

void pump();

// Takes the commit in progress off the queue and hands out the stored states now due. HAND_BACK:
// its apply may have run without a store, so its verifier is handed the stored state after it.
Entry take_current(bool hand_back) {
    Entry e = std::move(db->queue.at(*db->current));
    db->queue.erase(*db->current);
    db->current.reset();
    if (auto reg = db->regs.find(e.verifier); hand_back && reg != db->regs.end())
        reg->second.state_due = true;
    hand_due();
    return e;
}

// Ends the commit in progress and answers its requester (HAND_BACK as for take_current).
void finish(uint32_t status, const std::string &reason, bool hand_back = false) {
    Entry e = take_current(hand_back);
    if (status == 0)
        db->counters.committed++;
    else if (status == EPERM)
        db->counters.refused++;
    else
        db->counters.failed++;
    if (status != 0)
        Server::log("commit of " + e.c.path + e.c.origin + " not done: " + reason);
    db->mode->end(e.c, {status, reason, status == 0 ? e.c.sequence : 0});
    pump();
}

// Takes the commit in progress off without an answer: nobody waits for it (WHY, for the log).
void drop(const std::string &why, bool hand_back = false) {
    Entry e = take_current(hand_back);
    db->counters.dropped++;
    Server::log("commit of " + e.c.path + e.c.origin + " dropped: " + why);
    pump();
}

void verify() {
    Entry &e = *in_progress();
    const Registration *r = verifier_for(e.c.path);
    if (!r)
        return finish(ESRCH,
                      "no verifier is registered for " + e.c.path + db->mode->no_verifier_text());
    e.c.sequence = db->mode->next_sequence();
    e.verifier = r->handle;
    e.verifier_client = r->client;
    if (!send_item(*r, T_CFG_VERIFY, item_msg(e, *r)))
        return finish(ECONNRESET, "the verifier of " + r->path + " went away");
    e.stage = Entry::Stage::verifying;
    e.deadline_ms = Server::now_ms() + timeout_ms();
}

// Starts the commit at the front.
void start() {
    db->current = db->queue.begin()->first;
    Entry &e = db->queue.begin()->second;
    if (db->mode->abandoned(e.c))
        return drop("its requester went away before it reached the verifier");
    if (std::string why = cfg_schema_problem(e.c.path); !why.empty())
        return finish(EINVAL, why);  // forwarded by a card that did not check
    if (!(e.c.flags & ITEM_DELETE))
        return verify();
    // A deletion of an item that is not there is refused before the verifier sees it.
    e.stage = Entry::Stage::checking;
    uint64_t ticket = e.c.ticket;
    db->mode->get(e.c.path, true, [ticket](ReadResult r) {
        Entry *e = in_progress();
        if (!e || e->c.ticket != ticket || e->stage != Entry::Stage::checking)
            return;
        if (r.status != 0)
            return finish(r.status, r.reason);
        if (r.items.empty())
            return finish(ENOENT, "no such item: " + e->c.path);
        verify();
    });
}

// Takes up the next commit when none is in progress. Reads of the embedded mode answer at once,
// so a commit can end inside start(): the loop, not recursion, takes up the one after it.
void pump() {
    if (db->pumping) {
        db->repump = true;
        return;
    }
    db->pumping = true;
    do {
        db->repump = false;
        while (!db->current && !db->queue.empty() && db->mode->verifies())
            start();
    } while (db->repump);
    db->pumping = false;
}

// The commit in progress when it waits on CLIENT with commit id ID, else null.
Entry *waiting(uint64_t client, uint64_t id, Entry::Stage stage) {
    Entry *e = in_progress();
    if (!e || e->stage != stage || e->c.id != id || e->verifier_client != client)
        return nullptr;
    return e;
}

void on_verify_result(Client &client, const Frame &f) {
    Reader r(f);
    uint64_t id = 0;
    int32_t status = 0;
    uint32_t accept = 0;
    std::string reason;
    if (!r.u64(id) || !r.i32(status) || !r.u32(accept) || !r.str(reason) || !r.at_end()) {
        Server::log("malformed verify result from " + client.describe());
        return;
    }
    Entry *e = waiting(client.id, id, Entry::Stage::verifying);
    if (!e)
        return;  // late: that commit already ended
    if (status != 0 || accept == 0) {
        if (reason.empty())
            reason = "refused by the verifier, " + client.describe() + " (status " +
                     std::to_string(status) + "; no reason given, that card's syslog has it)";
        else
            reason = "refused by the verifier (" + client.describe() + "): " + reason;
        return finish(EPERM, reason);
    }
    if (db->mode->abandoned(e->c))
        return drop("its requester went away after its check");
    auto it = db->regs.find(e->verifier);
    if (it == db->regs.end() || !send_item(it->second, T_CFG_APPLY, item_msg(*e, it->second)))
        return finish(ECONNRESET, "the verifier of " + e->c.path + " went away");
    e->stage = Entry::Stage::applying;
    e->deadline_ms = Server::now_ms() + timeout_ms();
}

void stored(uint64_t ticket, StoreResult r) {
    Entry *e = in_progress();
    if (!e || e->c.ticket != ticket || e->stage != Entry::Stage::storing)
        return;
    switch (r.outcome) {
        case StoreOutcome::ok:
            e->c.sequence = r.end.sequence;
            return finish(0, "");
        case StoreOutcome::withdrawn:
            return drop(
                r.end.reason.empty() ? "its requester withdrew it before its store" : r.end.reason,
                true);
        case StoreOutcome::failed:
            return finish(r.end.status, r.end.reason, true);
    }
}

void on_apply_result(Client &client, const Frame &f) {
    Reader r(f);
    uint64_t id = 0;
    int32_t status = 0;
    std::string reason;
    if (!r.u64(id) || !r.i32(status) || (!r.at_end() && !r.str(reason)) || !r.at_end()) {
        Server::log("malformed apply result from " + client.describe());
        return;
    }
    Entry *e = waiting(client.id, id, Entry::Stage::applying);
    if (!e)
        return;
    if (status != 0)
        return finish(EIO,
                      "the verifier failed to apply " + e->c.path + " (" + client.describe() +
                          ", status " + std::to_string(status) +
                          (reason.empty() ? ")" : "): " + reason),
                      true);
    e->stage = Entry::Stage::storing;
    uint64_t ticket = e->c.ticket;
    db->mode->store(e->c, [ticket](StoreResult r) { stored(ticket, std::move(r)); });
}

// Ends the commit in progress when it waits on a registration that is gone.
void verifier_gone(uint32_t handle, const std::string &why) {
    Entry *e = in_progress();
    if (!e || e->verifier != handle ||
        (e->stage != Entry::Stage::verifying && e->stage != Entry::Stage::applying))
        return;
    finish(ECONNRESET, "the verifier of " + e->c.path + " " + why + " during the commit");
}

bool read_path(Reader &r, std::string &path) {
    return r.str(path, MAX_PATH) && cfg_path_ok(path);
}

void on_bind(Client &c, const Frame &f) {
    Reader r(f);
    std::string path;
    uint32_t flags = 0;
    if (!read_path(r, path) || !r.u32(flags) || !r.at_end()) {
        db->server->reply(c, f, EINVAL, "bind: bad path or request");
        return;
    }
    if (Server::now_ms() < db->bind_busy_until_ms) {
        db->server->reply(c, f, CFG_TRANSIENT_BUSY, "configuration database busy, try again");
        return;
    }
    db->bound[c.id] = path;
    db->server->reply(c, f, 0);
}

bool registration_fault() {
    if (Server::now_ms() < db->reg_fail_until_ms)
        return true;
    if (db->reg_fail_count > 0) {
        db->reg_fail_count--;
        return true;
    }
    return false;
}

// Registrations: an unprivileged uid holds at most UID_REGISTRATIONS, and all of them together
// leave RESERVED_REGISTRATIONS to root and the socket directory's owner. A verifier (privileged
// by then) is never refused for room: without one no commit can be made.
constexpr size_t MAX_REGISTRATIONS = 10000;
constexpr size_t RESERVED_REGISTRATIONS = 1000;
constexpr size_t UID_REGISTRATIONS = 256;

// Why C may not register now, or "".
std::string registration_room(const Client &c, bool verifier) {
    if (verifier)
        return {};
    if (!db->server->privileged(c)) {
        size_t mine = 0, shared = 0;
        for (auto &[h, r] : db->regs) {
            const Client *o = db->server->client(r.client);
            if (!o || db->server->privileged(*o))
                continue;
            ++shared;
            mine += o->peer_uid == c.peer_uid;
        }
        if (mine >= UID_REGISTRATIONS)
            return "uid " + std::to_string(c.peer_uid) + " holds " + std::to_string(mine) +
                   " registrations already";
        if (shared >= MAX_REGISTRATIONS - RESERVED_REGISTRATIONS)
            return "the registrations not kept for root and uid " +
                   std::to_string(db->server->admin_uid()) + " are taken";
    }
    if (db->regs.size() >= MAX_REGISTRATIONS)
        return "too many registrations";
    return {};
}

void on_register(Client &c, const Frame &f) {
    Reader r(f);
    std::string path;
    uint32_t flags = 0;
    if (!read_path(r, path) || !r.u32(flags) || !r.at_end()) {
        db->server->reply(c, f, EINVAL, "register: bad path or request");
        return;
    }
    // A verifier decides what gets stored and applies it; following the items is for everyone.
    if (f.type == T_CFG_REG_VERIFY && !db->server->allowed(c, f, "register as a verifier"))
        return;
    if (registration_fault()) {
        db->server->reply(c, f, CFG_ENOCONN, "no connection to the configuration database");
        return;
    }
    if (std::string full = registration_room(c, f.type == T_CFG_REG_VERIFY); !full.empty()) {
        db->server->reply(c, f, ENOSPC, full);
        return;
    }
    Registration reg;
    reg.handle = db->next_handle++;
    if (db->next_handle == 0)
        db->next_handle = 1;
    reg.client = c.id;
    reg.verifier = f.type == T_CFG_REG_VERIFY;
    reg.path = path;
    db->regs[reg.handle] = reg;
    Writer body;
    body.u32(reg.handle);
    db->server->reply(c, f, 0, "", body);
    Server::log(std::string(reg.verifier ? "verifier" : "notification") + " registration " +
                std::to_string(reg.handle) + " for " + path + " by " + c.describe());
    if (flags & REG_REPLAY)
        hand_state(reg.handle);
    if (reg.verifier)
        pump();
}

// The registration HANDLE when the process of C made it, else null (and C is answered).
Registration *own_registration(Client &c, const Frame &f, uint32_t handle) {
    auto it = db->regs.find(handle);
    Client *owner = it == db->regs.end() ? nullptr : db->server->client(it->second.client);
    // Only the process that registered may act on a registration.
    if (it == db->regs.end() || (owner && owner->peer_pid != c.peer_pid)) {
        db->server->reply(c, f, ENOENT, "no such registration");
        return nullptr;
    }
    return &it->second;
}

void on_resync(Client &c, const Frame &f) {
    Reader r(f);
    uint32_t handle = 0;
    if (!r.u32(handle) || !r.at_end()) {
        db->server->reply(c, f, EINVAL, "resync: bad request");
        return;
    }
    if (!own_registration(c, f, handle))
        return;
    db->server->reply(c, f, 0);
    hand_state(handle);
}

// A card's report of the zone in effect, on one of its registrations' connections.
void on_effect(Client &c, const Frame &f) {
    Reader r(f);
    std::string zone;
    if (!r.str(zone, MAX_PATH) || !r.at_end())
        return;
    bool registered = false;
    for (auto &[h, reg] : db->regs)
        registered |= reg.client == c.id;
    if (registered)
        db->mode->effect(c, zone);
}

void on_zones(Client &c, const Frame &f) {
    if (!Reader(f).at_end()) {
        db->server->reply(c, f, EINVAL, "zones: bad request");
        return;
    }
    db->mode->zones(c, f);
}

void on_unregister(Client &c, const Frame &f) {
    Reader r(f);
    uint32_t handle = 0;
    if (!r.u32(handle) || !r.at_end()) {
        db->server->reply(c, f, EINVAL, "unregister: bad request");
        return;
    }
    if (!own_registration(c, f, handle))
        return;
    db->regs.erase(handle);
    db->server->reply(c, f, 0);
    verifier_gone(handle, "unregistered");
}

void on_commit(Client &c, const Frame &f) {
    if (!db->server->allowed(c, f, "commit configuration"))
        return;
    Reader r(f);
    Commit commit;
    if (!read_path(r, commit.path) || !r.u32(commit.flags) || !r.bytes(commit.value) ||
        !r.at_end()) {
        db->server->reply(c, f, EINVAL, "commit: bad path or request");
        return;
    }
    commit.flags &= ITEM_DELETE;
    if (std::string why = cfg_schema_problem(commit.path); !why.empty()) {
        if (!(commit.flags & ITEM_DELETE)) {
            db->server->reply(c, f, EINVAL, why);
            return;
        }
        // An item stored before the schema knew better is removed without its verifier, which
        // would take any name below its path for the time-zone item.
        Later l = Server::later(c, f);
        db->mode->remove_unknown(commit.path, [l, why](const CommitEnd &e) {
            if (e.status == ENOENT)
                db->server->reply(l, EINVAL, why);
            else
                db->server->reply(l, e.status, e.reason, Writer().u64(e.sequence));
        });
        return;
    }
    if (commit.flags & ITEM_DELETE)
        commit.value.clear();
    else if (!platform::tuple_strings(commit.value.data(), commit.value.size())) {
        db->server->reply(c, f, EINVAL, "commit: the value is not a well-formed tuple");
        return;
    }
    db->mode->submit(std::move(commit), c, f);
}

void on_get(Client &c, const Frame &f) {
    Reader r(f);
    std::string path;
    if (!read_path(r, path) || !r.at_end()) {
        db->server->reply(c, f, EINVAL, "get: bad path or request");
        return;
    }
    Later l = Server::later(c, f);
    db->mode->get(path, false, [l](ReadResult r) {
        if (r.status != 0)
            db->server->reply(l, r.status, r.reason);
        else if (r.items.empty())
            db->server->reply(l, ENOENT, "no such item");
        else
            db->server->reply(l, 0, "", Writer().u64(r.items[0].sequence).bytes(r.items[0].value));
    });
}

// LIST (byte prefix) and SCAN (below a path), a page at a time after a given path.
void on_list(Client &c, const Frame &f) {
    Reader r(f);
    std::string prefix, after;
    if (!r.str(prefix, MAX_PATH) || !r.str(after, MAX_PATH) || !r.at_end() ||
        (f.type == T_CFG_SCAN && !cfg_path_ok(prefix))) {
        db->server->reply(c, f, EINVAL, "bad path or request");
        return;
    }
    Later l = Server::later(c, f);
    db->mode->scan(prefix, [l, prefix, after](ReadResult r) {
        if (r.status != 0)
            return (void)db->server->reply(l, r.status, r.reason);
        uint32_t count = 0;
        bool more = false;
        Writer entries;
        for (auto &it : r.items) {
            if (!after.empty() && it.path <= after)
                continue;
            if (l.request.type == T_CFG_SCAN && !cfg_below(it.path, prefix))
                continue;
            size_t need = 4 + it.path.size() + 8 + 4 + it.value.size();
            if (entries.size() + need > PAGE_BUDGET) {
                more = true;
                break;
            }
            entries.str(it.path).u64(it.sequence).bytes(it.value);
            count++;
        }
        Writer page;
        page.u32(count).raw(entries.data().data(), entries.size()).u8(more ? 1 : 0);
        db->server->reply(l, 0, "", page);
    });
}

}  // namespace

void cfgdb_enqueue(Commit c) {
    c.id = db->next_commit++;
    uint64_t ticket = c.ticket;
    if (db->queue.count(ticket))
        return;
    Entry e;
    e.c = std::move(c);
    db->queue.emplace(ticket, std::move(e));
    pump();
}

bool cfgdb_dequeue(uint64_t ticket) {
    if (db->current == ticket)
        return false;
    db->queue.erase(ticket);
    return true;
}

void cfgdb_pump() {
    pump();
}

void cfgdb_changed(const std::string &path, bool deleted, uint64_t sequence,
                   const std::vector<uint8_t> &value, bool applied, uint64_t commit) {
    if (!cfg_schema_problem(path).empty())
        return;  // where the database knows no item (written by hand into etcd)
    if (deleted)
        db->delivered.erase(path);
    else
        db->delivered[path] = sequence;
    uint32_t flags = deleted ? ITEM_DELETE : 0;
    for (auto &[h, r] : db->regs) {
        if (!cfg_below(path, r.path))
            continue;
        if (!r.verifier)
            send_item(r, T_CFG_NOTIFY, msg_for(r, path, flags, sequence, value, commit));
        else if (!applied)
            send_item(r, T_CFG_APPLY, msg_for(r, path, flags | ITEM_STORED, sequence, value));
    }
}

const std::map<std::string, uint64_t> &cfgdb_delivered() {
    return db->delivered;
}

bool cfgdb_open(Server &server, std::unique_ptr<Mode> mode, std::string &) {
    static CfgDb instance;
    db = &instance;
    db->server = &server;
    db->mode = std::move(mode);
    auto parse_count = [](const std::vector<std::string> &args, long max, long &out,
                          std::string &message) -> bool {
        char *end = nullptr;
        out = args.size() == 1 ? strtol(args[0].c_str(), &end, 10) : -1;
        if (args.size() != 1 || !end || *end != '\0' || out < 1 || out > max) {
            message = "expected a number from 1 to " + std::to_string(max);
            return false;
        }
        return true;
    };
    auto seconds_left = [](int64_t until) -> std::string {
        int64_t left = until - Server::now_ms();
        return left > 0 ? std::to_string((left + 999) / 1000) + " more seconds" : std::string();
    };

    Fault f;
    f.name = "cfg-register-enoconn";
    f.usage = "SECONDS";
    f.help = "answer configuration registrations with 511 (no connection) for SECONDS";
    f.set = [parse_count](const std::vector<std::string> &args, std::string &message) -> uint32_t {
        long n;
        if (!parse_count(args, 86400, n, message))
            return EINVAL;
        db->reg_fail_until_ms = Server::now_ms() + n * 1000;
        message = "registrations answered 511 for " + std::to_string(n) + " seconds";
        return 0;
    };
    f.clear = [] { db->reg_fail_until_ms = 0; };
    f.state = [seconds_left] {
        std::string s = seconds_left(db->reg_fail_until_ms);
        return s.empty() ? s : "registrations answered 511 for " + s;
    };
    server.add_fault(f);

    f = Fault();
    f.name = "cfg-register-enoconn-count";
    f.usage = "N";
    f.help = "answer the next N configuration registrations with 511 (no connection)";
    f.set = [parse_count](const std::vector<std::string> &args, std::string &message) -> uint32_t {
        long n;
        if (!parse_count(args, 1000000, n, message))
            return EINVAL;
        db->reg_fail_count = uint32_t(n);
        message = "the next " + std::to_string(n) + " registrations answered 511";
        return 0;
    };
    f.clear = [] { db->reg_fail_count = 0; };
    f.state = [] {
        return db->reg_fail_count ? "the next " + std::to_string(db->reg_fail_count) +
                                        " registrations answered 511"
                                  : std::string();
    };
    server.add_fault(f);

    f = Fault();
    f.name = "cfg-bind-transient";
    f.usage = "SECONDS";
    f.help = "answer configuration binds with the transient status 0x80000001 for SECONDS";
    f.set = [parse_count](const std::vector<std::string> &args, std::string &message) -> uint32_t {
        long n;
        if (!parse_count(args, 86400, n, message))
            return EINVAL;
        db->bind_busy_until_ms = Server::now_ms() + n * 1000;
        message = "binds answered 0x80000001 for " + std::to_string(n) + " seconds";
        return 0;
    };
    f.clear = [] { db->bind_busy_until_ms = 0; };
    f.state = [seconds_left] {
        std::string s = seconds_left(db->bind_busy_until_ms);
        return s.empty() ? s : "binds answered 0x80000001 for " + s;
    };
    server.add_fault(f);

    f = Fault();
    f.name = "cfg-verify-timeout";
    f.usage = "MILLISECONDS";
    f.help = "wait at most MILLISECONDS for each answer of a verifier";
    f.set = [parse_count](const std::vector<std::string> &args, std::string &message) -> uint32_t {
        long n;
        if (!parse_count(args, 600000, n, message))
            return EINVAL;
        db->timeout_override_ms = n;
        message = "verifier answers awaited for " + std::to_string(n) + " ms";
        return 0;
    };
    f.clear = [] { db->timeout_override_ms.reset(); };
    f.state = [] {
        return db->timeout_override_ms ? "verifier answers awaited for " +
                                             std::to_string(*db->timeout_override_ms) + " ms"
                                       : std::string();
    };
    server.add_fault(f);
    return true;
}

void cfgdb_frame(Server &server, Client &c, const Frame &f) {
    if (!db || !db->mode) {
        server.reply(c, f, ENOSYS, "the configuration database is not open");
        return;
    }
    switch (f.type) {
        case T_CFG_BIND:
            return on_bind(c, f);
        case T_CFG_UNBIND:
            db->bound.erase(c.id);
            return server.reply(c, f, 0);
        case T_CFG_REG_VERIFY:
        case T_CFG_REG_NOTIFY:
            return on_register(c, f);
        case T_CFG_UNREGISTER:
            return on_unregister(c, f);
        case T_CFG_COMMIT:
            return on_commit(c, f);
        case T_CFG_GET:
            return on_get(c, f);
        case T_CFG_LIST:
        case T_CFG_SCAN:
            return on_list(c, f);
        case T_CFG_VERIFY_RESULT:
            return on_verify_result(c, f);
        case T_CFG_APPLY_RESULT:
            return on_apply_result(c, f);
        case T_CFG_RESYNC:
            return on_resync(c, f);
        case T_CFG_EFFECT:
            return on_effect(c, f);
        case T_CFG_ZONES:
            return on_zones(c, f);
        default:
            server.reply(c, f, ENOSYS, "unknown configuration request");
    }
}

void cfgdb_client_gone(Server &, Client &c) {
    if (!db)
        return;
    db->bound.erase(c.id);
    std::vector<uint32_t> gone;
    for (auto &[h, r] : db->regs)
        if (r.client == c.id)
            gone.push_back(h);
    for (uint32_t h : gone) {
        db->regs.erase(h);
        verifier_gone(h, "went away");
    }
}

void cfgdb_tick(Server &) {
    Entry *e = db ? in_progress() : nullptr;
    if (!e || (e->stage != Entry::Stage::verifying && e->stage != Entry::Stage::applying) ||
        Server::now_ms() < e->deadline_ms)
        return;
    // An apply that outlasts its time may still run: the verifier is handed the stored state
    // after it.
    finish(ETIMEDOUT,
           "the verifier of " + e->c.path + " did not answer within " +
               std::to_string(timeout_ms()) + " ms",
           e->stage == Entry::Stage::applying);
}

void cfgdb_status(Server &, std::vector<std::string> &lines) {
    if (!db || !db->mode) {
        lines.push_back("configuration database: not open");
        return;
    }
    db->mode->status(lines);
    size_t verifiers = 0;
    for (auto &[h, r] : db->regs)
        verifiers += r.verifier;
    lines.push_back("  clients bound " + std::to_string(db->bound.size()) + ", verifiers " +
                    std::to_string(verifiers) + ", notification registrations " +
                    std::to_string(db->regs.size() - verifiers));
    for (auto &[h, r] : db->regs) {
        Client *c = db->server->client(r.client);
        lines.push_back("  " + std::string(r.verifier ? "verifier " : "notify   ") + r.path +
                        " handle " + std::to_string(h) + " " + (c ? c->describe() : "?"));
    }
    lines.push_back("  commits: " + std::to_string(db->counters.committed) + " done, " +
                    std::to_string(db->counters.refused) + " refused, " +
                    std::to_string(db->counters.failed) + " failed, " +
                    std::to_string(db->counters.dropped) + " dropped, " +
                    std::to_string(db->queue.size()) + " waiting or in progress");
    if (const Entry *e = in_progress(); e && e->stage != Entry::Stage::queued) {
        static const char *stages[] = {"queued", "checking", "verifying", "applying", "storing"};
        Client *v = db->server->client(e->verifier_client);
        lines.push_back("  in progress: " + e->c.path + e->c.origin + ", " + stages[int(e->stage)] +
                        (v ? " on " + v->describe() : std::string()));
    }
}

}  // namespace platformd
