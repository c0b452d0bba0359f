#include "cluster.h"

#include <errno.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>

#include "election.h"
#include "etcd/etcd.h"
#include "platform/proto_cfg.h"
#include "platform/tuple.h"

namespace platformd {
namespace {

using namespace platform::proto;
namespace etcd = platform::etcd;
using json = nlohmann::json;

constexpr int64_t LEASE_TTL_S = 2;
constexpr int64_t RENEW_MS = 500;
constexpr int64_t STATUS_EVERY_MS = 1000;
// How long a requester waits for the outcome of its commit before it withdraws it.
constexpr int64_t COMMIT_TIMEOUT_MS = 10000;
// How long the dLRSC waits for each answer of its verifier.
constexpr int64_t VERIFIER_TIMEOUT_MS = 5000;
constexpr size_t MAX_OUTSTANDING = 1000;
constexpr int64_t SETTLE_EVERY_MS = 500;
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

// A card's report of the zone in effect, as its card key in etcd carries it.
struct CardReport {
    bool reported = false;
    std::string zone;  // empty: none
    pid_t pid = 0;
    bool connected = false;  // the reporter is still connected to that card's platformd
};

// An item as etcd holds it, checked.
struct Item {
    std::string path;
    std::vector<uint8_t> value;
    int64_t revision = 0;  // mod_revision: the item's sequence
};

// A commit this card's client made, waiting for its result.
struct Outstanding {
    uint64_t client = 0;
    Frame request;
    std::string path;
    std::string key;      // the pending key
    int64_t created = 0;  // its create revision; 0 until the put was acknowledged
    int64_t deadline_ms = 0;
    bool withdrawing = false;
};

// A pending commit the dLRSC works on.
struct Pending {
    std::string key;
    int64_t created = 0;
    int64_t lease = 0;
    int card = -1;
    std::string path;
    bool del = false;
    std::vector<uint8_t> value;
    std::string result_key;
    int64_t fence = 0;  // the role key's create revision when this card took the commit up
    // settling: the store's outcome is unknown; nothing else is taken up until etcd tells.
    enum class Stage {
        queued,
        checking,
        verifying,
        applying,
        storing,
        settling
    } stage = Stage::queued;
    uint32_t verifier = 0;
    uint64_t verifier_client = 0;
    int64_t deadline_ms = 0;
};

struct Counters {
    uint64_t committed = 0, refused = 0, failed = 0, unknown = 0;  // of this card's committers
    uint64_t stored = 0;                                           // as the dLRSC, for any card
};

struct Agent {
    Server *server = nullptr;
    Router *router = nullptr;
    ClusterOptions opts;
    std::string root;  // "/<router>/"
    std::unique_ptr<etcd::Client> etcd;

    // The card's lease.
    int64_t lease = 0;
    bool granting = false;
    int64_t last_renew_ms = 0;
    std::vector<std::string> announced_ready;  // the "ready" list of the card key as last put
    bool renewing = false;
    uint64_t next_commit = 1;

    // What the status lines show.
    int64_t last_status_ms = 0;
    std::string health = "not asked yet";
    uint64_t member = 0, leader = 0;
    std::string watch_state = "starting";
    int64_t seen_revision = 0;
    std::set<int> cards_up;             // the cards whose key is in etcd, as the watch last said
    std::map<int, CardReport> reports;  // what their keys say of the zone in effect

    // The zone in effect on this card, as its tzd last reported it.
    bool reported = false;
    std::string zone;
    pid_t reporter_pid = 0;
    uint64_t reporter = 0;  // its client id; 0 once it went away

    // Following: path -> what was handed to the registrants.
    std::map<std::string, int64_t> view;
    bool synced = false;
    // Revisions stored by this card's own pipeline: its verifier applied them already.
    std::set<int64_t> own_stores;

    // Registrations and binds of this card's clients.
    std::map<uint32_t, Registration> regs;
    uint32_t next_handle = 1;
    std::map<uint64_t, std::string> bound;

    // Commits made here: id (the pending key's tail) -> state.
    std::map<std::string, Outstanding> outstanding;

