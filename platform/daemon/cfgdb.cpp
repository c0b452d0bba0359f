// The configuration database inside platformd: the store, the registrations, and the commit
// pipeline (verify, apply, store, notify) that runs one commit at a time without ever blocking
// the daemon's thread.
#include "cfgdb.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <map>
#include <memory>
#include <optional>

#include "platform/env.h"
#include "platform/proto_cfg.h"
#include "platform/tuple.h"
#include "router.h"
#include "store.h"

namespace platformd {
namespace {

using namespace platform::proto;
using platform::cfgdb::Store;
using platform::cfgdb::StoredItem;

constexpr int64_t DEFAULT_TIMEOUT_MS = 5000;
constexpr size_t MAX_QUEUE = 1000;
// Room kept free in a LIST/SCAN page for the reply head and the page's own fields.
constexpr size_t PAGE_BUDGET = MAX_PAYLOAD - 1024;

struct Registration {
    uint32_t handle = 0;
    uint64_t client = 0;
    bool verifier = false;
    std::string path;
    // The stored state is to be handed over once the commit being applied by this verifier
    // has ended (handing it now would put it before that apply).
    bool state_due = false;
};

struct Commit {
    uint64_t id = 0;
    uint64_t committer = 0;  // client id
    Frame request;           // type and seq, for the reply
    std::string path;
    uint32_t flags = 0;
    std::vector<uint8_t> value;
    uint64_t sequence = 0;
    enum class Stage { queued, verifying, applying } stage = Stage::queued;
    uint32_t verifier = 0;  // registration handle
    uint64_t verifier_client = 0;
    int64_t deadline_ms = 0;
};

struct Counters {
    uint64_t committed = 0, refused = 0, failed = 0, dropped = 0;
};

// The zone in effect on a card, as the card last reported it.
struct Effect {
    std::string zone;  // empty: none
    pid_t pid = 0;
    uint64_t client = 0;
};

struct CfgDb {
    Server *server = nullptr;
    std::string file;
    std::unique_ptr<Store> store;
    std::map<uint32_t, Registration> regs;
    uint32_t next_handle = 1;
    std::map<uint64_t, std::string> bound;  // client id -> bound path
    std::deque<Commit> queue;               // the front is the commit in progress
    uint64_t next_commit = 1;
    // Sequences are never reused, not even those of commits that failed, so a client can tell
    // an item it applied from an older stored one.
    uint64_t next_sequence = 1;
    int64_t timeout_ms = DEFAULT_TIMEOUT_MS;
    Counters counters;
    // Faults.
    int64_t reg_fail_until_ms = 0;
    uint32_t reg_fail_count = 0;
    int64_t bind_busy_until_ms = 0;
    std::optional<int64_t> timeout_override_ms;
    std::map<int, Effect> effects;  // card -> its last report
};

CfgDb *db = nullptr;  // the daemon's one thread is the only user

int64_t timeout_ms() {
    return db->timeout_override_ms.value_or(db->timeout_ms);
}

std::string relative_name(const std::string &item, const std::string &base) {
    std::string name = item.substr(base.size());
    while (!name.empty() && name[0] == '/')
        name.erase(0, 1);
    return name;
}

// One item of the stored state of a path: stored, or to be deleted.
struct StateItem {
    std::string path;
    bool stored = false;
    uint64_t sequence = 0;
    std::vector<uint8_t> value;
};

// The stored state below PATH: the items stored there (none the schema refuses), and a deletion
// for every item the schema names below PATH that is not stored. In path order.
bool stored_state(const std::string &path, std::vector<StateItem> &out, std::string &err) {
    std::vector<StoredItem> items;
    if (!db->store->scan_prefix(path, &items, &err))
        return false;
    std::map<std::string, StateItem> state;
    for (const char *name : CFG_CLOCK_ITEMS) {
        std::string full = std::string(CFG_CLOCK_DIR) + name;
        if (cfg_below(full, path))
            state[full].path = full;
    }
    for (auto &it : items) {
        if (!cfg_below(it.path, path) || !cfg_schema_problem(it.path).empty())
            continue;
        StateItem &s = state[it.path];
        s.path = it.path;
        s.stored = true;
        s.sequence = it.sequence;
        s.value = std::move(it.value);
    }
    for (auto &[p, s] : state)
        out.push_back(std::move(s));
    return true;
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

CfgItemMsg item_msg(const Commit &c, const Registration &r) {
    CfgItemMsg m;
    m.handle = r.handle;
    m.commit = c.id;
    m.path = c.path;
    m.name = relative_name(c.path, r.path);
    m.flags = c.flags;
    m.sequence = c.sequence;
    m.value = c.value;
    return m;
}

bool send_item(const Registration &r, uint16_t type, const CfgItemMsg &m) {
    Writer w;
    m.write(w);
    return db->server->send(r.client, type, 0, w.data());
}

// Hands REG the stored state of its path now: to a verifier as applies of stored items, to a
// notification registrant as notifications.
void hand_state(const Registration &reg) {
    std::vector<StateItem> state;
    std::string err;
    if (!stored_state(reg.path, state, err)) {
        Server::log("cannot hand the stored state of " + reg.path + " to registration " +
                    std::to_string(reg.handle) + ": " + err);
        return;
    }
    for (auto &s : state) {
        CfgItemMsg m;
        m.handle = reg.handle;
        m.path = s.path;
        m.name = relative_name(s.path, reg.path);
        m.sequence = s.sequence;
        m.flags = s.stored ? 0 : ITEM_DELETE;
        m.value = std::move(s.value);
        if (reg.verifier)
            m.flags |= ITEM_STORED;
        send_item(reg, reg.verifier ? T_CFG_APPLY : T_CFG_NOTIFY, m);
    }
}

// Hands REG the stored state, or marks it due when REG is applying the commit in progress.
void hand_state_when_free(Registration &reg) {
    const Commit *c = db->queue.empty() ? nullptr : &db->queue.front();
    if (c && c->stage == Commit::Stage::applying && c->verifier == reg.handle) {
        reg.state_due = true;
        return;
    }
    reg.state_due = false;
    hand_state(reg);
}

void notify_all(const Commit &c) {
    for (auto &[h, r] : db->regs)
        if (!r.verifier && cfg_below(c.path, r.path))
            send_item(r, T_CFG_NOTIFY, item_msg(c, r));
}

// Answers the commit at the front of the queue and takes it off. HAND_BACK: the commit failed
// once its apply may have run, so its verifier is handed the stored state after it.
void finish(uint32_t status, const std::string &reason, bool hand_back = false) {
    Commit c = std::move(db->queue.front());
    db->queue.pop_front();
    if (auto reg = db->regs.find(c.verifier); hand_back && reg != db->regs.end())
        reg->second.state_due = true;
    for (auto &[h, r] : db->regs)
        if (r.state_due) {
            r.state_due = false;
            hand_state(r);
        }
    if (status == 0)
        db->counters.committed++;
    else if (status == EPERM)
        db->counters.refused++;
    else
        db->counters.failed++;
    if (status != 0)
        Server::log("commit of " + c.path + " not done: " + reason);
    Client *committer = db->server->client(c.committer);
    if (!committer || committer->closing)
        return;
    Writer body;
    body.u64(status == 0 ? c.sequence : 0);
    db->server->reply(*committer, c.request, status, reason, body);
}

// True when the client of C has gone: nobody waits for its outcome any more.
bool committer_gone(const Commit &c) {
    Client *k = db->server->client(c.committer);
    return !k || k->closing;
}

// Takes the commit at the front off without applying it: its client has gone.
void drop_front(const char *when) {
    Commit c = std::move(db->queue.front());
    db->queue.pop_front();
    db->counters.dropped++;
    Server::log("commit of " + c.path + " dropped " + when + ": its client has gone");
}

// Starts the commit at the front; false when it ended at once (answered and taken off).
bool start() {
    Commit &c = db->queue.front();
    if (committer_gone(c)) {
        drop_front("before it reached the verifier");
        return false;
    }
    std::string err;
    if (c.flags & ITEM_DELETE) {
        auto have = db->store->get(c.path, &err);
        if (!have) {
            if (err.empty())
                finish(ENOENT, "no such item: " + c.path);
            else
                finish(EIO, err);
            return false;
        }
    }
    const Registration *r = verifier_for(c.path);
    if (!r) {
        // Where the verifier would be: the role's holder and its tzd.
        Router *holder = router();
        finish(ESRCH, "no verifier is registered for " + c.path +
                          (holder ? "; " + holder->holder_text() : std::string()));
        return false;
    }
    db->next_sequence = std::max(db->next_sequence, db->store->last_sequence() + 1);
    c.sequence = db->next_sequence++;
    c.verifier = r->handle;
    c.verifier_client = r->client;
    if (!send_item(*r, T_CFG_VERIFY, item_msg(c, *r))) {
        finish(ECONNRESET, "the verifier of " + r->path + " went away");
        return false;
    }
    c.stage = Commit::Stage::verifying;
    c.deadline_ms = Server::now_ms() + timeout_ms();
    return true;
}

void pump() {
    while (!db->queue.empty() && db->queue.front().stage == Commit::Stage::queued)
        if (start())
            return;
}

// The commit in progress when it waits on CLIENT with commit id ID, else null.
Commit *waiting(uint64_t client, uint64_t id, Commit::Stage stage) {
    if (db->queue.empty())
        return nullptr;
    Commit &c = db->queue.front();
    if (c.stage != stage || c.id != id || c.verifier_client != client)
        return nullptr;
    return &c;
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
    Commit *c = waiting(client.id, id, Commit::Stage::verifying);
    if (!c)
        return;  // late: that commit already ended
    if (status != 0 || accept == 0) {
        if (reason.empty())
            reason = "refused by the verifier, " + client.describe() + " (status " +
                     std::to_string(status) + "; no reason given, that card's syslog has it)";
        else
            reason = "refused by the verifier (" + client.describe() + "): " + reason;
        finish(EPERM, reason);
        pump();
        return;
    }
    if (committer_gone(*c)) {
        drop_front("after its check");
        pump();
        return;
    }
    auto it = db->regs.find(c->verifier);
    if (it == db->regs.end() || !send_item(it->second, T_CFG_APPLY, item_msg(*c, it->second))) {
        finish(ECONNRESET, "the verifier of " + c->path + " went away");
        pump();
        return;
    }
    c->stage = Commit::Stage::applying;
    c->deadline_ms = Server::now_ms() + timeout_ms();
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
    Commit *c = waiting(client.id, id, Commit::Stage::applying);
    if (!c)
        return;
    if (status != 0) {
        finish(EIO,
               "the verifier failed to apply " + c->path + " (" + client.describe() + ", status " +
                   std::to_string(status) + (reason.empty() ? ")" : "): " + reason),
               true);
        pump();
        return;
    }
    std::string err;
    bool ok = (c->flags & ITEM_DELETE) ? db->store->remove(c->path, c->sequence, &err)
                                       : db->store->put(c->path, c->value, c->sequence, &err);
    if (!ok) {
        finish(EIO,
               "applied but not stored (" + err +
                   "); the stored item is unchanged and was handed back to the verifier",
               true);
        pump();
        return;
    }
    notify_all(*c);
    finish(0, "");
    pump();
}

// Ends the commit in progress when it waits on a registration that is gone.
void verifier_gone(uint32_t handle, const std::string &why) {
    if (db->queue.empty())
        return;
    Commit &c = db->queue.front();
    if (c.stage == Commit::Stage::queued || c.verifier != handle)
        return;
    finish(ECONNRESET, "the verifier of " + c.path + " " + why + " during the commit");
    pump();
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
    auto &stored = db->regs[reg.handle] = reg;
    Writer body;
    body.u32(reg.handle);
    db->server->reply(c, f, 0, "", body);
    Server::log(std::string(reg.verifier ? "verifier" : "notification") + " registration " +
                std::to_string(reg.handle) + " for " + path + " by " + c.describe());
    if (flags & REG_REPLAY)
        hand_state_when_free(stored);
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
    Registration *reg = own_registration(c, f, handle);
    if (!reg)
        return;
    db->server->reply(c, f, 0);
    hand_state_when_free(*reg);
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
    // Bounded: card numbers come from the clients.
    if (!registered || c.card < 0 || (db->effects.size() >= 1000 && !db->effects.count(c.card)))
        return;
    Effect &e = db->effects[c.card];
    e.zone = zone;
    e.pid = c.pid;
    e.client = c.id;
}

void on_zones(Client &c, const Frame &f) {
    if (!Reader(f).at_end()) {
        db->server->reply(c, f, EINVAL, "zones: bad request");
        return;
    }
    std::string err;
    auto stored = db->store->get(CFG_TZ_ITEM, &err);
    if (!stored && !err.empty()) {
        db->server->reply(c, f, EIO, err);
        return;
    }
    // Every card that reported, and every card with a process connected.
    std::map<int, const Effect *> cards;
    for (auto &[card, e] : db->effects)
        cards[card] = &e;
    db->server->for_each_client([&](Client &k) {
        if (k.hello && !k.observer && k.card >= 0)
            cards.emplace(k.card, nullptr);
    });
    Writer body;
    body.str(CFG_TZ_ITEM).u8(stored ? 1 : 0).bytes(stored ? stored->value : std::vector<uint8_t>());
    body.u32(uint32_t(cards.size()));
    for (auto &[card, e] : cards) {
        Client *k = e ? db->server->client(e->client) : nullptr;
        body.u32(uint32_t(card)).u8(e ? 1 : 0).str(e ? e->zone : std::string());
        body.u32(e ? uint32_t(e->pid) : 0).u8(k && !k->closing ? 1 : 0);
    }
    db->server->reply(c, f, 0, "", body);
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
        // An item stored before the schema knew better is removed without its verifier, which
        // would take any name below its path for the time-zone item.
        std::string err;
        if ((commit.flags & ITEM_DELETE) && db->store->get(commit.path, &err)) {
            uint64_t seq = std::max(db->next_sequence, db->store->last_sequence() + 1);
            if (db->store->remove(commit.path, seq, &err)) {
                db->next_sequence = seq + 1;
                db->server->reply(c, f, 0, "", Writer().u64(seq));
            } else {
                db->server->reply(c, f, EIO, err);
            }
            return;
        }
        db->server->reply(c, f, EINVAL, why);
        return;
    }
    if (commit.flags & ITEM_DELETE)
        commit.value.clear();
    else if (!platform::tuple_strings(commit.value.data(), commit.value.size())) {
        db->server->reply(c, f, EINVAL, "commit: the value is not a well-formed tuple");
        return;
    }
    if (db->queue.size() >= MAX_QUEUE) {
        db->server->reply(c, f, EBUSY, "too many commits waiting, try again");
        return;
    }
    commit.id = db->next_commit++;
    commit.committer = c.id;
    commit.request.type = f.type;
    commit.request.seq = f.seq;
    db->queue.push_back(std::move(commit));
    pump();
}

void on_get(Client &c, const Frame &f) {
    Reader r(f);
    std::string path;
    if (!read_path(r, path) || !r.at_end()) {
        db->server->reply(c, f, EINVAL, "get: bad path or request");
        return;
    }
    std::string err;
    auto item = db->store->get(path, &err);
    if (!item) {
        db->server->reply(c, f, err.empty() ? ENOENT : EIO, err.empty() ? "no such item" : err);
        return;
    }
    Writer body;
    body.u64(item->sequence).bytes(item->value);
    db->server->reply(c, f, 0, "", body);
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
    std::vector<StoredItem> items;
    std::string err;
    if (!db->store->scan_prefix(prefix, &items, &err)) {
        db->server->reply(c, f, EIO, err);
        return;
    }
    Writer page;
    uint32_t count = 0;
    bool more = false;
    Writer entries;
    for (auto &it : items) {
        if (!after.empty() && it.path <= after)
            continue;
        if (f.type == T_CFG_SCAN && !cfg_below(it.path, prefix))
            continue;
        size_t need = 4 + it.path.size() + 8 + 4 + it.value.size();
        if (entries.size() + need > PAGE_BUDGET) {
            more = true;
            break;
        }
        entries.str(it.path).u64(it.sequence).bytes(it.value);
        count++;
    }
    page.u32(count).raw(entries.data().data(), entries.size()).u8(more ? 1 : 0);
    db->server->reply(c, f, 0, "", page);
}

}  // namespace

bool cfgdb_open(Server &server, const std::string &statedir, std::string &error) {
    static CfgDb instance;
    db = &instance;
    db->server = &server;
    if (!platform::make_dirs(statedir, 0700)) {
        error = "cannot create the state directory " + statedir;
        return false;
    }
    db->file = Store::file_in(statedir);
    // The database is platformd's alone (readers ask platformd): 0600 whatever the umask, also
    // for a file an earlier version made. SQLite gives its -wal and -shm files the same mode.
    int fd = open(db->file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        error = db->file + ": " + strerror(errno);
        return false;
    }
    fchmod(fd, 0600);
    close(fd);
    std::string err;
    db->store = Store::open(db->file, &err);
    if (!db->store) {
        error = err;
        return false;
    }
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
    if (!db || !db->store) {
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
    if (!db || db->queue.empty())
        return;
    Commit &c = db->queue.front();
    if (c.stage == Commit::Stage::queued || Server::now_ms() < c.deadline_ms)
        return;
    // An apply that outlasts its time may still run: the verifier is handed the stored state
    // after it.
    finish(ETIMEDOUT,
           "the verifier of " + c.path + " did not answer within " + std::to_string(timeout_ms()) +
               " ms",
           c.stage == Commit::Stage::applying);
    pump();
}

void cfgdb_status(Server &, std::vector<std::string> &lines) {
    if (!db || !db->store) {
        lines.push_back("configuration database: not open");
        return;
    }
    size_t verifiers = 0;
    for (auto &[h, r] : db->regs)
        verifiers += r.verifier;
    lines.push_back("configuration database: " + db->file);
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
    if (!db->queue.empty() && db->queue.front().stage != Commit::Stage::queued) {
        const Commit &c = db->queue.front();
        Client *v = db->server->client(c.verifier_client);
        lines.push_back("  in progress: " + c.path + ", " +
                        (c.stage == Commit::Stage::verifying ? "verifying" : "applying") + " on " +
                        (v ? v->describe() : "?"));
    }
}

}  // namespace platformd
