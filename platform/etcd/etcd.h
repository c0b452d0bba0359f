// A client of an etcd v3 cluster over its HTTP/JSON gateway (/v3/...), for platformd in cluster
// mode and for the tools and tests around it.
//
// How it runs
// -----------
// One worker thread per Client does all the HTTP (libcurl's multi interface: every call and every
// watch stream is a transfer of its own, so a slow call never holds up another). Nothing the
// caller does blocks on the network:
// - Asynchronous calls (range, put, ...) take a callback. It runs on the caller's thread, inside
//   dispatch(), which the caller runs whenever fd() (an eventfd) is readable: put fd() in the
//   epoll set beside the other descriptors of the loop.
// - Watches deliver their updates the same way, in order.
// - The *_sync forms wait for the answer on the calling thread and return it; they are for tests
//   and tools, never for the daemon's loop.
//
// Deadlines and endpoints
// -----------------------
// Every call ends by its deadline (Options::call_timeout_ms unless given) with an Outcome. The
// endpoints are tried in turn, starting with the one that last answered (after a failure on a
// member, the next call starts on the one after it). A read moves on to the next endpoint on any
// failure while time is left. A write moves on only when it cannot have reached etcd (no
// connection could be made, not one byte of it was sent, or the member answered that it has no
// leader);
// once a write may have been proposed, a failure is Outcome::unknown and it is not sent again,
// because a second copy could be applied too. A lease renewal does no harm twice: it moves on
// like a read, and when no member acknowledged it in time it is unavailable.
//
// Watches
// -------
// A watch follows a key range from a revision. When its stream breaks (the member died, or stops
// answering the probe that runs while the stream is idle) it is opened again on another endpoint
// from the revision after the last one delivered, so no event is lost or delivered twice. When
// that revision has been compacted, the watch reads the whole range and delivers it as a
// snapshot, then follows on from the revision of that read; the receiver works out what changed,
// deletions included.
#pragma once

#include <stdint.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform::etcd {

// What became of a call. A caller must tell these apart; outcome_name() gives each a word.
enum class Outcome : uint8_t {
    ok,              // done as asked
    absent,          // the key, or the lease, does not exist (nothing was deleted, renewed, ...)
    compare_failed,  // a transaction's comparisons did not hold; its failure branch ran
    unavailable,     // not done: no endpoint answered in time, or etcd has no quorum; a write
                     // with this outcome was never proposed
    unknown,         // a write whose fate is unknown: it may have been applied, or may still be
    compacted,       // the revision asked for has been compacted away
    rejected,        // etcd refused the request (bad argument, too large, ...); REASON says why
};
const char *outcome_name(Outcome);

struct KeyValue {
    std::string key, value;
    int64_t create_revision = 0;
    int64_t mod_revision = 0;
    int64_t version = 0;
    int64_t lease = 0;
};

// The answer to a call. Fields that do not apply to the call stay zero.
struct Reply {
    Outcome outcome = Outcome::unavailable;
    std::string reason;         // empty when ok; otherwise why, in words
    std::string endpoint;       // the member that answered, or the last one tried
    int64_t revision = 0;       // the store's revision when the member answered
    uint64_t member = 0;        // the answering member's ID
    uint64_t leader = 0;        // status: the member it takes for the leader (0: none)
    std::vector<KeyValue> kvs;  // range; a transaction's range operations, in order
    int64_t count = 0;          // range: keys in the range; delete: keys deleted
    bool more = false;          // range: a limit left keys out
    int64_t lease = 0;          // lease grant and keep-alive: the lease's ID
    int64_t ttl = 0;            // lease grant and keep-alive: seconds the lease now has
    // Monotonic milliseconds (CLOCK_MONOTONIC) when the request that got this answer was sent.
    // A lease holder counts its lease's life from the send time of its last acknowledged
    // keep-alive, never from the arrival of the answer.
    int64_t sent_ms = 0;
    bool ok() const { return outcome == Outcome::ok; }
};

// One comparison of a transaction.
struct Compare {
    enum class Target : uint8_t { create_revision, mod_revision, version, value };
    enum class Op : uint8_t { equal, not_equal, less, greater };
    Target target = Target::value;
    Op op = Op::equal;
    std::string key;
    int64_t number = 0;  // for the revision and version targets; 0 means "the key is absent"
    std::string value;   // for Target::value

    static Compare create_revision(std::string key, int64_t rev, Op op = Op::equal) {
        return {Target::create_revision, op, std::move(key), rev, {}};
    }
    static Compare mod_revision(std::string key, int64_t rev, Op op = Op::equal) {
        return {Target::mod_revision, op, std::move(key), rev, {}};
    }
    static Compare value_is(std::string key, std::string value, Op op = Op::equal) {
        return {Target::value, op, std::move(key), 0, std::move(value)};
    }
    // The key does not exist (its create revision is 0).
    static Compare absent(std::string key) { return create_revision(std::move(key), 0); }
};

// One operation of a transaction's branch.
struct TxnOp {
    enum class Kind : uint8_t { get, put, del } kind = Kind::get;
    std::string key, value;
    bool prefix = false;  // get and del: every key that begins with KEY
    int64_t lease = 0;    // put: attach the key to this lease