    // The role, as the election sees it (-1: no holder, or not known yet).
    std::unique_ptr<Election> election;
    int holder = -1;
    int64_t fence = 0;  // the role key's create revision while this card holds the role
    uint64_t pending_watch = 0;
    std::map<int64_t, Pending> queue;  // by create revision: the one order of commits
    bool busy = false;                 // the front is in progress
    uint64_t verify_id = 1;
    Counters counters;
};

Agent *A = nullptr;

std::string hex(int64_t v) {
    char buf[32];
    snprintf(buf, sizeof buf, "%llx", (unsigned long long)v);
    return buf;
}

std::string cfg_key(const std::string &path) {
    return A->root + "cfg" + path;
}

std::string relative_name(const std::string &item, const std::string &base) {
    std::string name = item.substr(base.size());
    while (!name.empty() && name[0] == '/')
        name.erase(0, 1);
    return name;
}

// The value of an item key as a tuple; nullopt when it is not a JSON array of strings (values
// in etcd can be written by anyone with etcdctl).
std::optional<std::vector<uint8_t>> tuple_of(const std::string &text) {
    json j = json::parse(text, nullptr, false);
    if (j.is_discarded() || !j.is_array())
        return std::nullopt;
    std::vector<std::string> strings;
    for (auto &e : j) {
        if (!e.is_string())
            return std::nullopt;
        strings.push_back(e.get<std::string>());
    }
    return platform::tuple_pack_strings(strings);
}

std::string json_of(const std::vector<uint8_t> &tuple) {
    auto strings = platform::tuple_strings(tuple.data(), tuple.size());
    json j = json::array();
    if (strings)
        for (auto &s : *strings)
            j.push_back(s);
    return j.dump();
}

// An item key read from etcd, checked; nullopt (logged once per key) when it is not one.
std::optional<Item> item_of(const etcd::KeyValue &kv) {
    static std::set<std::string> logged;
    std::string base = A->root + "cfg";
    Item it;
    it.revision = kv.mod_revision;
    if (kv.key.compare(0, base.size(), base) == 0)
        it.path = kv.key.substr(base.size());
    auto value = tuple_of(kv.value);
    if (!cfg_path_ok(it.path) || !value) {
        if (logged.size() < 1000 && logged.insert(kv.key).second)
            Server::log("ignoring the key " + kv.key + " in etcd: not a path with a JSON array " +
                        "of strings");
        return std::nullopt;
    }
    it.value = std::move(*value);
    return it;
}

bool send_item(const Registration &r, uint16_t type, const CfgItemMsg &m) {
    Writer w;
    m.write(w);
    return A->server->send(r.client, type, 0, w.data());
}

// An item as stored, for a verifier: it checks, then applies it, and its answer is not awaited.
CfgItemMsg stored(CfgItemMsg m) {
    m.flags |= ITEM_STORED;
    return m;
}

CfgItemMsg msg_for(const Registration &r, const std::string &path, bool deleted, int64_t revision,
                   const std::vector<uint8_t> &value, uint64_t commit = 0) {
    CfgItemMsg m;
    m.handle = r.handle;
    m.commit = commit;
    m.path = path;
    m.name = relative_name(path, r.path);
    m.flags = deleted ? ITEM_DELETE : 0;
    m.sequence = uint64_t(revision);
    if (!deleted)
        m.value = value;
    return m;
}

// ---- following ----

// Hands one change to the registrants: notifications to the followers, and to the verifiers
// of this card when their own pipeline did not put it into effect already (a store made while
// another card held the role, or with etcdctl).
void hand_over(const std::string &path, bool deleted, int64_t revision,
               const std::vector<uint8_t> &value) {
    if (!cfg_schema_problem(path).empty())
        return;  // written with etcdctl where the database knows no item
    if (deleted)
        A->view.erase(path);
    else
        A->view[path] = revision;
    bool own = A->own_stores.erase(revision) > 0;
    if (A->busy && !A->queue.empty()) {  // the store in progress, whose answer is still on its way
        const Pending &p = A->queue.begin()->second;
        own = own || (p.stage == Pending::Stage::storing && p.path == path && p.del == deleted &&
                      (deleted || p.value == value));
    }
    for (auto &[h, r] : A->regs) {
        if (!cfg_below(path, r.path))
            continue;
        if (!r.verifier)
            send_item(r, T_CFG_NOTIFY, msg_for(r, path, deleted, revision, value));
        else if (!own)
            send_item(r, T_CFG_APPLY, stored(msg_for(r, path, deleted, revision, value)));
    }
}

void on_cfg_watch(const etcd::WatchUpdate &u) {
    using K = etcd::WatchUpdate::Kind;
    switch (u.kind) {
        case K::broken:
            A->watch_state = "broken (" + u.reason + "), reopening";
            return;
        case K::resumed:
            A->watch_state = "open on " + u.endpoint;
            return;
        case K::snapshot: {
            // Everything as it is at the snapshot's revision: what differs from what was handed
            // over is a change, what was handed over and is gone a deletion.
            std::set<std::string> present;
            for (auto &kv : u.kvs) {
                auto it = item_of(kv);
                if (!it)
                    continue;
                present.insert(it->path);
                auto v = A->view.find(it->path);
                if (v == A->view.end() || v->second != it->revision)
                    hand_over(it->path, false, it->revision, it->value);
            }
            std::vector<std::string> gone;
            for (auto &[path, rev] : A->view)
                if (!present.count(path))
                    gone.push_back(path);
            for (auto &path : gone)
                hand_over(path, true, u.revision, {});
            A->synced = true;
            A->seen_revision = std::max(A->seen_revision, u.revision);
            if (A->watch_state == "starting")
                A->watch_state = "open";
            return;
        }
        case K::events:
            for (auto &e : u.events) {
                if (e.deleted) {
                    std::string base = A->root + "cfg";
                    std::string path = e.kv.key.substr(std::min(base.size(), e.kv.key.size()));
                    if (A->view.count(path))
                        hand_over(path, true, e.kv.mod_revision, {});
                    continue;
                }
                if (auto it = item_of(e.kv))
                    hand_over(it->path, false, it->revision, it->value);
            }
            A->seen_revision = std::max(A->seen_revision, u.revision);
            return;
    }
}

// ---- the card's lease ----

void put_card_key() {
    A->announced_ready = A->router->ready_programs(A->opts.card);
    json v = {{"pid", getpid()}, {"program", "platformd"}, {"ready", A->announced_ready}};
    if (A->reported)
        v["effect"] = {
            {"zone", A->zone}, {"pid", A->reporter_pid}, {"connected", A->reporter != 0}};
    A->etcd->put(A->root + "cards/" + std::to_string(A->opts.card), v.dump(), A->lease,
                 [](const etcd::Reply &r) {
                     if (!r.ok())
                         Server::log("cannot announce the card in etcd: " + r.reason);
                 });
}

void grant_lease() {
    if (A->granting)
        return;
    A->granting = true;
    A->etcd->lease_grant(LEASE_TTL_S, [](const etcd::Reply &r) {
        A->granting = false;
        if (!r.ok()) {
            A->health = "no lease: " + r.reason;
            return;
        }
        A->lease = r.lease;
        A->last_renew_ms = Server::now_ms();
        A->election->lease(r.lease, r.sent_ms);
        Server::log("card " + std::to_string(A->opts.card) + " holds etcd lease " + hex(r.lease));
        put_card_key();
    });
}

void renew_lease() {
    if (A->renewing || !A->lease || Server::now_ms() - A->last_renew_ms < RENEW_MS)
        return;
    A->renewing = true;
    int64_t lease = A->lease;
    A->etcd->lease_keepalive(lease, [lease](const etcd::Reply &r) {
        A->renewing = false;
        if (r.ok()) {
            A->last_renew_ms = Server::now_ms();
            if (A->lease == lease)
                A->election->lease(lease, r.sent_ms);
        } else if (r.outcome == etcd::Outcome::absent && A->lease == lease) {
            // Expired while etcd could not be reached: the card's keys went with it.
            Server::log("etcd lease " + hex(lease) + " expired; taking a new one");
            A->lease = 0;
            A->election->lease(0, 0);
            grant_lease();
        } else {
            A->last_renew_ms = Server::now_ms() - RENEW_MS + 200;  // try again soon
        }
    });
}

// ---- answers to this card's committers ----

void answer(Outstanding &o, uint32_t status, const std::string &reason, int64_t sequence) {
    if (status == 0)
        A->counters.committed++;
    else if (status == CFG_OUTCOME_UNKNOWN)
        A->counters.unknown++;
    else if (status == EPERM)
        A->counters.refused++;
    else
        A->counters.failed++;
    if (status != 0)
        Server::log("commit of " + o.path + " not done: " + reason);
    Client *c = A->server->client(o.client);
    if (!c || c->closing)
        return;
    Writer body;
    body.u64(status == 0 ? uint64_t(sequence) : 0);
    A->server->reply(*c, o.request, status, reason, body);
}

std::string result_key(int card, const std::string &id) {
    return A->root + "result/" + std::to_string(card) + "/" + id;
}

void on_result(const etcd::KeyValue &kv) {
    std::string base = A->root + "result/" + std::to_string(A->opts.card) + "/";
    std::string id = kv.key.substr(std::min(base.size(), kv.key.size()));
    auto it = A->outstanding.find(id);
    if (it != A->outstanding.end()) {
        json j = json::parse(kv.value, nullptr, false);
        uint32_t status = EIO;
        std::string reason = "unreadable result " + kv.value;
        if (!j.is_discarded() && j.is_object() && j.contains("status") &&
            j["status"].is_number_unsigned()) {
            status = j["status"].get<uint32_t>();
            reason = j.value("reason", "");
        }
        answer(it->second, status, reason, kv.mod_revision);
        A->outstanding.erase(it);
    }
    A->etcd->del(kv.key, false, [](const etcd::Reply &) {});
}

void on_result_watch(const etcd::WatchUpdate &u) {
    using K = etcd::WatchUpdate::Kind;
    if (u.kind == K::snapshot)
        for (auto &kv : u.kvs)
            on_result(kv);
    if (u.kind == K::events)
        for (auto &e : u.events)
            if (!e.deleted)
                on_result(e.kv);
}

// Takes a commit back: once the pending key is deleted by the requester, no store can use it.
// ANSWER: whether the client still waits to hear how it ended.
void withdraw(const std::string &id, bool answer_client) {
    auto it = A->outstanding.find(id);
    if (it == A->outstanding.end() || it->second.withdrawing)
        return;
    Outstanding &o = it->second;
    o.withdrawing = true;
    if (!answer_client)
        o.client = 0;
    etcd::Txn t;
    t.compare.push_back(etcd::Compare::create_revision(o.key, o.created));
    t.success.push_back(etcd::TxnOp::del(o.key));
    t.failure.push_back(etcd::TxnOp::get(result_key(A->opts.card, id)));
    t.failure.push_back(etcd::TxnOp::get(o.key));
    A->etcd->txn(t, [id](const etcd::Reply &r) {
        auto it = A->outstanding.find(id);
        if (it == A->outstanding.end())
            return;  // the result came meanwhile
        Outstanding &o = it->second;
        if (r.ok()) {
            answer(o, ETIMEDOUT,
                   "no outcome within " + std::to_string(COMMIT_TIMEOUT_MS / 1000) +
                       " s (the dLRSC card " + std::to_string(A->holder) +
                       " did not finish it); withdrawn, nothing was stored",
                   0);
        } else if (r.outcome == etcd::Outcome::compare_failed) {
            // The dLRSC consumed it: the result is there, or comes with the watch.
            for (auto &kv : r.kvs)
                if (kv.key == result_key(A->opts.card, id))
                    return on_result(kv);
            if (o.created == 0) {
                // The put whose outcome was unknown did land: withdraw it by its revision now.
                for (auto &kv : r.kvs)
                    if (kv.key == o.key) {
                        o.created = kv.create_revision;
                        o.withdrawing = false;
                        return withdraw(id, o.client != 0);
                    }
            }
            answer(o, CFG_OUTCOME_UNKNOWN,
                   "outcome unknown: the commit was taken up but its result is missing", 0);
        } else {
            answer(o, CFG_OUTCOME_UNKNOWN,
                   "outcome unknown: etcd did not answer the withdrawal (" + r.reason +
                       "); the commit may still be stored",
                   0);
        }
        A->outstanding.erase(it);
    });
}

// An item stored before the schema knew better (or with etcdctl) is removed without the
// verifier, which would take any name below its path for the time-zone item.
void remove_unknown(Client &c, const Frame &f, const std::string &path, const std::string &why) {
    uint64_t id = c.id;
    Frame req;
    req.type = f.type;
    req.seq = f.seq;
    etcd::Txn t;
    t.compare.push_back(
        etcd::Compare::create_revision(cfg_key(path), 0, etcd::Compare::Op::greater));
    t.success.push_back(etcd::TxnOp::del(cfg_key(path)));
    A->etcd->txn(t, [id, req, why](const etcd::Reply &r) {
        Client *c = A->server->client(id);
        if (!c || c->closing)
            return;
        if (r.ok())
            return A->server->reply(*c, req, 0, "", Writer().u64(uint64_t(r.revision)));
        if (r.outcome == etcd::Outcome::compare_failed)
            return A->server->reply(*c, req, EINVAL, why);
        A->server->reply(*c, req,
                         r.outcome == etcd::Outcome::unknown ? CFG_OUTCOME_UNKNOWN : CFG_ENOCONN,
                         "etcd " + std::string(etcd::outcome_name(r.outcome)) + ": " + r.reason);
    });
}

void on_commit(Client &c, const Frame &f) {
    if (!A->server->allowed(c, f, "commit configuration"))
        return;
    Reader r(f);
    std::string path;
    uint32_t flags = 0;
    std::vector<uint8_t> value;
    if (!r.str(path, MAX_PATH) || !cfg_path_ok(path) || !r.u32(flags) || !r.bytes(value) ||
        !r.at_end()) {
        A->server->reply(c, f, EINVAL, "commit: bad path or request");
        return;
    }
    bool del = flags & ITEM_DELETE;
    if (std::string why = cfg_schema_problem(path); !why.empty()) {
        if (del)
            return remove_unknown(c, f, path, why);
        A->server->reply(c, f, EINVAL, why);
        return;
    }
    if (del)
        value.clear();
    else if (!platform::tuple_strings(value.data(), value.size())) {
        A->server->reply(c, f, EINVAL, "commit: the value is not a well-formed tuple");
        return;
    }
    if (!A->lease) {
        A->server->reply(c, f, CFG_ENOCONN,
                         "not connected to etcd (" + A->health + "); nothing was stored");
        return;
    }
    if (A->outstanding.size() >= MAX_OUTSTANDING) {
        A->server->reply(c, f, EBUSY, "too many commits waiting, try again");
        return;
    }
    std::string id = hex(A->lease) + "-" + std::to_string(A->next_commit++);
    Outstanding o;
    o.client = c.id;
    o.request.type = f.type;
    o.request.seq = f.seq;
    o.path = path;
    o.key = A->root + "pending/" + std::to_string(A->opts.card) + "/" + id;
    o.deadline_ms = Server::now_ms() + COMMIT_TIMEOUT_MS;
    json v = {{"card", A->opts.card}, {"lease", A->lease}, {"path", path}, {"delete", del}};
    json tuple = json::parse(json_of(value));
    v["value"] = tuple;
    etcd::Txn t;
    t.compare.push_back(etcd::Compare::absent(o.key));
    t.success.push_back(etcd::TxnOp::put(o.key, v.dump(), A->lease));
    A->outstanding[id] = o;
    A->etcd->txn(t, [id](const etcd::Reply &r) {
        auto it = A->outstanding.find(id);
        if (it == A->outstanding.end())
            return;
        if (r.ok()) {
            it->second.created = r.revision;
            return;
        }
        if (r.outcome == etcd::Outcome::unknown)
            return;  // it may be there: the result, or the deadline's withdrawal, settles it
        answer(it->second, r.outcome == etcd::Outcome::unavailable ? CFG_ENOCONN : EIO,
               "etcd " + std::string(etcd::outcome_name(r.outcome)) + ": " + r.reason +
                   "; nothing was stored",
               0);
        A->outstanding.erase(it);
    });
}

// ---- the dLRSC's pipeline ----

bool is_holder() {
    return A->holder == A->opts.card;
}

const Registration *verifier_for(const std::string &path) {
    const Registration *best = nullptr;
    for (auto &[h, r] : A->regs) {
        if (!r.verifier || !cfg_below(path, r.path))
            continue;
        if (!best || r.path.size() > best->path.size() ||
            (r.path.size() == best->path.size() && r.handle > best->handle))
            best = &r;
    }
    return best;
}

void pump();

void hand_state(uint32_t handle);

void next() {
    if (!A->queue.empty())
        A->queue.erase(A->queue.begin());
    A->busy = false;
    for (auto &[h, r] : A->regs)
        if (r.state_due) {
            r.state_due = false;
            hand_state(h);
        }
    pump();
}

// The verifier applies the stored item again after a change it applied was not stored.
void restore_stored(const Pending &p) {
    std::string path = p.path;
    uint32_t verifier = p.verifier;
    A->etcd->range(
        cfg_key(path), false, 0,
        [path, verifier](const etcd::Reply &r) {
            auto reg = A->regs.find(verifier);
            if (reg == A->regs.end())
                return;
            if (r.outcome == etcd::Outcome::absent) {
                send_item(reg->second, T_CFG_APPLY,
                          stored(msg_for(reg->second, path, true, 0, {})));
                return;
            }
            if (!r.ok() || r.kvs.empty()) {
                Server::log("cannot hand " + path + " back to its verifier: " + r.reason);
                return;
            }
            if (auto it = item_of(r.kvs[0]))
                send_item(reg->second, T_CFG_APPLY,
                          stored(msg_for(reg->second, path, false, it->revision, it->value)));
        },
        0, true);
}

// Ends the front commit without storing it: the result key carries STATUS and REASON back.
void refuse(uint32_t status, const std::string &reason) {
    Pending &p = A->queue.begin()->second;
    Server::log("commit of " + p.path + " from card " + std::to_string(p.card) +
                " not done: " + reason);
    json res = {{"status", status}, {"reason", reason}};
    etcd::Txn t;
    // Fenced like a store: a deposed holder leaves the commit to the new one.
    t.compare.push_back(etcd::Compare::create_revision(A->root + "dlrsc", p.fence));
    t.compare.push_back(etcd::Compare::create_revision(p.key, p.created));
    t.success.push_back(etcd::TxnOp::put(p.result_key, res.dump(), p.lease));
    t.success.push_back(etcd::TxnOp::del(p.key));
    A->etcd->txn(t, [](const etcd::Reply &r) {
        if (!r.ok() && r.outcome != etcd::Outcome::compare_failed)
            Server::log("cannot hand a refusal back: " + r.reason);
    });
    next();
}

// The fenced store: only while this card still holds the role as it took it up (the key's create
// revision then, never the holder's of now), and the requester still waits for this commit.
void store() {
    Pending &p = A->queue.begin()->second;
    p.stage = Pending::Stage::storing;
    json ok = {{"status", 0}, {"reason", ""}, {"by", A->opts.card}};  // by: the storing dLRSC
    etcd::Txn t;
    t.compare.push_back(etcd::Compare::create_revision(A->root + "dlrsc", p.fence));
    t.compare.push_back(etcd::Compare::create_revision(p.key, p.created));
    if (p.del)
        t.success.push_back(etcd::TxnOp::del(cfg_key(p.path)));
    else
        t.success.push_back(etcd::TxnOp::put(cfg_key(p.path), json_of(p.value)));
    t.success.push_back(etcd::TxnOp::put(p.result_key, ok.dump(), p.lease));
    t.success.push_back(etcd::TxnOp::del(p.key));
    t.failure.push_back(etcd::TxnOp::get(A->root + "dlrsc"));
    int64_t created = p.created;
    A->etcd->txn(t, [created](const etcd::Reply &r) {
        if (A->queue.empty() || A->queue.begin()->first != created)
            return;
        Pending &p = A->queue.begin()->second;
        if (r.ok()) {
            // The verifier has it in effect; the watch need not hand it over again (unless the
            // watch was quicker than this answer).
            if (A->seen_revision < r.revision)
                A->own_stores.insert(r.revision);
            A->counters.stored++;
            return next();
        }
        if (r.outcome != etcd::Outcome::unknown)
            restore_stored(p);
        switch (r.outcome) {
            case etcd::Outcome::compare_failed: {
                bool role_moved = r.kvs.empty() || r.kvs[0].create_revision != p.fence;
                if (role_moved) {
                    // The pending key stays: the commit is the new holder's to finish.
                    Server::log("commit of " + p.path + " not stored: card " +
                                std::to_string(A->opts.card) + " no longer holds the dLRSC role");
                    return next();
                }
                return next();  // withdrawn by its requester: it has its answer
            }
            case etcd::Outcome::absent:  // the requester's lease is gone
                return next();
            case etcd::Outcome::unknown:
                Server::log("store of " + p.path + ": outcome unknown (" + r.reason +
                            "); no further commit until etcd tells");
                p.stage = Pending::Stage::settling;
                p.deadline_ms = Server::now_ms() + SETTLE_EVERY_MS;
                return;
            default:
                return refuse(r.outcome == etcd::Outcome::unavailable ? CFG_ENOCONN : EIO,
                              "applied but not stored (etcd " +
                                  std::string(etcd::outcome_name(r.outcome)) + ": " + r.reason +
                                  "); the stored item is unchanged");
        }
    });
}

// After a store whose outcome was unknown: a quorum read of the pending key decides it, since
// etcd answers one only once everything proposed before is applied or lost for good. Still
// there: the store did not happen, and the requester hears so. Gone: stored, or withdrawn by
// its requester. Either way the verifier is handed what is stored.
void settle() {
    Pending &p = A->queue.begin()->second;
    p.deadline_ms = Server::now_ms() + SETTLE_EVERY_MS;
    int64_t created = p.created;
    A->etcd->range(p.key, false, 0, [created](const etcd::Reply &r) {
        if (A->queue.empty() || A->queue.begin()->first != created)
            return;
        Pending &p = A->queue.begin()->second;
        if (p.stage != Pending::Stage::settling)
            return;
        if (r.outcome != etcd::Outcome::ok && r.outcome != etcd::Outcome::absent)
            return;  // not yet: asked again on a later tick
        restore_stored(p);
        bool pending = r.ok() && !r.kvs.empty() && r.kvs[0].create_revision == created;
        Server::log("store of " + p.path + " settled: " + (pending ? "not stored" : "done"));
        if (pending)
            return refuse(CFG_ENOCONN, "not stored: etcd did not answer the store in time");
        next();
    });
}

void start_verify() {
    Pending &p = A->queue.begin()->second;
    const Registration *r = verifier_for(p.path);
    if (!r)
        return refuse(ESRCH, "no verifier is registered for " + p.path + " on card " +
                                 std::to_string(A->opts.card) + ", which holds the dLRSC role");
    p.verifier = r->handle;
    p.verifier_client = r->client;
    p.stage = Pending::Stage::verifying;
    p.deadline_ms = Server::now_ms() + VERIFIER_TIMEOUT_MS;
    if (!send_item(*r, T_CFG_VERIFY,
                   msg_for(*r, p.path, p.del, 0, p.value, uint64_t(A->verify_id))))
        return refuse(ECONNRESET, "the verifier of " + r->path + " went away");
}

void pump() {
    if (A->busy || A->queue.empty() || !is_holder())
        return;
    A->busy = true;
    Pending &p = A->queue.begin()->second;
    p.fence = A->fence;
    ++A->verify_id;
    if (std::string why = cfg_schema_problem(p.path); !why.empty())
        return refuse(EINVAL, why);  // put there by a card that did not check
    if (!p.del)
        return start_verify();
    // A deletion of an item that is not there is refused before the verifier sees it.
    p.stage = Pending::Stage::checking;
    int64_t created = p.created;
    A->etcd->range(cfg_key(p.path), false, 0, [created](const etcd::Reply &r) {
        if (A->queue.empty() || A->queue.begin()->first != created)
            return;
        if (r.outcome == etcd::Outcome::absent)
            return refuse(ENOENT, "no such item: " + A->queue.begin()->second.path);
        if (!r.ok())
            return refuse(CFG_ENOCONN,
                          "etcd " + std::string(etcd::outcome_name(r.outcome)) + ": " + r.reason);
        start_verify();
    });
}

Pending *waiting(uint64_t client, uint64_t id, Pending::Stage stage) {
    if (!A->busy || A->queue.empty())
        return nullptr;
    Pending &p = A->queue.begin()->second;
    if (p.stage != stage || A->verify_id != id || p.verifier_client != client)
        return nullptr;
    return &p;
}

void on_verify_result(Client &c, const Frame &f) {
    Reader r(f);
    uint64_t id = 0;
    int32_t status = 0;
    uint32_t accept = 0;
    std::string reason;
    if (!r.u64(id) || !r.i32(status) || !r.u32(accept) || !r.str(reason) || !r.at_end())
        return Server::log("malformed verify result from " + c.describe());
    Pending *p = waiting(c.id, id, Pending::Stage::verifying);
    if (!p)
        return;
    if (status != 0 || accept == 0) {
        if (reason.empty())
            reason = "refused by the verifier, " + c.describe() + " (status " +
                     std::to_string(status) + "; no reason given, that card's syslog has it)";
        else
            reason = "refused by the verifier (" + c.describe() + "): " + reason;
        return refuse(EPERM, reason);
    }
    auto reg = A->regs.find(p->verifier);
    if (reg == A->regs.end() || !send_item(reg->second, T_CFG_APPLY,
                                           msg_for(reg->second, p->path, p->del, 0, p->value, id)))
        return refuse(ECONNRESET, "the verifier of " + p->path + " went away");
    p->stage = Pending::Stage::applying;
    p->deadline_ms = Server::now_ms() + VERIFIER_TIMEOUT_MS;
}

void on_apply_result(Client &c, const Frame &f) {
    Reader r(f);
    uint64_t id = 0;
    int32_t status = 0;
    std::string reason;
    if (!r.u64(id) || !r.i32(status) || (!r.at_end() && !r.str(reason)) || !r.at_end())
        return Server::log("malformed apply result from " + c.describe());
    Pending *p = waiting(c.id, id, Pending::Stage::applying);
    if (!p)
        return;
    if (status != 0) {
        restore_stored(*p);
        return refuse(EIO, "the verifier failed to apply " + p->path + " (" + c.describe() +
                               ", status " + std::to_string(status) +
                               (reason.empty() ? ")" : "): " + reason));
    }
    store();
}

std::optional<Pending> pending_of(const etcd::KeyValue &kv) {
    json j = json::parse(kv.value, nullptr, false);
    Pending p;
    p.key = kv.key;
    p.created = kv.create_revision;
    if (j.is_discarded() || !j.is_object() || !j.contains("path") || !j["path"].is_string() ||
        !j.contains("card") || !j["card"].is_number_integer() || !j.contains("lease") ||
        !j["lease"].is_number_integer())
        return std::nullopt;
    p.card = j["card"].get<int>();
    p.lease = j["lease"].get<int64_t>();
    p.path = j["path"].get<std::string>();
    p.del = j.value("delete", false);
    if (!cfg_path_ok(p.path) || p.card < 0 || p.card > Router::MAX_CARD)
        return std::nullopt;
    if (!p.del) {
        auto v = tuple_of(j.contains("value") ? j["value"].dump() : "null");
        if (!v)
            return std::nullopt;
        p.value = std::move(*v);
    }
    std::string base = A->root + "pending/" + std::to_string(p.card) + "/";
    if (kv.key.compare(0, base.size(), base) != 0)
        return std::nullopt;
    p.result_key = result_key(p.card, kv.key.substr(base.size()));
    return p;
}

void on_pending_watch(const etcd::WatchUpdate &u) {
    using K = etcd::WatchUpdate::Kind;
    auto add = [](const etcd::KeyValue &kv) {
        if (A->queue.count(kv.create_revision))
            return;
        auto p = pending_of(kv);
        if (!p) {
            Server::log("ignoring the malformed pending commit " + kv.key);
            A->etcd->del(kv.key, false, [](const etcd::Reply &) {});
            return;
        }
        A->queue[p->created] = std::move(*p);
    };
    if (u.kind == K::snapshot) {
        // Whatever is not pending any more is dropped, unless it is in progress.
        std::set<int64_t> present;
        for (auto &kv : u.kvs) {
            present.insert(kv.create_revision);
            add(kv);
        }
        for (auto it = A->queue.begin(); it != A->queue.end();) {
            bool front = A->busy && it == A->queue.begin();
            if (!front && !present.count(it->first))
                it = A->queue.erase(it);
            else
                ++it;
        }
    } else if (u.kind == K::events) {
        for (auto &e : u.events) {
            if (!e.deleted) {
                add(e.kv);
                continue;
            }
            // Withdrawn or consumed: drop it unless it is the one in progress (its store
            // fails on the pending key's create revision).
            for (auto it = A->queue.begin(); it != A->queue.end(); ++it)
                if (it->second.key == e.kv.key && !(A->busy && it == A->queue.begin())) {
                    A->queue.erase(it);
                    break;
                }
        }
    }
    pump();
}

// The cards up, for the status lines: whose key exists.
void on_cards_watch(const etcd::WatchUpdate &u) {
    std::string base = A->root + "cards/";
    auto card_of = [&](const std::string &key) {
        char *end = nullptr;
        long n = strtol(key.c_str() + std::min(base.size(), key.size()), &end, 10);
        return *end || n < 0 || n > Router::MAX_CARD ? -1 : int(n);
    };
    auto up = [](int n, const std::string &value) {
        A->cards_up.insert(n);
        CardReport rep;
        json j = json::parse(value, nullptr, false);
        if (!j.is_discarded() && j.is_object() && j.contains("effect") && j["effect"].is_object()) {
            const json &e = j["effect"];
            rep.reported = true;
            if (e.contains("zone") && e["zone"].is_string())
                rep.zone = e["zone"].get<std::string>();
            if (e.contains("pid") && e["pid"].is_number_integer())
                rep.pid = e["pid"].get<pid_t>();
            rep.connected = e.value("connected", false);
        }
        // A card that reported once keeps its last report while its key is gone.
        if (rep.reported || !A->reports.count(n))
            A->reports[n] = rep;
    };
    if (u.kind == etcd::WatchUpdate::Kind::snapshot) {
        A->cards_up.clear();
        for (auto &kv : u.kvs)
            if (int n = card_of(kv.key); n >= 0)
                up(n, kv.value);
    } else if (u.kind == etcd::WatchUpdate::Kind::events) {
        for (auto &e : u.events)
            if (int n = card_of(e.kv.key); n >= 0) {
                if (e.deleted)
                    A->cards_up.erase(n);
                else
                    up(n, e.kv.value);
            }
    }
}

// ---- the role ----

// The election's view changed: HOLDER is the dLRSC as this card sees it (-1: none), FENCE this
// card's create revision of the role key while it holds the role.
void on_role(int holder, int64_t fence, const std::string &why) {
    bool was = is_holder();
    A->holder = holder;
    A->fence = fence;
    A->router->follow_dlrsc(holder, why);
    if (is_holder() && !was) {
        A->pending_watch = A->etcd->watch(A->root + "pending/", true, 0, on_pending_watch, true);
    } else if (!is_holder() && was) {
        A->etcd->cancel_watch(A->pending_watch);
        A->pending_watch = 0;
        if (A->busy)
            A->queue.erase(std::next(A->queue.begin()), A->queue.end());
        else
            A->queue.clear();
    }
}

// `role set N`: N becomes the wanted card, and the holder hands the role over to it, if N is up.
void on_role_set(Client &c, const Frame &f) {
    if (!A->server->allowed(c, f, "move the dLRSC role"))
        return;
    Reader r(f);
    uint32_t card = 0, flags = 0;
    if (!r.u32(card) || (!r.at_end() && !r.u32(flags))) {
        A->server->reply(c, f, EBADMSG, "malformed role request");
        return;
    }
    if (card > uint32_t(Router::MAX_CARD)) {
        A->server->reply(c, f, ENOENT, "no such card " + std::to_string(card));
        return;
    }
    uint64_t id = c.id;
    Frame req;
    req.type = f.type;
    req.seq = f.seq;
    A->election->set_wanted(int(card), flags & ROLE_SET_FORCE,
                            [id, req](uint32_t status, const std::string &reason, int previous) {
                                Client *c = A->server->client(id);
                                if (!c || c->closing)
                                    return;
                                Writer w;
                                w.u32(uint32_t(previous));
                                A->server->reply(*c, req, status, reason, w);
                            });
}

// ---- queries and registrations ----

void on_get(Client &c, const Frame &f) {
    Reader r(f);
    std::string path;
    if (!r.str(path, MAX_PATH) || !cfg_path_ok(path) || !r.at_end()) {
        A->server->reply(c, f, EINVAL, "get: bad path or request");
        return;
    }
    uint64_t id = c.id;
    Frame req;
    req.type = f.type;
    req.seq = f.seq;
    A->etcd->range(
        cfg_key(path), false, 0,
        [id, req](const etcd::Reply &r) {
            Client *c = A->server->client(id);
            if (!c || c->closing)
                return;
            std::optional<Item> it;
            if (r.ok() && !r.kvs.empty())
                it = item_of(r.kvs[0]);
            if (r.outcome == etcd::Outcome::absent || (r.ok() && !it)) {
                A->server->reply(*c, req, ENOENT, "no such item");
                return;
            }
            if (!r.ok()) {
                A->server->reply(*c, req, CFG_ENOCONN, "etcd: " + r.reason);
                return;
            }
            Writer body;
            body.u64(uint64_t(it->revision)).bytes(it->value);
            A->server->reply(*c, req, 0, "", body);
        },
        0, true);
}

// LIST (byte prefix) and SCAN (below a path), a page at a time after a given path.
void on_list(Client &c, const Frame &f) {
    Reader r(f);
    std::string prefix, after;
    if (!r.str(prefix, MAX_PATH) || !r.str(after, MAX_PATH) || !r.at_end() ||
        (f.type == T_CFG_SCAN && !cfg_path_ok(prefix))) {
        A->server->reply(c, f, EINVAL, "bad path or request");
        return;
    }
    uint64_t id = c.id;
    Frame req;
    req.type = f.type;
    req.seq = f.seq;
    A->etcd->range(
        cfg_key(prefix), true, 0,
        [id, req, prefix, after](const etcd::Reply &r) {
            Client *c = A->server->client(id);
            if (!c || c->closing)
                return;
            if (!r.ok() && r.outcome != etcd::Outcome::absent) {
                A->server->reply(*c, req, CFG_ENOCONN, "etcd: " + r.reason);
                return;
            }
            uint32_t count = 0;
            bool more = false;
            Writer entries;
            for (auto &kv : r.kvs) {
                auto it = item_of(kv);
                if (!it || (!after.empty() && it->path <= after))
                    continue;
                if (req.type == T_CFG_SCAN && !cfg_below(it->path, prefix))
                    continue;
                size_t need = 4 + it->path.size() + 8 + 4 + it->value.size();
                if (entries.size() + need > PAGE_BUDGET) {
                    more = true;
                    break;
                }
                entries.str(it->path).u64(uint64_t(it->revision)).bytes(it->value);
                count++;
            }
            Writer page;
            page.u32(count).raw(entries.data().data(), entries.size()).u8(more ? 1 : 0);
            A->server->reply(*c, req, 0, "", page);
        },
        0, true);
}

// True while the commit in progress waits on HANDLE's apply, or on the store after it: the stored
// state handed now could come after that apply and undo it.
bool applying_on(uint32_t handle) {
    if (!A->busy || A->queue.empty())
        return false;
    const Pending &p = A->queue.begin()->second;
    return p.verifier == handle && p.stage != Pending::Stage::queued &&
           p.stage != Pending::Stage::checking && p.stage != Pending::Stage::verifying;
}

// Hands registration HANDLE the stored state of its path: every item stored below it, and a
// deletion for every item the schema names there that is not stored; to a verifier as applies of
// stored items, to a follower as notifications. What the watch has handed over in a newer
// revision meanwhile is left out (the watch hands over what follows).
void hand_state(uint32_t handle) {
    auto reg = A->regs.find(handle);
    if (reg == A->regs.end())
        return;
    if (applying_on(handle)) {
        reg->second.state_due = true;
        return;
    }
    A->etcd->range(
        cfg_key(reg->second.path), true, 0,
        [handle](const etcd::Reply &r) {
            auto reg = A->regs.find(handle);
            if (reg == A->regs.end())
                return;
            Registration &g = reg->second;
            if (!r.ok() && r.outcome != etcd::Outcome::absent) {
                Server::log("cannot hand the stored state of " + g.path + " to registration " +
                            std::to_string(handle) + ": " + r.reason);
                return;
            }
            if (applying_on(handle)) {
                g.state_due = true;
                return;
            }
            std::map<std::string, std::optional<Item>> state;
            for (const char *name : CFG_CLOCK_ITEMS) {
                std::string full = std::string(CFG_CLOCK_DIR) + name;
                if (cfg_below(full, g.path) && !A->view.count(full))
                    state[full];
            }
            for (auto &kv : r.kvs) {
                auto it = item_of(kv);
                if (!it || !cfg_below(it->path, g.path) || !cfg_schema_problem(it->path).empty())
                    continue;
                auto seen = A->view.find(it->path);
                if (seen != A->view.end() && seen->second > it->revision)
                    continue;
                state[it->path] = std::move(*it);
            }
            for (auto &[path, it] : state) {
                CfgItemMsg m = it ? msg_for(g, path, false, it->revision, it->value)
                                  : msg_for(g, path, true, 0, {});
                if (g.verifier)
                    send_item(g, T_CFG_APPLY, stored(m));
                else
                    send_item(g, T_CFG_NOTIFY, m);
            }
        },
        0, true);
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
    if (!A->server->privileged(c)) {
        size_t mine = 0, shared = 0;
        for (auto &[h, r] : A->regs) {
            const Client *o = A->server->client(r.client);
            if (!o || A->server->privileged(*o))
                continue;
            ++shared;
            mine += o->peer_uid == c.peer_uid;
        }
        if (mine >= UID_REGISTRATIONS)
            return "uid " + std::to_string(c.peer_uid) + " holds " + std::to_string(mine) +
                   " registrations already";
        if (shared >= MAX_REGISTRATIONS - RESERVED_REGISTRATIONS)
            return "the registrations not kept for root and uid " +
                   std::to_string(A->server->admin_uid()) + " are taken";
    }
    if (A->regs.size() >= MAX_REGISTRATIONS)
        return "too many registrations";
    return {};
}

void on_register(Client &c, const Frame &f) {
    Reader r(f);
    std::string path;
    uint32_t flags = 0;
    if (!r.str(path, MAX_PATH) || !cfg_path_ok(path) || !r.u32(flags) || !r.at_end()) {
        A->server->reply(c, f, EINVAL, "register: bad path or request");
        return;
    }
    if (f.type == T_CFG_REG_VERIFY && !A->server->allowed(c, f, "register as a verifier"))
        return;
    if (std::string full = registration_room(c, f.type == T_CFG_REG_VERIFY); !full.empty()) {
        A->server->reply(c, f, ENOSPC, full);
        return;
    }
    Registration reg;
    reg.handle = A->next_handle++;
    if (A->next_handle == 0)
        A->next_handle = 1;
    reg.client = c.id;
    reg.verifier = f.type == T_CFG_REG_VERIFY;
    reg.path = path;
    A->regs[reg.handle] = reg;
    Writer body;
    body.u32(reg.handle);
    A->server->reply(c, f, 0, "", body);
    Server::log(std::string(reg.verifier ? "verifier" : "notification") + " registration " +
                std::to_string(reg.handle) + " for " + path + " by " + c.describe());
    if (flags & REG_REPLAY)
        hand_state(reg.handle);
    if (reg.verifier)
        pump();
}

void verifier_gone(uint32_t handle, const std::string &why) {
    if (!A->busy || A->queue.empty())
        return;
    Pending &p = A->queue.begin()->second;
    if (p.verifier != handle || p.stage == Pending::Stage::storing ||
        p.stage == Pending::Stage::settling)
        return;
    refuse(ECONNRESET, "the verifier of " + p.path + " " + why + " during the commit");
}

// The registration HANDLE when the process of C made it, else null (and C is answered).
Registration *own_registration(Client &c, const Frame &f, uint32_t handle) {
    auto it = A->regs.find(handle);
    Client *owner = it == A->regs.end() ? nullptr : A->server->client(it->second.client);
    // Only the process that registered may act on a registration.
    if (it == A->regs.end() || (owner && owner->peer_pid != c.peer_pid)) {
        A->server->reply(c, f, ENOENT, "no such registration");
        return nullptr;
    }
    return &it->second;
}

void on_resync(Client &c, const Frame &f) {
    Reader r(f);
    uint32_t handle = 0;
    if (!r.u32(handle) || !r.at_end()) {
        A->server->reply(c, f, EINVAL, "resync: bad request");
        return;
    }
    if (!own_registration(c, f, handle))
        return;
    A->server->reply(c, f, 0);
    hand_state(handle);
}

// This card's report of the zone in effect, on one of its registrations' connections; the card
// key in etcd carries it to the other cards.
void on_effect(Client &c, const Frame &f) {
    Reader r(f);
    std::string zone;
    if (!r.str(zone, MAX_PATH) || !r.at_end())
        return;
    bool registered = false;
    for (auto &[h, reg] : A->regs)
        registered |= reg.client == c.id;
    if (!registered)
        return;
    bool changed = !A->reported || A->zone != zone || A->reporter != c.id;
    A->reported = true;
    A->zone = zone;
    A->reporter_pid = c.pid;
    A->reporter = c.id;
    if (changed && A->lease)
        put_card_key();
}

// The stored time-zone item, and the zone in effect on every card that reported or is up.
void on_zones(Client &c, const Frame &f) {
    if (!Reader(f).at_end()) {
        A->server->reply(c, f, EINVAL, "zones: bad request");
        return;
    }
    uint64_t id = c.id;
    Frame req;
    req.type = f.type;
    req.seq = f.seq;
    A->etcd->range(
        cfg_key(CFG_TZ_ITEM), false, 0,
        [id, req](const etcd::Reply &r) {
            Client *c = A->server->client(id);
            if (!c || c->closing)
                return;
            if (!r.ok() && r.outcome != etcd::Outcome::absent) {
                A->server->reply(*c, req, CFG_ENOCONN, "etcd: " + r.reason);
                return;
            }
            std::optional<Item> item;
            if (r.ok() && !r.kvs.empty())
                item = item_of(r.kvs[0]);
            std::map<int, CardReport> cards = A->reports;
            for (int n : A->cards_up)
                cards.emplace(n, CardReport{});
            // This card's own report is the freshest there is.
            CardReport &own = cards[A->opts.card];
            if (A->reported) {
                Client *k = A->server->client(A->reporter);
                own = {true, A->zone, A->reporter_pid, k && !k->closing};
            }
            Writer body;
            body.str(CFG_TZ_ITEM)
                .u8(item ? 1 : 0)
                .bytes(item ? item->value : std::vector<uint8_t>());
            body.u32(uint32_t(cards.size()));
            for (auto &[card, e] : cards)
                body.u32(uint32_t(card))
                    .u8(e.reported ? 1 : 0)
                    .str(e.zone)
                    .u32(uint32_t(e.pid))
                    .u8(e.connected ? 1 : 0);
            A->server->reply(*c, req, 0, "", body);
        },
        0, true);
}

void on_unregister(Client &c, const Frame &f) {
    Reader r(f);
    uint32_t handle = 0;
    if (!r.u32(handle) || !r.at_end()) {
        A->server->reply(c, f, EINVAL, "unregister: bad request");
        return;
    }
    if (!own_registration(c, f, handle))
        return;
    A->regs.erase(handle);
    A->server->reply(c, f, 0);
    verifier_gone(handle, "unregistered");
}

void on_frame(Client &c, const Frame &f) {
    switch (f.type) {
        case T_CFG_BIND: {
            Reader r(f);
            std::string path;
            uint32_t flags = 0;
            if (!r.str(path, MAX_PATH) || !cfg_path_ok(path) || !r.u32(flags) || !r.at_end())
                return A->server->reply(c, f, EINVAL, "bind: bad path or request");
            A->bound[c.id] = path;
            return A->server->reply(c, f, 0);
        }
        case T_CFG_UNBIND:
            A->bound.erase(c.id);
            return A->server->reply(c, f, 0);
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
            A->server->reply(c, f, ENOSYS, "unknown configuration request");
    }
}

void on_gone(Client &c) {
    A->bound.erase(c.id);
    if (A->reported && A->reporter == c.id) {
        A->reporter = 0;
        if (A->lease)
            put_card_key();
    }
    std::vector<uint32_t> gone;
    for (auto &[h, r] : A->regs)
        if (r.client == c.id)
            gone.push_back(h);
    for (uint32_t h : gone) {
        A->regs.erase(h);
        verifier_gone(h, "went away");
    }
    // A committer that is gone must not have its commit stored.
    std::vector<std::string> mine;
    for (auto &[id, o] : A->outstanding)
        if (o.client == c.id)
            mine.push_back(id);
    for (auto &id : mine)
        withdraw(id, false);
}

void on_tick() {
    int64_t now = Server::now_ms();
    if (!A->lease)
        grant_lease();
    renew_lease();
    A->election->tick(now);
    if (A->lease && A->router->ready_programs(A->opts.card) != A->announced_ready)
        put_card_key();
    std::vector<std::string> late;
    for (auto &[id, o] : A->outstanding)
        if (!o.withdrawing && now >= o.deadline_ms)
            late.push_back(id);
    for (auto &id : late)
        withdraw(id, true);
    if (A->busy && !A->queue.empty()) {
        Pending &p = A->queue.begin()->second;
        if ((p.stage == Pending::Stage::verifying || p.stage == Pending::Stage::applying) &&
            now >= p.deadline_ms) {
            if (p.stage == Pending::Stage::applying)
                restore_stored(p);
            refuse(ETIMEDOUT, "the verifier of " + p.path + " did not answer within " +
                                  std::to_string(VERIFIER_TIMEOUT_MS) + " ms");
        } else if (p.stage == Pending::Stage::settling && now >= p.deadline_ms) {
            settle();
        }
    }
    if (now - A->last_status_ms >= STATUS_EVERY_MS) {
        A->last_status_ms = now;
        A->etcd->status([](const etcd::Reply &r) {
            if (r.ok()) {
                A->member = r.member;
                A->leader = r.leader;
                A->health = r.leader ? "healthy (a leader is elected)" : "no leader";
            } else {
                A->health = std::string("unreachable: ") + r.reason;
            }
        });
    }
}

void status(std::vector<std::string> &lines) {
    lines.push_back("mode: cluster, router " + A->opts.router + ", card " +
                    std::to_string(A->opts.card));
    std::string eps;
    for (auto &e : A->etcd->options().endpoints)
        eps += (eps.empty() ? "" : ",") + e;
    lines.push_back("etcd endpoints: " + eps);
    std::string in_use = A->etcd->endpoint();
    lines.push_back("etcd member in use: " + (in_use.empty() ? "none yet" : in_use) +
                    (A->member ? " (member " + hex(int64_t(A->member)) + ", leader " +
                                     hex(int64_t(A->leader)) + ")"
                               : ""));
    lines.push_back("etcd health: " + A->health);
    lines.push_back("last seen revision: " + std::to_string(A->seen_revision) + " (watch " +
                    A->watch_state + ")");
    std::string up;
    for (int n : A->cards_up)
        up += " " + std::to_string(n);
    lines.push_back("cards up in etcd:" + (up.empty() ? std::string(" none") : up));
    lines.push_back("card lease: " + (A->lease ? hex(A->lease) : std::string("none")));
    lines.push_back(A->holder >= 0 ? "dLRSC: card " + std::to_string(A->holder)
                                   : std::string("dLRSC: none known to this card"));
    A->election->status(lines);
    size_t verifiers = 0;
    for (auto &[h, r] : A->regs)
        verifiers += r.verifier;
    lines.push_back("configuration: items followed " + std::to_string(A->view.size()) +
                    ", verifiers " + std::to_string(verifiers) + ", notification registrations " +
                    std::to_string(A->regs.size() - verifiers));
    lines.push_back("  commits: " + std::to_string(A->counters.committed) + " done, " +
                    std::to_string(A->counters.refused) + " refused, " +
                    std::to_string(A->counters.failed) + " failed, " +
                    std::to_string(A->counters.unknown) + " outcome unknown, " +
                    std::to_string(A->outstanding.size()) + " of this card waiting, " +
                    std::to_string(A->queue.size()) + " queued here, " +
                    std::to_string(A->counters.stored) + " stored as the dLRSC");
}

}  // namespace

bool cluster_start(Server &server, Router &router, const ClusterOptions &options,
                   std::string &error) {
    static Agent agent;
    A = &agent;
    A->server = &server;
    A->router = &router;
    A->opts = options;
    if (A->opts.router.empty() || A->opts.router.find('/') != std::string::npos) {
        error = "PLATFORM_ROUTER must be a name without '/': '" + A->opts.router + "'";
        return false;
    }
    A->root = "/" + A->opts.router + "/";
    etcd::Options eo;
    eo.endpoints = etcd::split_endpoints(options.endpoints);
    if (eo.endpoints.empty()) {
        error = "PLATFORM_ETCD names no endpoint";
        return false;
    }
    A->etcd = std::make_unique<etcd::Client>(eo);
    if (!server.watch_fd(A->etcd->fd(), [] { A->etcd->dispatch(); })) {
        error = "cannot watch the etcd client's descriptor";
        return false;
    }
    server.take_cfg(on_frame);
    server.handle(T_CTL_ROLE_SET, on_role_set);
    server.on_client_gone(on_gone);
    server.on_tick(on_tick);
    server.on_status(status);
    A->etcd->watch(A->root + "cfg/", true, 0, on_cfg_watch, true);
    A->election =
        std::make_unique<Election>(*A->etcd, A->root, A->opts.card, LEASE_TTL_S * 1000, on_role);
    A->election->start();
    A->etcd->watch(A->root + "cards/", true, 0, on_cards_watch, true);
    A->etcd->watch(A->root + "result/" + std::to_string(options.card) + "/", true, 0,
                   on_result_watch, true);
    grant_lease();
    return true;
}

}  // namespace platformd
