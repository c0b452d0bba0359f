// Where the configuration lives and how commits travel: the part of platformd that differs
// between its two modes. main.cpp picks one at start, from PLATFORM_ETCD:
// - EmbeddedMode (embedded.cpp): one platformd for the router, the items in SQLite (store.h),
//   the role kept by Router beside them;
// - ClusterMode (cluster.cpp): one platformd per card, the items, the cards and the role in etcd.
// Everything else (the frames, registrations, the verify/apply pipeline, handing stored state
// over) is cfgdb.cpp's and the same in both; it talks to the mode only through this interface.
//
// Every read and store answers through a callback, so that the embedded mode (which answers at
// once, from SQLite, possibly before the call returns) and the cluster mode (which answers when
// etcd does) look the same to cfgdb.cpp.
#pragma once

#include <stdint.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "server.h"
#include "store.h"

namespace platformd {

using platform::cfgdb::StoredItem;

// A read's answer: status 0 with the items (in path order; none for a get of a missing item),
// or the status (EIO, CFG_ENOCONN) and reason a client is answered with.
struct ReadResult {
    uint32_t status = 0;
    std::string reason;
    std::vector<StoredItem> items;
};
using ReadDone = std::function<void(ReadResult)>;

// How a commit ended, for its requester: status 0 (SEQUENCE is the stored item's), an errno
// value, or CFG_OUTCOME_UNKNOWN, with the reason.
struct CommitEnd {
    uint32_t status = 0;
    std::string reason;
    uint64_t sequence = 0;
};

// What the store made of a commit that its verifier applied.
enum class StoreOutcome {
    ok,         // stored; the requester has been answered or is answered by end()
    withdrawn,  // its requester gave up or went away first: not stored, nobody to answer (END's
                // reason, when there is one, is for the log)
    failed,     // not stored: END says why (the card lost the role, etcd refused, disk full...)
};
struct StoreResult {
    StoreOutcome outcome = StoreOutcome::failed;
    CommitEnd end;
};

// A commit as this card's pipeline verifies, applies and stores it.
struct Commit {
    uint64_t ticket = 0;  // the mode's: the one order of commits, and how it finds the requester
    uint64_t id = 0;      // the pipeline's, sent to the verifier
    std::string path;
    uint32_t flags = 0;  // ITEM_DELETE
    std::vector<uint8_t> value;
    uint64_t sequence = 0;  // sent to the verifier (embedded: the one it will be stored with)
    std::string origin;     // for logs: "" for this card's client, " from card N" otherwise
};

class Mode {
  public:
    virtual ~Mode() = default;

    // ---- store ----
    // The item at PATH. LATEST: the read sees every store acknowledged before it (a deletion's
    // check); queries take what the store has at hand (a member's own copy needs no quorum).
    virtual void get(const std::string &path, bool latest, ReadDone done) = 0;
    // Every item whose path begins with PREFIX (byte-wise): queries, and the stored state handed
    // to registrants.
    virtual void scan(const std::string &prefix, ReadDone done) = 0;
    // Stores C, which its verifier on this card accepted and applied; the cluster mode fences it
    // on the role. Items a store changes reach the registrants through cfgdb_changed().
    virtual void store(const Commit &c, std::function<void(StoreResult)> done) = 0;
    // Removes an item stored where the schema knows none, without a verifier (its verifier
    // would take any name below it for the time-zone item). ENOENT when there is none.
    virtual void remove_unknown(const std::string &path,
                                std::function<void(const CommitEnd &)> done) = 0;

    // ---- commit routing ----
    // A commit REQUESTER made (checked already: path, tuple, schema, permission); the mode
    // answers REQUEST, now or once the commit ended. Commits this card is to verify reach the
    // pipeline through cfgdb_enqueue(), in the one order.
    virtual void submit(Commit c, Client &requester, const proto::Frame &request) = 0;
    // The sequence the verifier is told for the commit it is handed now: the embedded mode's
    // next, never reused; 0 where the store gives it (the cluster mode's revision).
    virtual uint64_t next_sequence() = 0;
    // Whether the pipeline may take up commits now (the cluster mode: while this card holds the
    // role).
    virtual bool verifies() const = 0;
    // True when the requester of C no longer waits: dropped before its verifier applies it.
    virtual bool abandoned(const Commit &c) = 0;
    // C ended on the pipeline without a store, or its store failed: tells the requester.
    virtual void end(const Commit &c, const CommitEnd &e) = 0;

    // ---- roles ----
    // For a commit that found no verifier: where it was looked for and who holds the role.
    // (The role frames are the mode's: Router serves them in the embedded mode, where it keeps
    // the role in the SQLite file; ClusterMode takes role set and role show over.)
    virtual std::string no_verifier_text() = 0;

    // ---- cards ----
    // A client with a registration reported the zone in effect on its card;
    // ZONES answers `T_CFG_ZONES` for every card of the router.
    virtual void effect(Client &reporter, const std::string &zone) = 0;
    virtual void zones(Client &c, const proto::Frame &request) = 0;

    // ---- status ----
    // Lines for `platformctl status`, before the pipeline's.
    virtual void status(std::vector<std::string> &lines) = 0;
};

// The configuration database's entry points for the modes (cfgdb.cpp).
// A commit for this card's verifier; it waits its turn behind those already queued with a
// lower ticket.
void cfgdb_enqueue(Commit c);
// The commit with TICKET is no longer wanted: taken off unless it is in progress (false then).
bool cfgdb_dequeue(uint64_t ticket);
// Looks at the queue again (the mode may verify now).
void cfgdb_pump();
// An item changed (DELETED: removed), made on any card, in order: its notification registrants
// hear of it, and this card's verifiers too unless APPLIED (this card's pipeline applied it, as
// commit COMMIT when known).
void cfgdb_changed(const std::string &path, bool deleted, uint64_t sequence,
                   const std::vector<uint8_t> &value, bool applied, uint64_t commit = 0);
// What was last handed to the notification registrants: path -> sequence.
const std::map<std::string, uint64_t> &cfgdb_delivered();

// The embedded mode, with its database in STATEDIR (created when missing); null with the reason
// in ERROR.
std::unique_ptr<Mode> embedded_mode(Server &, const std::string &statedir, std::string &error);

}  // namespace platformd
