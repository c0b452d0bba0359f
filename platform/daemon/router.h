// The simulated router: its cards, which one holds the dLRSC role, the processes that reported
// readiness, and the role events of the system manager. Also the LR daemon's answer.
//
// The role is stored beside the configuration items, so that a restarted platformd gives it
// back to the card that held it. That card has HOLDER_GRACE_MS from the start to come back (a
// process of it says HELLO); the other cards that come back meanwhile hear that it holds the
// role. When it has not come back by then, the role goes to the lowest card that is up, or, when
// none is, to the first card that comes up; events 32 and 4 follow as for any move. An
// operator's `role set` in the meantime settles it instead.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "server.h"
#include "store.h"

namespace platformd {

class Router {
  public:
    static constexpr int MAX_CARD = 999;
    // How long after start a restored holder of the role has to come back. Processes of a card
    // that was up connect again within a second of platformd's start.
    static constexpr int64_t HOLDER_GRACE_MS = 10000;

    // Registers the router's frame handlers, hooks and the lrd-fail fault with SERVER.
    explicit Router(Server &server);
    ~Router();

    // Opens the store in FILE and takes the role from it, when one was stored. False with the
    // reason in ERROR.
    bool restore(const std::string &file, std::string &error);

    int dlrsc() const { return dlrsc_; }
    // Cluster mode: the role as etcd has it now; the events follow as for any move.
    void follow_dlrsc(int card, const std::string &why);
    // The programs of CARD that reported readiness and are still connected, sorted.
    std::vector<std::string> ready_programs(int card) const;
    bool card_exists(int card) const { return cards_.count(card) != 0; }
    // CARD's processes as role show counts them: connected, ready, registered for role events.
    struct CardCounts {
        uint32_t processes = 0, ready = 0, registrations = 0;
    };
    CardCounts card_counts(int card);
    // Whether a process of CARD is connected.
    bool card_up(int card);
    // What a commit that found no verifier tells about the role: which card holds it and
    // whether that card's tzd is up.
    std::string holder_text();

  private:
    struct Ready {
        std::string program;
        time_t when = 0;
    };
    using CardView = CardCounts;

    void on_ready(Client &c, const proto::Frame &f);
    void on_register(Client &c, const proto::Frame &f);
    void on_unregister(Client &c, const proto::Frame &f);
    void on_am_i_dlrsc(Client &c, const proto::Frame &f);
    void on_role_show(Client &c, const proto::Frame &f);
    void on_role_set(Client &c, const proto::Frame &f);
    void on_gone(Client &c);
    void send_event(Client &c);
    // Moves the role to CARD, storing it first, and sends the events. False, with the reason in
    // ERROR and nothing moved, when it cannot be stored and STORED_ONLY is set; otherwise a
    // failed store is logged and the move goes on.
    bool move_role(int card, const std::string &why, bool stored_only, std::string &error);
    void on_card_up(int card);
    void on_tick();
    std::map<int, CardView> view();
    void status(std::vector<std::string> &lines);
    bool lrd_failing() const;

    Server &server_;
    int dlrsc_ = 0;
    uint64_t sequence_ = 0;
    std::unique_ptr<platform::cfgdb::Store> store_;
    // Set while a restored holder has not come back; the grace ends at grace_end_ms_.
    bool awaiting_holder_ = false;
    int64_t grace_end_ms_ = 0;
    std::set<int> cards_{0};
    // Readiness by (card, pid); it lasts while that process keeps a connection.
    std::map<std::pair<int, pid_t>, Ready> ready_;
    int64_t lrd_fail_until_ms_ = 0;
};

// The daemon's one Router, for the configuration database's replies (null before and after).
Router *router();

}  // namespace platformd
