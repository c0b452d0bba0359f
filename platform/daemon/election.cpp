#include "election.h"

#include <errno.h>
#include <stdlib.h>

#include <algorithm>

#include "router.h"
#include "server.h"

namespace platformd {

namespace etcd = platform::etcd;

namespace {

// A card number as a key's value or tail holds it; -1 when it is not one.
int card_number(const std::string &text) {
    char *end = nullptr;
    long n = strtol(text.c_str(), &end, 10);
    if (text.empty() || *end || n < 0 || n > Router::MAX_CARD)
        return -1;
    return int(n);
}

std::string card_name(int card) {
    return card < 0 ? std::string("none") : "card " + std::to_string(card);
}

}  // namespace

Election::Election(etcd::Client &etcd, std::string root, int card, int64_t ttl_ms, Changed changed)
    : etcd_(etcd),
      root_(std::move(root)),
      card_(card),
      ttl_ms_(ttl_ms),
      changed_(std::move(changed)) {}

void Election::start() {
    etcd_.watch(
        root_ + "dlrsc", false, 0, [this](const etcd::WatchUpdate &u) { on_role(u); }, true);
    etcd_.watch(
        root_ + "dlrsc-wanted", false, 0, [this](const etcd::WatchUpdate &u) { on_wanted(u); },
        true);
    etcd_.watch(
        root_ + "cards/", true, 0, [this](const etcd::WatchUpdate &u) { on_cards(u); }, true);
}

int Election::holder() const {
    if (state_ == State::holding)
        return card_;
    if (!key_.present || key_.card == card_)
        return -1;  // vacant, or this card's key that it does not (or no longer) vouch for
    return key_.card;
}

bool Election::fresh(int64_t now_ms) const {
    return lease_ && now_ms - acked_sent_ms_ < ttl_ms_ - MARGIN_MS;
}

int Election::preferred() const {
    if (wanted_ >= 0 && up_.count(wanted_))
        return wanted_;
    return up_.empty() ? card_ : *up_.begin();
}

void Election::lease(int64_t lease, int64_t sent_ms) {
    if (lease != lease_) {
        ++epoch_;
        if (state_ != State::follower)
            lose(lease ? "the card's lease changed" : "the card's lease is gone");
        lease_ = lease;
        acked_sent_ms_ = sent_ms;
    } else {
        acked_sent_ms_ = std::max(acked_sent_ms_, sent_ms);
    }
    evaluate();
}

void Election::lose(const std::string &why) {
    ++epoch_;
    state_ = State::follower;
    fence_ = 0;
    handing_over_ = false;
    why_ = why;
    next_try_ms_ = Server::now_ms() + RETRY_MS;
}

// ---- following the keys ----

void Election::role_key(const etcd::KeyValue *kv) {
    bool was_present = key_.present;
    key_.known = true;
    if (!kv) {
        key_ = RoleKey{true, false, -1, 0, 0};
        if (was_present)
            absent_since_ms_ = Server::now_ms();
        if (state_ == State::holding || state_ == State::checking)
            lose("the role key was deleted");
        return;
    }
    int card = card_number(kv->value);
    if (card < 0)
        Server::log("role key: ignoring the value '" + kv->value + "'");
    key_ = RoleKey{true, true, card, kv->create_revision, kv->lease};
    if (state_ == State::holding && kv->create_revision != fence_)
        lose("the role key was taken over");
}

void Election::on_role(const etcd::WatchUpdate &u) {
    using K = etcd::WatchUpdate::Kind;
    if (u.kind == K::snapshot) {
        if (!key_.known)
            absent_since_ms_ = Server::now_ms();
        role_key(u.kvs.empty() ? nullptr : &u.kvs[0]);
    } else if (u.kind == K::events) {
        for (auto &e : u.events)
            role_key(e.deleted ? nullptr : &e.kv);
    } else {
        return;
    }
    evaluate();
}

void Election::on_wanted(const etcd::WatchUpdate &u) {
    using K = etcd::WatchUpdate::Kind;
    if (u.kind == K::snapshot)
        wanted_ = u.kvs.empty() ? -1 : card_number(u.kvs[0].value);
    else if (u.kind == K::events)
        for (auto &e : u.events)
            wanted_ = e.deleted ? -1 : card_number(e.kv.value);
    else
        return;
    evaluate();
}

void Election::on_cards(const etcd::WatchUpdate &u) {
    using K = etcd::WatchUpdate::Kind;
    std::string base = root_ + "cards/";
    auto card_of = [&](const std::string &key) {
        return key.size() > base.size() ? card_number(key.substr(base.size())) : -1;
    };
    if (u.kind == K::snapshot) {
        up_.clear();
        for (auto &kv : u.kvs)
            if (int n = card_of(kv.key); n >= 0)
                up_.insert(n);
    } else if (u.kind == K::events) {
        for (auto &e : u.events)
            if (int n = card_of(e.kv.key); n >= 0) {
                if (e.deleted)
                    up_.erase(n);
                else
                    up_.insert(n);
            }
    } else {
        return;
    }
    evaluate();
}

// ---- campaigning ----

void Election::campaign() {
    state_ = State::campaigning;
    uint64_t epoch = ++epoch_;
    int64_t lease = lease_;
    etcd::Txn t;
    t.compare.push_back(etcd::Compare::absent(root_ + "dlrsc"));
    t.success.push_back(etcd::TxnOp::put(root_ + "dlrsc", std::to_string(card_), lease));
    t.failure.push_back(etcd::TxnOp::get(root_ + "dlrsc"));
    etcd_.txn(t, [this, epoch, lease](const etcd::Reply &r) {
        if (epoch != epoch_)
            return;
        if (r.ok()) {
            // Ours, unless the lease died before the answer came; the check tells.
            key_ = RoleKey{true, true, card_, r.revision, lease};
            return check();
        }
        state_ = State::follower;
        next_try_ms_ = Server::now_ms() + RETRY_MS;
        if (r.outcome == etcd::Outcome::compare_failed && !r.kvs.empty())
            role_key(&r.kvs[0]);
        else if (r.outcome == etcd::Outcome::unknown)
            check();  // it may have been applied
        evaluate();
    });
}

// Believes the key is this card's only when a quorum read shows it on this card's lease and
// that lease answers a keep-alive.
void Election::check() {
    state_ = State::checking;
    uint64_t epoch = ++epoch_;
    int64_t lease = lease_;
    etcd_.range(root_ + "dlrsc", false, 0, [this, epoch, lease](const etcd::Reply &r) {
        if (epoch != epoch_)
            return;
        const etcd::KeyValue *kv = r.ok() && !r.kvs.empty() ? &r.kvs[0] : nullptr;
        if (r.ok() || r.outcome == etcd::Outcome::absent)
            role_key(kv);
        if (!kv || card_number(kv->value) != card_ || kv->lease != lease) {
            state_ = State::follower;
            next_try_ms_ = Server::now_ms() + RETRY_MS;
            return evaluate();
        }
        int64_t created = kv->create_revision;
        etcd_.lease_keepalive(lease, [this, epoch, lease, created](const etcd::Reply &k) {
            if (epoch != epoch_)
                return;
            if (!k.ok()) {
                state_ = State::follower;
                next_try_ms_ = Server::now_ms() + RETRY_MS;
                return evaluate();
            }
            acked_sent_ms_ = std::max(acked_sent_ms_, k.sent_ms);
            if (!fresh(Server::now_ms())) {
                state_ = State::follower;
                return evaluate();
            }
            state_ = State::holding;
            fence_ = created;
            demoted_ = false;
            why_ = "won the election at revision " + std::to_string(created);
            Server::log("card " + std::to_string(card_) + " holds the dLRSC role (lease " +
                        std::to_string(lease) + ", revision " + std::to_string(created) + ")");
            evaluate();
        });
    });
}

void Election::hand_over() {
    handing_over_ = true;
    uint64_t epoch = epoch_;
    int to = wanted_;
    etcd::Txn t;
    t.compare.push_back(etcd::Compare::create_revision(root_ + "dlrsc", fence_));
    t.success.push_back(etcd::TxnOp::del(root_ + "dlrsc"));
    etcd_.txn(t, [this, epoch, to](const etcd::Reply &r) {
        if (epoch != epoch_)
            return;
        handing_over_ = false;
        if (r.ok() || r.outcome == etcd::Outcome::compare_failed) {
            Server::log("card " + std::to_string(card_) + " hands the dLRSC role over to card " +
                        std::to_string(to));
            lose("handed over to card " + std::to_string(to));
        } else {
            next_try_ms_ = Server::now_ms() + RETRY_MS;
        }
        evaluate();
    });
}

void Election::tick(int64_t now_ms) {
    if ((state_ == State::holding || state_ == State::checking) && !fresh(now_ms)) {
        Server::log("card " + std::to_string(card_) +
                    " gives up the dLRSC role: no keep-alive of " + "its lease acknowledged for " +
                    std::to_string(now_ms - acked_sent_ms_) + " ms");
        demoted_ = true;
        lose("demoted itself: its lease may have expired");
    }
    for (size_t i = 0; i < waiters_.size();) {
        if (now_ms < waiters_[i].deadline_ms) {
            i++;
            continue;
        }
        Waiter w = std::move(waiters_[i]);
        waiters_.erase(waiters_.begin() + long(i));
        w.done(ETIMEDOUT,
               "card " + std::to_string(w.card) +
                   " is wanted but has not taken the dLRSC role in " +
                   std::to_string(ROLE_SET_WAIT_MS / 1000) + " s (the role is with " +
                   card_name(holder()) + ")",
               w.previous);
    }
    evaluate();
}

// Acts on what is known now and tells the owner when the holder it sees has changed.
void Election::evaluate() {
    int64_t now = Server::now_ms();
    if (state_ == State::follower && key_.known && fresh(now) && now >= next_try_ms_) {
        if (!key_.present) {
            if (preferred() == card_ || now - absent_since_ms_ >= DEFER_MS)
                campaign();
        } else if (key_.card == card_ && key_.lease == lease_) {
            check();  // still this card's key: after a demotion, or an answer that was lost
        }
    }
    if (state_ == State::holding && !handing_over_ && wanted_ >= 0 && wanted_ != card_ &&
        up_.count(wanted_) && now >= next_try_ms_)
        hand_over();

    int h = holder();
    if (h != reported_ || fence() != reported_fence_) {
        reported_ = h;
        reported_fence_ = fence();
        std::string why = h == card_ ? " (" + why_ + ")"
                          : h >= 0   ? " (the role key in etcd)"
                          : demoted_ ? " (card " + std::to_string(card_) + " " + why_ + ")"
                                     : " (no holder in etcd yet)";
        changed_(h, fence(), why);
    }
    for (size_t i = 0; i < waiters_.size();) {
        if (h != waiters_[i].card) {
            i++;
            continue;
        }
        Waiter w = std::move(waiters_[i]);
        waiters_.erase(waiters_.begin() + long(i));
        w.done(
            0,
            "dLRSC role moved from " + card_name(w.previous) + " to card " + std::to_string(w.card),
            w.previous);
    }
}

// ---- role set ----

void Election::set_wanted(int card, bool force, SetDone done) {
    std::string card_key = root_ + "cards/" + std::to_string(card);
    etcd::Txn t;
    if (!force)
        t.compare.push_back(
            etcd::Compare::create_revision(card_key, 0, etcd::Compare::Op::greater));
    t.success.push_back(etcd::TxnOp::put(root_ + "dlrsc-wanted", std::to_string(card)));
    t.success.push_back(etcd::TxnOp::get(card_key));
    etcd_.txn(t, [this, card, card_key, done](const etcd::Reply &r) {
        std::string name = "card " + std::to_string(card);
        int previous = holder();
        if (r.outcome == etcd::Outcome::compare_failed)
            return done(EHOSTDOWN,
                        name + " is down (no key " + card_key + " in etcd); 'role set --force " +
                            std::to_string(card) + "' makes it wanted anyway",
                        previous);
        if (!r.ok())
            return done(EIO, "the wanted card cannot be stored in etcd: " + r.reason, previous);
        wanted_ = card;  // the watch says so too, later
        if (r.kvs.empty())
            return done(0, name + " is down; it is wanted and takes the dLRSC role once it is up",
                        previous);
        up_.insert(card);
        waiters_.push_back({card, previous, Server::now_ms() + ROLE_SET_WAIT_MS, done});
        evaluate();
    });
}

void Election::status(std::vector<std::string> &lines) const {
    const char *state = state_ == State::holding       ? "holding"
                        : state_ == State::checking    ? "checking a win"
                        : state_ == State::campaigning ? "campaigning"
                                                       : "following";
    std::string s = std::string("election: ") + state;
    if (holding())
        s += ", fence revision " + std::to_string(fence_);
    s += ", wanted " + (wanted_ >= 0 ? "card " + std::to_string(wanted_) : std::string("none"));
    if (!why_.empty())
        s += "; last change: " + why_;
    lines.push_back(s);
}

}  // namespace platformd
