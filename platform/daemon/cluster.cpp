// Cluster mode: platformd as one card's agent of a router whose shared state lives in etcd
// (cluster.h, docs/cluster.md). The frames, registrations and the verify/apply pipeline are
// cfgdb.cpp's; what is here is where the items are, how a commit reaches the dLRSC and its
// outcome comes back, how the card follows the stored items, and the role.
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
// The card key found with another value than this card put is put back at most this often, so
// that two platformds started for the same card do not trade puts as fast as etcd answers.
constexpr int64_t PUT_BACK_MS = 1000;
// How long a requester waits for the outcome of its commit before it withdraws it.
constexpr int64_t COMMIT_TIMEOUT_MS = 10000;
constexpr size_t MAX_OUTSTANDING = 1000;
constexpr int64_t SETTLE_EVERY_MS = 500;

// A card as its card key in etcd describes it.
struct CardReport {
    bool reported = false;  // of the zone in effect:
    std::string zone;       // empty: none
    pid_t pid = 0;
    bool connected = false;  // the reporter is still connected to that card's platformd
    // For role show: the card's processes (its platformd included), ready ones, role-event
    // registrations.
    uint32_t processes = 0, ready = 0, registrations = 0;
};

// A commit this card's client made, waiting for its result.
struct Outstanding {
    Later requester;  // its client 0 once nobody waits to hear how it ended
    std::string path;
    std::string key;      // the pending key
    int64_t created = 0;  // its create revision; 0 until the put was acknowledged
    int64_t deadline_ms = 0;
    bool withdrawing = false;
};

// A pending commit the dLRSC works on.

// A pending commit taken up by this card as the dLRSC: what its store and result need.
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
};

// The store in progress, as far as the watch needs to know it: its change is the pipeline's own.
struct Storing {
    std::string path;
    bool del = false;
    std::vector<uint8_t> value;
};

// A store whose outcome was unknown: nothing else is taken up until etcd tells.
struct Settling {
    int64_t created = 0;
    int64_t deadline_ms = 0;
    std::function<void(StoreResult)> done;
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
    // The card key's value as last put. One put at a time, so that two cannot land out of order;
    // ANNOUNCE_AGAIN asks for another once it is done.
    json announced;
    bool announcing = false, announce_again = false;
    // The watch last showed the key with another value; when this card last put it back; the
    // last other lease found writing it (logged once; 0 is a write on no lease).
    bool put_back = false;
    int64_t last_put_back_ms = 0, other_writer = -1;
    bool renewing = false;
    uint64_t next_commit = 1;

    // What the status lines show.
    int64_t last_status_ms = 0;
    std::string health = "not asked yet";
    uint64_t member = 0, leader = 0;
    std::string watch_state = "starting";
    int64_t seen_revision = 0;
    std::set<int> cards_up;             // the cards whose key is in etcd, as the watch last said
    std::map<int, CardReport> reports;  // what their keys say (kept for a card gone since)

    // The zone in effect on this card, as its tzd last reported it.
    bool reported = false;
    std::string zone;
    pid_t reporter_pid = 0;
    uint64_t reporter = 0;  // its client id; 0 once it went away

    // Following: revisions stored by this card's own pipeline, whose verifier applied them.
    std::set<int64_t> own_stores;
    std::optional<Storing> storing;
    std::optional<Settling> settling;

    // Commits made here: id (the pending key's tail) -> state.
    std::map<std::string, Outstanding> outstanding;

