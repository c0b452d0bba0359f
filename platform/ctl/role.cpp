// platformctl role show|set: the dLRSC role and the cards of the router.
#include <stdio.h>

#include <iostream>

#include "ctl.h"

namespace platformctl {
namespace {

int role_show(const std::vector<std::string> &args) {
    if (args.size() > 1)
        return usage_error("role", "show", "too many arguments");
    uint32_t only = 0;
    if (args.size() == 1 && !parse_card(args[0], only))
        return usage_error("role", "show", "'" + args[0] + "' is not a card number");
    uint32_t dlrsc = 0;
    std::vector<Card> cards;
    if (int rc = fetch_cards(dlrsc, cards); rc != EXIT_OK)
        return rc;
    if (!args.empty())
        std::erase_if(cards, [&](const Card &c) { return c.card != only; });
    if (!args.empty() && cards.empty())
        return fail(EXIT_NONE, "no such card " + args[0] +
                                   " (a card exists once a process of it connected or "
                                   "'role set' named it)");
    if (json_output()) {
        cli::JsonWriter j(std::cout);
        j.begin_object().field("dlrsc", int64_t(dlrsc)).key("cards").begin_array();
        for (auto &c : cards)
            write_card(j, c, dlrsc);
        j.end_array().end_object();
        return EXIT_OK;
    }
    if (args.empty())
        printf("dLRSC: card %u\n", dlrsc);
    for (auto &c : cards) {
        printf("card %u: %s, %s", c.card, c.card == dlrsc ? "dLRSC" : "not dLRSC",
               c.processes ? "up" : "down");
        if (c.processes)
            printf(", %s (%u process%s, %u ready, %u registered for role events)",
                   c.ready ? "ready" : "not ready", c.processes, c.processes == 1 ? "" : "es",
                   c.ready, c.registrations);
        printf("\n");
    }
    return EXIT_OK;
}

int role_set(const std::vector<std::string> &args) {
    // --force: also to a card that is down (platformd refuses that otherwise).
    std::vector<std::string> cards;
    uint32_t flags = 0;
    for (auto &a : args) {
        if (a == "--force")
            flags |= proto::ROLE_SET_FORCE;
        else
            cards.push_back(a);
    }
    if (cards.size() != 1)
        return usage_error("role", "set", cards.empty() ? "which card?" : "too many arguments");
    uint32_t card = 0;
    if (!parse_card(cards[0], card))
        return usage_error("role", "set", "'" + cards[0] + "' is not a card number (0 to 999)");
    proto::Writer w;
    w.u32(card).u32(flags);
    std::string msg;
    std::vector<uint8_t> body;
    int rc = request(proto::T_CTL_ROLE_SET, w, msg, body);
    if (rc != EXIT_OK)
        return rc;
    printf("%s\n", msg.c_str());
    return EXIT_OK;
}

Register reg({
    {"role", "show", "[CARD]", "which card is the dLRSC, which cards are up and ready", role_show,
     true},
    {"role", "set", "[--force] CARD",
     "move the dLRSC role to CARD if it is up (--force: even if not); events 32, 4 follow",
     role_set},
});

}  // namespace
}  // namespace platformctl
