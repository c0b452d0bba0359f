// The simulated router: its cards, which one holds the dLRSC role, the processes that reported
// readiness, and the role events of the system manager. Also the LR daemon's answer.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "server.h"

namespace platformd {

class Router {
  public:
    static constexpr int MAX_CARD = 999;

    // Registers the router's frame handlers, hooks and the lrd-fail fault with SERVER.
    explicit Router(Server &server);

    int dlrsc() const { return dlrsc_; }
    bool card_exists(int card) const { return cards_.count(card) != 0; }
    // Moves the role to CARD (which then exists) and sends the events; false when CARD is out
    // of range.
    bool set_dlrsc(int card, std::string &message);

  private:
    struct Ready {
        std::string program;
        time_t when = 0;
    };
    struct CardView {
        uint32_t processes = 0;
        uint32_t ready = 0;
        uint32_t registrations = 0;
    };

    void on_ready(Client &c, const proto::Frame &f);
    void on_register(Client &c, const proto::Frame &f);
    void on_unregister(Client &c, const proto::Frame &f);
    void on_am_i_dlrsc(Client &c, const proto::Frame &f);
    void on_role_show(Client &c, const proto::Frame &f);
    void on_role_set(Client &c, const proto::Frame &f);
    void on_gone(Client &c);
    void send_event(Client &c);
    std::map<int, CardView> view();
    void status(std::vector<std::string> &lines);
    bool lrd_failing() const;

    Server &server_;
    int dlrsc_ = 0;
    uint64_t sequence_ = 0;
    std::set<int> cards_{0};
    // Readiness by (card, pid); it lasts while that process keeps a connection.
    std::map<std::pair<int, pid_t>, Ready> ready_;
    int64_t lrd_fail_until_ms_ = 0;
};

}  // namespace platformd
