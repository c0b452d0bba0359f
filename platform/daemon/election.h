// The dLRSC role of a router in cluster mode: an election on /<router>/dlrsc among the cards'
// platformd processes, each campaigning with its card's lease.
//
// - Campaign: a transaction "create_revision(/<router>/dlrsc) = 0 → put CARD on the card's lease".
//   A win is believed only after a read of the key (its value, its lease) and an acknowledged
//   keep-alive of that lease: a win can be reported on a lease that has expired meanwhile. The
//   key's create revision is then the fence: every store this card makes as the dLRSC compares it.
// - Who campaigns first: the card /<router>/dlrsc-wanted names when that card is up, else the
//   lowest card up; the others wait DEFER_MS after the key went before they campaign too, so
//   the role lands where the operator wants it but never stays vacant for long.
// - Self-demotion: etcd cannot expire the lease earlier than TTL after it received the last
//   renewal, and it received it no earlier than it was sent. A holder that has had no keep-alive
//   acknowledged for TTL (less MARGIN_MS) from the send time of the last acknowledged one gives
//   the role up locally before anyone else can have it.
// - Hand-over: the holder deletes its key (fenced) when the wanted card is another card that is
//   up; `set_wanted` refuses a card that is down unless forced.
//
// Everything runs on the daemon's thread: the etcd client's callbacks, tick() and the owner's
// calls.
#pragma once

#include <stdint.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "etcd/etcd.h"

namespace platformd {

class Election {
  public:
    static constexpr int64_t MARGIN_MS = 300;
    static constexpr int64_t DEFER_MS = 1000;
    static constexpr int64_t ROLE_SET_WAIT_MS = 5000;
    static constexpr int64_t RETRY_MS = 300;

    // HOLDER is the card this card takes for the dLRSC (-1: none, or this card demoted itself);
    // FENCE is the role key's create revision while this card holds it, else 0.
    using Changed = std::function<void(int holder, int64_t fence, const std::string &why)>;
    // STATUS 0 or an errno, with the reason; PREVIOUS the holder before.
    using SetDone = std::function<void(uint32_t status, const std::string &reason, int previous)>;

    Election(platform::etcd::Client &etcd, std::string root, int card, int64_t ttl_ms,
             Changed changed);
    Election(const Election &) = delete;
    Election &operator=(const Election &) = delete;

    // Starts following the role key, the wanted card and the cards up.
    void start();
    // The card's lease was granted or renewed by a request sent at SENT_MS (monotonic); LEASE 0:
    // it is gone.
    void lease(int64_t lease, int64_t sent_ms);
    // About every 100 ms: self-demotion, campaigns, hand-over, role set deadlines.
    void tick(int64_t now_ms);
    // `role set CARD`: records it as wanted when it is up (or FORCE) and answers once the role
    // is there, or with the reason it is not.
    void set_wanted(int card, bool force, SetDone done);

    bool holding() const { return state_ == State::holding; }
    int64_t fence() const { return holding() ? fence_ : 0; }
    int holder() const;
    void status(std::vector<std::string> &lines) const;

  private:
    enum class State { follower, campaigning, checking, holding };
    struct RoleKey {
        bool known = false;  // the watch has said
        bool present = false;
        int card = -1;
        int64_t created = 0;
        int64_t lease = 0;
    };
    struct Waiter {
        int card;
        int previous;
        int64_t deadline_ms;
        SetDone done;
    };

    void on_role(const platform::etcd::WatchUpdate &u);
    void on_wanted(const platform::etcd::WatchUpdate &u);
    void on_cards(const platform::etcd::WatchUpdate &u);
    void role_key(const platform::etcd::KeyValue *kv);  // null: absent
    void campaign();
    void check();
    void hand_over();
    void lose(const std::string &why);
    bool fresh(int64_t now_ms) const;
    int preferred() const;
    void evaluate();

    platform::etcd::Client &etcd_;
    std::string root_;
    int card_;
    int64_t ttl_ms_;
    Changed changed_;

    int64_t lease_ = 0;
    int64_t acked_sent_ms_ = 0;  // send time of the last acknowledged grant or keep-alive
    State state_ = State::follower;
    int64_t fence_ = 0;
    uint64_t epoch_ = 0;  // moves whenever an answer in flight may no longer apply
    bool demoted_ = false;
    bool handing_over_ = false;
    int64_t absent_since_ms_ = 0;
    int64_t next_try_ms_ = 0;
    RoleKey key_;
    int wanted_ = -1;
    std::set<int> up_;
    std::vector<Waiter> waiters_;
    int reported_ = -2;  // the holder last handed to changed_
    int64_t reported_fence_ = -1;
    std::string why_;
};

}  // namespace platformd
