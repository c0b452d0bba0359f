// The embedded mode: one platformd for the whole router, the items in SQLite. Reads and stores
// answer before they return; a commit goes straight into this daemon's pipeline, and its answer
// goes back on the committer's connection.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "mode.h"
#include "platform/env.h"
#include "platform/proto_cfg.h"
#include "router.h"

namespace platformd {
namespace {

using namespace platform::proto;
using platform::cfgdb::Store;

constexpr size_t MAX_QUEUE = 1000;

class EmbeddedMode : public Mode {
  public:
    EmbeddedMode(Server &server, std::string file, std::unique_ptr<Store> store)
        : server_(server), file_(std::move(file)), store_(std::move(store)) {}

    void get(const std::string &path, bool, ReadDone done) override {
        ReadResult r;
        std::string err;
        if (auto item = store_->get(path, &err))
            r.items.push_back(std::move(*item));
        else if (!err.empty())
            r = {EIO, err, {}};
        done(std::move(r));
    }

    void scan(const std::string &prefix, ReadDone done) override {
        ReadResult r;
        std::string err;
        if (!store_->scan_prefix(prefix, &r.items, &err))
            r = {EIO, err, {}};
        done(std::move(r));
    }

    void store(const Commit &c, std::function<void(StoreResult)> done) override {
        std::string err;
        bool del = c.flags & ITEM_DELETE;
        bool ok = del ? store_->remove(c.path, c.sequence, &err)
                      : store_->put(c.path, c.value, c.sequence, &err);
        if (!ok)
            return done({StoreOutcome::failed,
                         {EIO,
                          "applied but not stored (" + err +
                              "); the stored item is unchanged and was handed back to the verifier",
                          0}});
        cfgdb_changed(c.path, del, c.sequence, c.value, true, c.id);
        done({StoreOutcome::ok, {0, "", c.sequence}});
    }

    void remove_unknown(const std::string &path,
                        std::function<void(const CommitEnd &)> done) override {
        std::string err;
        if (!store_->get(path, &err))
            return done({err.empty() ? uint32_t(ENOENT) : uint32_t(EIO), err, 0});
        uint64_t seq = next_sequence();
        if (!store_->remove(path, seq, &err))
            return done({EIO, err, 0});
        done({0, "", seq});
    }

    void submit(Commit c, Client &requester, const Frame &request) override {
        if (waiting_.size() >= MAX_QUEUE) {
            server_.reply(requester, request, EBUSY, "too many commits waiting, try again");
            return;
        }
        c.ticket = next_ticket_++;
        waiting_[c.ticket] = Server::later(requester, request);
        cfgdb_enqueue(std::move(c));
    }

    uint64_t next_sequence() override {
        // Never reused, not even those of commits that failed, so a client can tell an item it
        // applied from an older stored one.
        next_sequence_ = std::max(next_sequence_, store_->last_sequence() + 1);
        return next_sequence_++;
    }

    bool verifies() const override { return true; }

    bool abandoned(const Commit &c) override {
        auto it = waiting_.find(c.ticket);
        if (it == waiting_.end())
            return true;
        if (server_.client(it->second))
            return false;
        waiting_.erase(it);
        return true;
    }

    void end(const Commit &c, const CommitEnd &e) override {
        auto it = waiting_.find(c.ticket);
        if (it == waiting_.end())
            return;
        server_.reply(it->second, e.status, e.reason, Writer().u64(e.sequence));
        waiting_.erase(it);
    }

    std::string no_verifier_text() override {
        // Where the verifier would be: the role's holder and its tzd.
        Router *holder = router();
        return holder ? "; " + holder->holder_text() : std::string();
    }

    void effect(Client &c, const std::string &zone) override {
        // Bounded: card numbers come from the clients.
        if (c.card < 0 || (effects_.size() >= 1000 && !effects_.count(c.card)))
            return;
        Effect &e = effects_[c.card];
        e.zone = zone;
        e.pid = c.pid;
        e.client = c.id;
    }

    void zones(Client &c, const Frame &f) override {
        std::string err;
        auto stored = store_->get(CFG_TZ_ITEM, &err);
        if (!stored && !err.empty()) {
            server_.reply(c, f, EIO, err);
            return;
        }
        // Every card that reported, and every card with a process connected.
        std::map<int, const Effect *> cards;
        for (auto &[card, e] : effects_)
            cards[card] = &e;
        server_.for_each_client([&](Client &k) {
            if (k.hello && !k.observer && k.card >= 0)
                cards.emplace(k.card, nullptr);
        });
        Writer body;
        body.str(CFG_TZ_ITEM)
            .u8(stored ? 1 : 0)
            .bytes(stored ? stored->value : std::vector<uint8_t>());
        body.u32(uint32_t(cards.size()));
        for (auto &[card, e] : cards) {
            Client *k = e ? server_.client(e->client) : nullptr;
            body.u32(uint32_t(card)).u8(e ? 1 : 0).str(e ? e->zone : std::string());
            body.u32(e ? uint32_t(e->pid) : 0).u8(k && !k->closing ? 1 : 0);
        }
        server_.reply(c, f, 0, "", body);
    }

    void status(std::vector<std::string> &lines) override {
        lines.push_back("configuration database: " + file_);
    }

  private:
    // The zone in effect on a card, as the card last reported it.
    struct Effect {
        std::string zone;  // empty: none
        pid_t pid = 0;
        uint64_t client = 0;
    };

    Server &server_;
    std::string file_;
    std::unique_ptr<Store> store_;
    uint64_t next_ticket_ = 1;
    uint64_t next_sequence_ = 1;
    std::map<uint64_t, Later> waiting_;  // ticket -> its committer
    std::map<int, Effect> effects_;      // card -> its last report
};

}  // namespace

std::unique_ptr<Mode> embedded_mode(Server &server, const std::string &statedir,
                                    std::string &error) {
    if (!platform::make_dirs(statedir, 0700)) {
        error = "cannot create the state directory " + statedir;
        return nullptr;
    }
    std::string file = Store::file_in(statedir);
    // The database is platformd's alone (readers ask platformd): 0600 whatever the umask, also
    // for a file an earlier version made. SQLite gives its -wal and -shm files the same mode.
    int fd = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        error = file + ": " + strerror(errno);
        return nullptr;
    }
    fchmod(fd, 0600);
    close(fd);
    auto store = Store::open(file, &error);
    if (!store)
        return nullptr;
    return std::make_unique<EmbeddedMode>(server, file, std::move(store));
}

}  // namespace platformd
