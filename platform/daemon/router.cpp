#include "router.h"

#include <errno.h>
#include <time.h>

#include <algorithm>

namespace platformd {
namespace {

std::string clock_text(time_t t) {
    struct tm tm;
    localtime_r(&t, &tm);
    char buf[32];
    strftime(buf, sizeof(buf), "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

Router *the_router = nullptr;

}  // namespace

Router *router() {
    return the_router;
}

Router::~Router() {
    if (the_router == this)
        the_router = nullptr;
}

Router::Router(Server &server) : server_(server) {
    the_router = this;
    server_.handle(proto::T_SYSMGR_READY,
                   [this](Client &c, const proto::Frame &f) { on_ready(c, f); });
    server_.handle(proto::T_SYSMGR_LR_REGISTER,
                   [this](Client &c, const proto::Frame &f) { on_register(c, f); });
    server_.handle(proto::T_SYSMGR_LR_UNREGISTER,
                   [this](Client &c, const proto::Frame &f) { on_unregister(c, f); });
    server_.handle(proto::T_LRD_AM_I_DLRSC,
                   [this](Client &c, const proto::Frame &f) { on_am_i_dlrsc(c, f); });
    server_.handle(proto::T_CTL_ROLE_SHOW,
                   [this](Client &c, const proto::Frame &f) { on_role_show(c, f); });
    server_.handle(proto::T_CTL_ROLE_SET,
                   [this](Client &c, const proto::Frame &f) { on_role_set(c, f); });
    // Only root's and the owner's processes make a card exist; anyone may say HELLO with a card
    // number, and such a card would otherwise stay listed, and could be given the role, for good.
    server_.on_hello([this](Client &c) {
        if (!c.observer && c.privileged) {
            cards_.insert(c.card);
            on_card_up(c.card);
        }
    });
    server_.on_tick([this] { on_tick(); });
    server_.on_client_gone([this](Client &c) { on_gone(c); });
    server_.on_status([this](std::vector<std::string> &lines) { status(lines); });

    Fault f;
    f.name = "lrd-fail";
    f.usage = "SECONDS";
    f.help = "the LR daemon answers every \"am I the dLRSC\" with a failure for SECONDS";
    f.set = [this](const std::vector<std::string> &args, std::string &msg) -> uint32_t {
        char *end = nullptr;
        long s = args.size() == 1 ? strtol(args[0].c_str(), &end, 10) : 0;
        if (args.size() != 1 || !end || *end != '\0' || s < 1 || s > 86400) {
            msg = "lrd-fail takes a number of seconds from 1 to 86400";
            return EINVAL;
        }
        lrd_fail_until_ms_ = Server::now_ms() + s * 1000;
        msg = "the LR daemon fails its answers for " + std::to_string(s) + " seconds";
        return 0;
    };
    f.clear = [this] { lrd_fail_until_ms_ = 0; };
    f.state = [this]() -> std::string {
        if (!lrd_failing())
            return {};
        int64_t left = (lrd_fail_until_ms_ - Server::now_ms() + 999) / 1000;
        return "LR daemon answers fail for " + std::to_string(left) + " more second(s)";
    };
    server_.add_fault(std::move(f));
}

bool Router::lrd_failing() const {
    return lrd_fail_until_ms_ > Server::now_ms();
}

bool Router::restore(const std::string &file, std::string &error) {
    std::string err;
    store_ = platform::cfgdb::Store::open(file, &err);
    if (!store_) {
        error = err;
        return false;
    }
    std::optional<int> held = store_->dlrsc(&err);
    if (!err.empty()) {
        error = err;
        return false;
    }
    if (!held || *held < 0 || *held > MAX_CARD)
        return true;  // never moved: card 0 holds it, as on a new router
    dlrsc_ = *held;
    cards_.insert(dlrsc_);
    awaiting_holder_ = true;
    grace_end_ms_ = Server::now_ms() + HOLDER_GRACE_MS;
    Server::log("dLRSC role restored: card " + std::to_string(dlrsc_) + " holds it (unless it " +
                "does not come back within " + std::to_string(HOLDER_GRACE_MS / 1000) + " s)");
    return true;
}

bool Router::card_up(int card) {
    bool up = false;
    server_.for_each_client([&](Client &c) {
        if (c.hello && !c.observer && c.privileged && c.card == card)
            up = true;
    });
    return up;
}

std::string Router::holder_text() {
    bool up = false;
    pid_t tzd = 0;
    server_.for_each_client([&](Client &c) {
        if (!c.hello || c.observer || !c.privileged || c.card != dlrsc_)
            return;
        up = true;
        if (c.program == "tzd")
            tzd = c.pid;
    });
    std::string text = "the dLRSC role is on card " + std::to_string(dlrsc_);
    if (!up)
        return text + ", which is down (no process of it is connected)";
    if (!tzd)
        return text + ", where tzd is down";
    return text + ", whose tzd (pid " + std::to_string(tzd) + ") is up but not registered";
}

bool Router::move_role(int card, const std::string &why, bool stored_only, std::string &error) {
    std::string err;
    if (store_ && !store_->set_dlrsc(card, &err)) {
        if (stored_only) {
            error = "the dLRSC role cannot be stored: " + err;
            return false;
        }
        Server::log("the dLRSC role on card " + std::to_string(card) +
                    " is not stored (a restart gives it back to card " + std::to_string(dlrsc_) +
                    "): " + err);
    }
    int old = dlrsc_;
    dlrsc_ = card;
    if (card >= 0)  // -1 in cluster mode: no card holds the role as this card sees it
        cards_.insert(card);
    ++sequence_;
    auto name = [](int n) { return n >= 0 ? "card " + std::to_string(n) : std::string("none"); };
    Server::log("dLRSC role moved from " + name(old) + " to " + name(card) + why);
    // Every registrant learns the new state: 4 on the new dLRSC, 32 everywhere else.
    server_.for_each_client([this](Client &c) {
        if (c.lr_mask)
            send_event(c);
    });
    return true;
}

void Router::follow_dlrsc(int card, const std::string &why) {
    if (card == dlrsc_)
        return;
    awaiting_holder_ = false;
    std::string unused;
    move_role(card, why, false, unused);
}

std::vector<std::string> Router::ready_programs(int card) const {
    std::vector<std::string> out;
    for (auto &[key, r] : ready_)
        if (key.first == card)
            out.push_back(r.program);
    std::sort(out.begin(), out.end());
    return out;
}

void Router::on_card_up(int card) {
    if (!awaiting_holder_)
        return;
    if (card == dlrsc_) {
        awaiting_holder_ = false;
        Server::log("card " + std::to_string(card) + ", which holds the dLRSC role, is back");
    } else if (Server::now_ms() >= grace_end_ms_) {
        // No card was up when the grace ended: the first one that comes up takes the role.
        awaiting_holder_ = false;
        std::string unused;
        move_role(card, ": card " + std::to_string(dlrsc_) + " did not come back after the restart",
                  false, unused);
    }
}

void Router::on_tick() {
    if (!awaiting_holder_ || Server::now_ms() < grace_end_ms_)
        return;
    for (int card : cards_) {  // in order: the lowest card that is up
        if (card_up(card)) {
            awaiting_holder_ = false;
            std::string unused;
            move_role(card,
                      ": card " + std::to_string(dlrsc_) + " did not come back within " +
                          std::to_string(HOLDER_GRACE_MS / 1000) + " s of the restart",
                      false, unused);
            return;
        }
    }
}

void Router::send_event(Client &c) {
    uint32_t event = c.card == dlrsc_ ? proto::LR_EVENT_ACTIVE : proto::LR_EVENT_INACTIVE;
    if (!(c.lr_mask & event))
        return;
    proto::Writer w;
    w.u32(event).u32(uint32_t(dlrsc_)).u64(sequence_).u32(uint32_t(c.card));
    server_.push(c, proto::T_SYSMGR_LR_EVENT, w);
}

void Router::on_ready(Client &c, const proto::Frame &f) {
    proto::Reader r(f);
    std::string program;
    if (!r.str(program, 255)) {
        server_.reply(c, f, EBADMSG, "malformed readiness report");
        return;
    }
    Ready &rd = ready_[{c.card, c.pid}];
    bool first = rd.when == 0;
    rd.program = program.empty() ? c.program : program;
    rd.when = time(nullptr);
    // Another user's process may say it is anything; it is not counted as the card's (view()).
    if (first)
        Server::log("card " + std::to_string(c.card) + " pid " + std::to_string(c.pid) + " " +
                    rd.program + " is ready" +
                    (c.privileged
                         ? std::string()
                         : " (uid " + std::to_string(c.peer_uid) + ", not counted as the card's)"));
    server_.reply(c, f, 0);
}

void Router::on_register(Client &c, const proto::Frame &f) {
    proto::Reader r(f);
    uint32_t mask = 0;
    if (!r.u32(mask)) {
        server_.reply(c, f, EBADMSG, "malformed role-event registration");
        return;
    }
    if (!(mask & (proto::LR_EVENT_ACTIVE | proto::LR_EVENT_INACTIVE))) {
        server_.reply(c, f, EINVAL, "the mask asks for no role event (4, 32)");
        return;
    }
    c.lr_mask = mask;
    server_.reply(c, f, 0);
    // The current role right away, after the reply.
    send_event(c);
}

void Router::on_unregister(Client &c, const proto::Frame &f) {
    c.lr_mask = 0;
    server_.reply(c, f, 0);
}

void Router::on_am_i_dlrsc(Client &c, const proto::Frame &f) {
    if (lrd_failing()) {
        server_.reply(c, f, ETIMEDOUT, "the LR daemon cannot answer (fault lrd-fail)");
        return;
    }
    proto::Writer w;
    w.u32(c.card == dlrsc_ ? 1 : 0);
    server_.reply(c, f, 0, {}, w);
}

std::map<int, Router::CardView> Router::view() {
    std::map<int, CardView> v;
    for (int card : cards_)
        v[card];
    std::set<std::pair<int, pid_t>> counted;
    server_.for_each_client([&](Client &c) {
        if (!c.hello || c.observer || !c.privileged)
            return;
        CardView &cv = v[c.card];
        if (counted.insert({c.card, c.pid}).second) {
            ++cv.processes;
            if (ready_.count({c.card, c.pid}))
                ++cv.ready;
        }
        if (c.lr_mask)
            ++cv.registrations;
    });
    return v;
}

Router::CardCounts Router::card_counts(int card) {
    auto v = view();
    auto it = v.find(card);
    return it == v.end() ? CardCounts{} : it->second;
}

void Router::on_role_show(Client &c, const proto::Frame &f) {
    auto v = view();
    proto::Writer w;
    w.u32(uint32_t(dlrsc_)).u32(uint32_t(v.size()));
    for (auto &[card, cv] : v)
        w.u32(uint32_t(card)).u32(cv.processes).u32(cv.ready).u32(cv.registrations);
    server_.reply(c, f, 0, {}, w);
}

void Router::on_role_set(Client &c, const proto::Frame &f) {
    if (!server_.allowed(c, f, "move the dLRSC role"))
        return;
    proto::Reader r(f);
    uint32_t card = 0, flags = 0;
    if (!r.u32(card) || (!r.at_end() && !r.u32(flags))) {
        server_.reply(c, f, EBADMSG, "malformed role request");
        return;
    }
    std::string name = "card " + std::to_string(card);
    if (card > uint32_t(MAX_CARD)) {
        server_.reply(c, f, ENOENT,
                      "no such card " + std::to_string(card) + " (cards are 0 to " +
                          std::to_string(MAX_CARD) + ")");
        return;
    }
    bool forced = (flags & proto::ROLE_SET_FORCE) != 0;
    bool up = card_up(int(card));
    if (!up && !forced && int(card) != dlrsc_) {
        server_.reply(c, f, EHOSTDOWN,
                      name + " is down (no process of it is connected); 'role set --force " +
                          std::to_string(card) + "' gives it the role anyway");
        return;
    }
    int previous = dlrsc_;
    std::string msg;
    if (int(card) == dlrsc_) {
        msg = name + " already holds the dLRSC role";
    } else if (!move_role(int(card), up ? "" : " (forced: " + name + " is down)", true, msg)) {
        server_.reply(c, f, EIO, msg);
        return;
    } else {
        msg = "dLRSC role moved from card " + std::to_string(previous) + " to " + name;
    }
    // The operator has chosen: no hand-over after a restart any more.
    if (previous != dlrsc_ || forced)
        awaiting_holder_ = false;
    proto::Writer w;
    w.u32(uint32_t(previous));
    server_.reply(c, f, 0, msg, w);
}

void Router::on_gone(Client &c) {
    if (!c.hello)
        return;
    // Readiness ends with the process's last connection.
    bool other = false;
    server_.for_each_client([&](Client &o) {
        if (o.id != c.id && o.hello && o.card == c.card && o.pid == c.pid)
            other = true;
    });
    if (!other)
        ready_.erase({c.card, c.pid});
}

void Router::status(std::vector<std::string> &lines) {
    auto v = view();
    std::string holder = dlrsc_ >= 0 ? "dLRSC: card " + std::to_string(dlrsc_)
                                     : std::string("dLRSC: none known to this card");
    if (awaiting_holder_) {
        int64_t left = std::max<int64_t>(0, (grace_end_ms_ - Server::now_ms() + 999) / 1000);
        holder += " (restored at start, not back yet; the role moves to the lowest card up " +
                  (left ? "in " + std::to_string(left) + " s" : std::string("once one is")) + ")";
    }
    lines.push_back(holder);
    lines.push_back("cards:");
    for (auto &[card, cv] : v) {
        std::string s = "  card " + std::to_string(card) + ": " +
                        (card == dlrsc_ ? "dLRSC" : "not dLRSC") + ", ";
        if (cv.processes == 0)
            s += "no process connected";
        else
            s += std::to_string(cv.processes) + " process(es), " + std::to_string(cv.ready) +
                 " ready, " + std::to_string(cv.registrations) + " role-event registration(s)";
        lines.push_back(s);
    }
    lines.push_back("processes:");
    bool any = false;
    server_.for_each_client([&](Client &c) {
        if (!c.hello || c.observer)
            return;
        any = true;
        std::string s = "  card " + std::to_string(c.card) + " pid " + std::to_string(c.pid) + " " +
                        c.program + " (connection " + std::to_string(c.id) + ")";
        if (!c.privileged)
            s += ", uid " + std::to_string(c.peer_uid) + ": not counted as the card's";
        auto it = ready_.find({c.card, c.pid});
        if (it != ready_.end())
            s += ", ready since " + clock_text(it->second.when);
        if (c.lr_mask)
            s += ", role events (mask " + std::to_string(c.lr_mask) + ")";
        lines.push_back(s);
    });
    if (!any)
        lines.push_back("  none");
}

}  // namespace platformd