    // The role, as the election sees it (-1: no holder, or not known yet).
    std::unique_ptr<Election> election;
    int holder = -1;
    int64_t fence = 0;  // the role key's create revision while this card holds the role
    uint64_t pending_watch = 0;
    std::map<int64_t, Pending> queue;  // by create revision: handed to the pipeline
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

// An item key read from etcd, checked; nullopt (logged once per key) when it is not one. Its
// sequence is its mod_revision.
std::optional<StoredItem> item_of(const etcd::KeyValue &kv) {
    static std::set<std::string> logged;
    std::string base = A->root + "cfg";
    StoredItem it;
    it.sequence = uint64_t(kv.mod_revision);
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

// ---- following ----

// Hands one change over; this card's verifiers get it unless its own pipeline put it into
// effect already (a store made while another card held the role, or with etcdctl, they need).
void hand_over(const std::string &path, bool deleted, int64_t revision,
               const std::vector<uint8_t> &value) {
    bool own = A->own_stores.erase(revision) > 0;
    // The store in progress, whose answer is still on its way.
    if (const Storing *s = A->storing ? &*A->storing : nullptr)
        own = own || (s->path == path && s->del == deleted && (deleted || s->value == value));
    cfgdb_changed(path, deleted, uint64_t(revision), value, own);
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
                auto v = cfgdb_delivered().find(it->path);
                if (v == cfgdb_delivered().end() || v->second != it->sequence)
                    hand_over(it->path, false, int64_t(it->sequence), it->value);
            }
            std::vector<std::string> gone;
            for (auto &[path, rev] : cfgdb_delivered())
                if (!present.count(path))
                    gone.push_back(path);
            for (auto &path : gone)
                hand_over(path, true, u.revision, {});
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
                    if (cfgdb_delivered().count(path))
                        hand_over(path, true, e.kv.mod_revision, {});
                    continue;
                }
                if (auto it = item_of(e.kv))
                    hand_over(it->path, false, int64_t(it->sequence), it->value);
            }
            A->seen_revision = std::max(A->seen_revision, u.revision);
            return;
    }
}

// ---- the card's lease ----

// The card key's value: the card's platformd, its ready programs and role-event registrations,
// and the zone in effect as its tzd reported it.
json card_value() {
    Router::CardCounts n = A->router->card_counts(A->opts.card);
    json v = {{"pid", getpid()},
              {"program", "platformd"},
              {"ready", A->router->ready_programs(A->opts.card)},
              {"processes", n.processes + 1},
              {"ready_processes", n.ready},
              {"role_registrations", n.registrations}};
    if (A->reported)
        v["effect"] = {
            {"zone", A->zone}, {"pid", A->reporter_pid}, {"connected", A->reporter != 0}};
    return v;
}