    static TxnOp get(std::string key, bool prefix = false) {
        return {Kind::get, std::move(key), {}, prefix, 0};
    }
    static TxnOp put(std::string key, std::string value, int64_t lease = 0) {
        return {Kind::put, std::move(key), std::move(value), false, lease};
    }
    static TxnOp del(std::string key, bool prefix = false) {
        return {Kind::del, std::move(key), {}, prefix, 0};
    }
};

struct Txn {
    std::vector<Compare> compare;
    std::vector<TxnOp> success, failure;
};

// What a watch hands its receiver.
struct WatchUpdate {
    enum class Kind : uint8_t {
        events,    // EVENTS happened, in order; REVISION is the last one's
        snapshot,  // the whole range as it is at REVISION (KVS); after a compaction
        broken,    // the stream broke (REASON); it is being opened again
        resumed,   // the stream is open on ENDPOINT, from revision REVISION + 1
    } kind = Kind::events;
    struct Event {
        bool deleted = false;
        KeyValue kv;  // for a deletion: the key and its mod_revision (the deletion's)
    };
    std::vector<Event> events;
    std::vector<KeyValue> kvs;
    int64_t revision = 0;
    std::string endpoint;
    std::string reason;
};

struct Options {
    std::vector<std::string> endpoints;  // "http://HOST:PORT"
    int call_timeout_ms = 2000;          // the deadline of a call that gives none
    int attempt_timeout_ms = 1000;       // a read's attempt on one endpoint
    int connect_timeout_ms = 500;
    // A watch whose stream has been silent this long checks its member with a quorum read, and
    // moves to another endpoint when that fails.
    int watch_probe_ms = 1000;
    int watch_retry_ms = 200;  // pause before a broken watch is opened again
};

// Splits "http://a:1,http://b:2" (the form of PLATFORM_ETCD) into endpoints; empty parts are
// dropped.
std::vector<std::string> split_endpoints(const std::string &list);

class Client {
  public:
    using Done = std::function<void(const Reply &)>;
    using WatchFn = std::function<void(const WatchUpdate &)>;

    // Starts the worker thread. The endpoints are not contacted until the first call.
    explicit Client(Options options);
    // Stops the worker; calls still in flight end unanswered (their callbacks never run).
    ~Client();
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    const Options &options() const { return options_; }
    // Readable when dispatch() has callbacks to run.
    int fd() const;
    // Runs the callbacks and watch updates that are ready, on the calling thread; how many.
    size_t dispatch();
    // The endpoint that last answered ("" before any did).
    std::string endpoint() const;

    // ---- key-value ----
    // KEY, or with PREFIX every key that begins with KEY, as of REVISION (0: the latest).
    // absent when there is no such key. A quorum read unless LOCAL: then the answering member's
    // own copy, which may be behind but is there without a quorum.
    void range(const std::string &key, bool prefix, int64_t revision, Done done, int timeout_ms = 0,
               bool local = false);
    void put(const std::string &key, const std::string &value, int64_t lease, Done done,
             int timeout_ms = 0);
    // absent when there was nothing to delete.
    void del(const std::string &key, bool prefix, Done done, int timeout_ms = 0);
    // ok when the comparisons held, compare_failed when they did not.
    void txn(const Txn &txn, Done done, int timeout_ms = 0);
    void compact(int64_t revision, Done done, int timeout_ms = 0);

    // ---- leases ----
    void lease_grant(int64_t ttl_s, Done done, int timeout_ms = 0);
    // One renewal; absent when the lease has expired or never existed.
    void lease_keepalive(int64_t lease, Done done, int timeout_ms = 0);
    void lease_revoke(int64_t lease, Done done, int timeout_ms = 0);

    // The answering member's status: MEMBER, LEADER and REVISION. Needs no quorum.
    void status(Done done, int timeout_ms = 0);

    // ---- watches ----
    // Follows KEY (with PREFIX, every key below it) from revision FROM (0: from now; a watch
    // from now starts with a snapshot). With RESYNC, a broken stream is followed by a snapshot
    // rather than resumed, for a receiver that reconciles on every reconnection. Returns an ID
    // for cancel_watch().
    uint64_t watch(const std::string &key, bool prefix, int64_t from, WatchFn fn,
                   bool resync = false);
    void cancel_watch(uint64_t id);

    // ---- blocking forms, for tests and tools ----
    Reply range_sync(const std::string &key, bool prefix = false, int64_t revision = 0,
                     int timeout_ms = 0, bool local = false);
    Reply put_sync(const std::string &key, const std::string &value, int64_t lease = 0,
                   int timeout_ms = 0);
    Reply del_sync(const std::string &key, bool prefix = false, int timeout_ms = 0);
    Reply txn_sync(const Txn &txn, int timeout_ms = 0);
    Reply compact_sync(int64_t revision, int timeout_ms = 0);
    Reply lease_grant_sync(int64_t ttl_s, int timeout_ms = 0);
    Reply lease_keepalive_sync(int64_t lease, int timeout_ms = 0);
    Reply lease_revoke_sync(int64_t lease, int timeout_ms = 0);
    Reply status_sync(int timeout_ms = 0);

    struct Worker;

  private:
    Options options_;
    std::unique_ptr<Worker> worker_;
};

// The key right after every key that begins with PREFIX (etcd's range_end for a prefix).
std::string prefix_end(const std::string &prefix);

std::string base64_encode(const std::string &in);
// False when IN is not valid base64.
bool base64_decode(const std::string &in, std::string *out);

}  // namespace platform::etcd