void put_card_key() {
    if (A->announcing) {
        A->announce_again = true;
        return;
    }
    A->announcing = true;
    A->announce_again = false;
    A->announced = card_value();
    A->etcd->put(A->root + "cards/" + std::to_string(A->opts.card), A->announced.dump(), A->lease,
                 [](const etcd::Reply &r) {
                     A->announcing = false;
                     if (!r.ok()) {
                         Server::log("cannot announce the card in etcd: " + r.reason);
                         A->announced = nullptr;  // put again on the next tick
                     } else if (A->announce_again || card_value() != A->announced) {
                         put_card_key();
                     }
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
    A->server->reply(o.requester, status, reason,
                     Writer().u64(status == 0 ? uint64_t(sequence) : 0));
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
        o.requester.client = 0;
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
                        return withdraw(id, o.requester.client != 0);
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

// ---- commit routing ----

// A commit of this card's client: a pending key, which the dLRSC takes up in create-revision
// order, whatever card it came from (this one too); the result key brings the outcome back.
void submit(const Commit &c, Client &client, const Frame &f) {
    if (!A->lease) {
        A->server->reply(client, f, CFG_ENOCONN,
                         "not connected to etcd (" + A->health + "); nothing was stored");
        return;
    }
    if (A->outstanding.size() >= MAX_OUTSTANDING) {
        A->server->reply(client, f, EBUSY, "too many commits waiting, try again");
        return;
    }
    bool del = c.flags & ITEM_DELETE;
    std::string id = hex(A->lease) + "-" + std::to_string(A->next_commit++);
    Outstanding o;
    o.requester = Server::later(client, f);
    o.path = c.path;
    o.key = A->root + "pending/" + std::to_string(A->opts.card) + "/" + id;
    o.deadline_ms = Server::now_ms() + COMMIT_TIMEOUT_MS;
    json v = {{"card", A->opts.card}, {"lease", A->lease}, {"path", c.path}, {"delete", del}};
    v["value"] = json::parse(json_of(c.value));
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

CommitEnd etcd_failure(const etcd::Reply &r, const std::string &then = {}) {
    return {r.outcome == etcd::Outcome::unknown       ? CFG_OUTCOME_UNKNOWN
            : r.outcome == etcd::Outcome::unavailable ? CFG_ENOCONN
                                                      : EIO,
            "etcd " + std::string(etcd::outcome_name(r.outcome)) + ": " + r.reason + then, 0};
}

void remove_unknown(const std::string &path, std::function<void(const CommitEnd &)> done) {
    etcd::Txn t;
    t.compare.push_back(
        etcd::Compare::create_revision(cfg_key(path), 0, etcd::Compare::Op::greater));
    t.success.push_back(etcd::TxnOp::del(cfg_key(path)));
    A->etcd->txn(t, [done](const etcd::Reply &r) {
        if (r.ok())
            return done({0, "", uint64_t(r.revision)});
        if (r.outcome == etcd::Outcome::compare_failed)
            return done({ENOENT, "", 0});
        done(etcd_failure(r));
    });
}

// ---- the dLRSC's part: stores and results ----

bool is_holder() {
    return A->holder == A->opts.card;
}

void reread_pending();

// Ends pending commit CREATED without a store: the result key carries STATUS and REASON back.
void refuse(int64_t created, uint32_t status, const std::string &reason) {
    auto it = A->queue.find(created);
    if (it == A->queue.end())
        return;
    const Pending &p = it->second;
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
        else if (!r.ok())
            reread_pending();  // the role moved meanwhile: if it came back, take it up again
    });
    A->queue.erase(it);
}

// The fenced store: only while this card still holds the role as it took the commit up (the key's
// create revision then, never the holder's of now), and the requester still waits for this
// commit (its pending key is the one taken up).
void store(const Commit &c, std::function<void(StoreResult)> done) {
    auto it = A->queue.find(int64_t(c.ticket));
    if (it == A->queue.end())
        return done({StoreOutcome::withdrawn, {}});
    const Pending &p = it->second;
    A->storing = Storing{p.path, p.del, p.value};
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
    int64_t created = p.created, fence = p.fence;
    std::string path = p.path;
    A->etcd->txn(t, [created, fence, path, done](const etcd::Reply &r) {
        A->storing.reset();
        if (r.ok()) {
            // The verifier has it in effect; the watch need not hand it over again (unless the
            // watch was quicker than this answer).
            if (A->seen_revision < r.revision)
                A->own_stores.insert(r.revision);
            A->counters.stored++;
            A->queue.erase(created);
            return done({StoreOutcome::ok, {0, "", uint64_t(r.revision)}});
        }
        switch (r.outcome) {
            case etcd::Outcome::compare_failed: {
                bool role_moved = r.kvs.empty() || r.kvs[0].create_revision != fence;
                if (role_moved) {
                    // Its refusal is fenced too: the pending key stays for the new holder.
                    std::string why =
                        "card " + std::to_string(A->opts.card) + " no longer holds the dLRSC role";
                    Server::log("commit of " + path + " not stored: " + why);
                    return done({StoreOutcome::failed, {EAGAIN, why, 0}});
                }
                A->queue.erase(created);
                return done({StoreOutcome::withdrawn, {}});  // its requester has its answer
            }
            case etcd::Outcome::absent:  // the requester's lease is gone
                A->queue.erase(created);
                return done({StoreOutcome::withdrawn, {}});
            case etcd::Outcome::unknown:
                Server::log("store of " + path + ": outcome unknown (" + r.reason +
                            "); no further commit until etcd tells");
                A->settling = Settling{created, Server::now_ms() + SETTLE_EVERY_MS, done};
                return;
            default: {
                CommitEnd e = etcd_failure(r, "); the stored item is unchanged");
                e.reason = "applied but not stored (" + e.reason;
                return done({StoreOutcome::failed, e});
            }
        }
    });
}

// After a store whose outcome was unknown: a quorum read of the pending key decides it, since
// etcd answers one only once everything proposed before is applied or lost for good. Still
// there: the store did not happen, and the requester hears so. Gone: stored, or withdrawn by
// its requester. Either way the verifier is handed what is stored.
void settle() {
    Settling &s = *A->settling;
    s.deadline_ms = Server::now_ms() + SETTLE_EVERY_MS;
    auto it = A->queue.find(s.created);
    std::string key = it == A->queue.end() ? std::string() : it->second.key;
    std::string path = it == A->queue.end() ? std::string() : it->second.path;
    int64_t created = s.created;
    A->etcd->range(key, false, 0, [created, path](const etcd::Reply &r) {
        if (!A->settling || A->settling->created != created)
            return;
        if (r.outcome != etcd::Outcome::ok && r.outcome != etcd::Outcome::absent)
            return;  // not yet: asked again on a later tick
        auto done = std::move(A->settling->done);
        A->settling.reset();
        bool pending = r.ok() && !r.kvs.empty() && r.kvs[0].create_revision == created;
        Server::log("store of " + path + " settled: " + (pending ? "not stored" : "done"));
        if (pending)
            return done({StoreOutcome::failed,
                         {CFG_ENOCONN, "not stored: etcd did not answer the store in time", 0}});
        A->queue.erase(created);
        done({StoreOutcome::withdrawn, {0, "its store settled after its outcome was unknown", 0}});
    });
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

// The dLRSC follows the pending keys: each one is a commit for its pipeline, in create-revision
// order; one whose key went (withdrawn) is taken off unless it is in progress (its store then
// fails on the pending key's create revision).
void forget(int64_t created) {
    if (cfgdb_dequeue(uint64_t(created)))
        A->queue.erase(created);
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
        Commit c;
        c.ticket = uint64_t(p->created);
        c.path = p->path;
        c.flags = p->del ? ITEM_DELETE : 0;
        c.value = p->value;
        c.origin = " from card " + std::to_string(p->card);
        p->fence = A->fence;
        A->queue[p->created] = std::move(*p);
        cfgdb_enqueue(std::move(c));
    };
    if (u.kind == K::snapshot) {
        std::set<int64_t> present;
        for (auto &kv : u.kvs)
            present.insert(kv.create_revision);
        std::vector<int64_t> gone;
        for (auto &[created, p] : A->queue)
            if (!present.count(created))
                gone.push_back(created);
        for (int64_t created : gone)
            forget(created);
        for (auto &kv : u.kvs)
            add(kv);
    } else if (u.kind == K::events) {
        for (auto &e : u.events) {
            if (!e.deleted) {
                add(e.kv);
                continue;
            }
            for (auto &[created, p] : A->queue)
                if (p.key == e.kv.key) {
                    forget(created);
                    break;
                }
        }
    }
}

// The cards up (whose key exists) and what their keys say, for status, zones and role show.
void on_cards_watch(const etcd::WatchUpdate &u) {
    std::string base = A->root + "cards/";
    auto card_of = [&](const std::string &key) {
        char *end = nullptr;
        long n = strtol(key.c_str() + std::min(base.size(), key.size()), &end, 10);
        return *end || n < 0 || n > Router::MAX_CARD ? -1 : int(n);
    };
    auto up = [](int n, const etcd::KeyValue &kv) {
        const std::string &value = kv.value;
        A->cards_up.insert(n);
        // This card's own key as etcd holds it (the watch goes in revision order, so the last
        // event is what is stored): a put that landed late, or anyone else's write, is put back.
        if (n == A->opts.card) {
            A->put_back = value != A->announced.dump();
            if (A->put_back && kv.lease != A->lease && kv.lease != A->other_writer) {
                A->other_writer = kv.lease;
                Server::log("card " + std::to_string(n) + "'s key in etcd was written on lease " +
                            hex(kv.lease) + ", not this platformd's; putting it back");
            }
        }
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
        if (!j.is_discarded() && j.is_object()) {
            auto count = [&](const char *name) {
                return j.contains(name) && j[name].is_number_unsigned()
                           ? uint32_t(std::min<uint64_t>(j[name].get<uint64_t>(), 1000000))
                           : 0;
            };
            rep.processes = std::max<uint32_t>(1, count("processes"));
            rep.ready = count("ready_processes");
            rep.registrations = count("role_registrations");
        }
        // A card that reported once keeps its last report while its key is gone.
        if (!rep.reported && A->reports.count(n)) {
            const CardReport &old = A->reports[n];
            rep.reported = old.reported;
            rep.zone = old.zone;
            rep.pid = old.pid;
            rep.connected = old.connected;
        }
        A->reports[n] = rep;
    };
    if (u.kind == etcd::WatchUpdate::Kind::snapshot) {
        A->cards_up.clear();
        for (auto &kv : u.kvs)
            if (int n = card_of(kv.key); n >= 0)
                up(n, kv);
    } else if (u.kind == etcd::WatchUpdate::Kind::events) {
        for (auto &e : u.events)
            if (int n = card_of(e.kv.key); n >= 0) {
                if (e.deleted)
                    A->cards_up.erase(n);
                else
                    up(n, e.kv);
            }
    }
}
// ---- the role ----

// The election's view changed: HOLDER is the dLRSC as this card sees it (-1: none), FENCE this
// card's create revision of the role key while it holds the role.
void on_role(int holder, int64_t fence, const std::string &why) {
    bool was = is_holder();
    bool refenced = was && holder == A->opts.card && fence != A->fence;
    A->holder = holder;
    A->fence = fence;
    A->router->follow_dlrsc(holder, why);
    if (!is_holder() || refenced) {
        // Queued commits were taken up under the old fence; a holder takes them up again.
        if (A->pending_watch)
            A->etcd->cancel_watch(A->pending_watch);
        A->pending_watch = 0;
        std::vector<int64_t> queued;
        for (auto &[created, p] : A->queue)
            queued.push_back(created);
        for (int64_t created : queued)
            forget(created);
    }
    if (is_holder() && !A->pending_watch)
        A->pending_watch = A->etcd->watch(A->root + "pending/", true, 0, on_pending_watch, true);
    cfgdb_pump();
}

// A refusal that found the role moved: the pending keys are read again if this card holds the
// role (again), so that the commit it gave up is taken up under the new fence.
void reread_pending() {
    if (!is_holder())
        return;
    if (A->pending_watch)
        A->etcd->cancel_watch(A->pending_watch);
    A->pending_watch = A->etcd->watch(A->root + "pending/", true, 0, on_pending_watch, true);
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
    Later l = Server::later(c, f);
    A->election->set_wanted(int(card), flags & ROLE_SET_FORCE,
                            [l](uint32_t status, const std::string &reason, int previous) {
                                Writer w;
                                w.u32(uint32_t(previous));
                                A->server->reply(l, status, reason, w);
                            });
}

// `role show`: every card of the router as the cards' keys say, the ones that are gone since
// as down.
void on_role_show(Client &c, const Frame &f) {
    std::map<int, CardReport> cards;
    for (auto &[n, rep] : A->reports)
        cards[n] = A->cards_up.count(n) ? rep : CardReport{};
    int holder = A->router->dlrsc();
    cards.emplace(holder, CardReport{});
    Writer w;
    w.u32(uint32_t(holder)).u32(uint32_t(cards.size()));
    for (auto &[card, rep] : cards)
        w.u32(uint32_t(card)).u32(rep.processes).u32(rep.ready).u32(rep.registrations);
    A->server->reply(c, f, 0, {}, w);
}

// ---- the zone in effect on the cards ----

// The stored time-zone item, and the zone in effect on every card that reported or is up.
void zones(Client &c, const Frame &f) {
    Later l = Server::later(c, f);
    A->etcd->range(
        cfg_key(CFG_TZ_ITEM), false, 0,
        [l](const etcd::Reply &r) {
            if (!A->server->client(l))
                return;
            if (!r.ok() && r.outcome != etcd::Outcome::absent) {
                A->server->reply(l, CFG_ENOCONN, "etcd: " + r.reason);
                return;
            }
            std::optional<StoredItem> item;
            if (r.ok() && !r.kvs.empty())
                item = item_of(r.kvs[0]);
            std::map<int, CardReport> cards = A->reports;
            for (int n : A->cards_up)
                cards.emplace(n, CardReport{});
            // This card's own report is the freshest there is.
            CardReport &own = cards[A->opts.card];
            if (A->reported) {
                Client *k = A->server->client(A->reporter);
                own.reported = true;
                own.zone = A->zone;
                own.pid = A->reporter_pid;
                own.connected = k && !k->closing;
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
            A->server->reply(l, 0, "", body);
        },
        0, true);
}

// This card's report of the zone in effect; the card key in etcd carries it to the other cards.
void effect(Client &c, const std::string &zone) {
    bool changed = !A->reported || A->zone != zone || A->reporter != c.id;
    A->reported = true;
    A->zone = zone;
    A->reporter_pid = c.pid;
    A->reporter = c.id;
    if (changed && A->lease)
        put_card_key();
}

// ---- reads ----

// The item at PATH (PREFIX: every item below), from a member's own copy unless LATEST: queries
// need no quorum.
void read(const std::string &path, bool prefix, bool latest, ReadDone done) {
    A->etcd->range(
        cfg_key(path), prefix, 0,
        [done](const etcd::Reply &r) {
            ReadResult out;
            if (!r.ok() && r.outcome != etcd::Outcome::absent) {
                out.status = CFG_ENOCONN;
                out.reason = "etcd: " + r.reason;
            } else {
                for (auto &kv : r.kvs)
                    if (auto it = item_of(kv))
                        out.items.push_back(std::move(*it));
            }
            done(std::move(out));
        },
        0, !latest);
}

void on_gone(Client &c) {
    if (A->reported && A->reporter == c.id) {
        A->reporter = 0;
        if (A->lease)
            put_card_key();
    }
    // A committer that is gone must not have its commit stored.
    std::vector<std::string> mine;
    for (auto &[id, o] : A->outstanding)
        if (o.requester.client == c.id)
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
    bool put_back = A->put_back && now - A->last_put_back_ms >= PUT_BACK_MS;
    if (A->lease && (put_back || card_value() != A->announced)) {
        if (put_back)
            A->last_put_back_ms = now;
        A->put_back = false;
        put_card_key();
    }
    std::vector<std::string> late;
    for (auto &[id, o] : A->outstanding)
        if (!o.withdrawing && now >= o.deadline_ms)
            late.push_back(id);
    for (auto &id : late)
        withdraw(id, true);
    if (A->settling && now >= A->settling->deadline_ms)
        settle();
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
    lines.push_back("configuration: items followed " + std::to_string(cfgdb_delivered().size()));
    lines.push_back("  commits of this card: " + std::to_string(A->counters.committed) + " done, " +
                    std::to_string(A->counters.refused) + " refused, " +
                    std::to_string(A->counters.failed) + " failed, " +
                    std::to_string(A->counters.unknown) + " outcome unknown, " +
                    std::to_string(A->outstanding.size()) + " of this card waiting, " +
                    std::to_string(A->queue.size()) + " queued here, " +
                    std::to_string(A->counters.stored) + " stored as the dLRSC");
}

class ClusterMode : public Mode {
  public:
    void get(const std::string &path, bool latest, ReadDone done) override {
        read(path, false, latest, done);
    }
    void scan(const std::string &prefix, ReadDone done) override {
        read(prefix, true, false, done);
    }
    void store(const Commit &c, std::function<void(StoreResult)> done) override {
        platformd::store(c, std::move(done));
    }
    void remove_unknown(const std::string &path,
                        std::function<void(const CommitEnd &)> done) override {
        platformd::remove_unknown(path, std::move(done));
    }
    void submit(Commit c, Client &requester, const Frame &request) override {
        platformd::submit(c, requester, request);
    }
    // The sequence is the store's revision, known once stored.
    uint64_t next_sequence() override { return 0; }
    bool verifies() const override { return is_holder(); }
    // The fenced store finds out: it compares the pending key.
    bool abandoned(const Commit &) override { return false; }
    void end(const Commit &c, const CommitEnd &e) override {
        if (e.status == 0)
            A->queue.erase(int64_t(c.ticket));  // the store wrote the result
        else
            refuse(int64_t(c.ticket), e.status, e.reason);
    }
    std::string no_verifier_text() override {
        return " on card " + std::to_string(A->opts.card) + ", which holds the dLRSC role";
    }
    void effect(Client &reporter, const std::string &zone) override {
        platformd::effect(reporter, zone);
    }
    void zones(Client &c, const Frame &f) override { platformd::zones(c, f); }
    void status(std::vector<std::string> &lines) override { platformd::status(lines); }
};

}  // namespace

std::unique_ptr<Mode> cluster_mode(Server &server, Router &router, const ClusterOptions &options,
                                   std::string &error) {
    static Agent agent;
    A = &agent;
    A->server = &server;
    A->router = &router;
    A->opts = options;
    if (A->opts.router.empty() || A->opts.router.find('/') != std::string::npos) {
        error = "PLATFORM_ROUTER must be a name without '/': '" + A->opts.router + "'";
        return nullptr;
    }
    A->root = "/" + A->opts.router + "/";
    etcd::Options eo;
    eo.endpoints = etcd::split_endpoints(options.endpoints);
    if (eo.endpoints.empty()) {
        error = "PLATFORM_ETCD names no endpoint";
        return nullptr;
    }
    A->etcd = std::make_unique<etcd::Client>(eo);
    if (!server.watch_fd(A->etcd->fd(), [] { A->etcd->dispatch(); })) {
        error = "cannot watch the etcd client's descriptor";
        return nullptr;
    }
    server.handle(T_CTL_ROLE_SET, on_role_set);
    server.handle(T_CTL_ROLE_SHOW, on_role_show);
    server.on_client_gone(on_gone);
    server.on_tick(on_tick);
    A->etcd->watch(A->root + "cfg/", true, 0, on_cfg_watch, true);
    A->election =
        std::make_unique<Election>(*A->etcd, A->root, A->opts.card, LEASE_TTL_S * 1000, on_role);
    A->election->start();
    A->etcd->watch(A->root + "cards/", true, 0, on_cards_watch, true);
    A->etcd->watch(A->root + "result/" + std::to_string(options.card) + "/", true, 0,
                   on_result_watch, true);
    grant_lease();
    return std::make_unique<ClusterMode>();
}

}  // namespace platformd
