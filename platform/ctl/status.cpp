// platformctl status and fault: the daemon's state, and the faults that tests inject.
#include <stdio.h>

#include <iostream>
#include <optional>

#include "ctl.h"
#include "platform/proto_cfg.h"
#include "platform/tuple.h"

namespace platformctl {
namespace {

// The zone in effect on each card beside the stored time-zone item.
struct ZoneReport {
    struct Card {
        uint32_t card = 0, pid = 0;
        bool reported = false, connected = false;
        std::string zone;  // "" for none
    };
    std::string item;
    bool stored = false;
    std::optional<std::vector<std::string>> value;  // empty when malformed
    std::string zone;                               // the stored zone name
    std::vector<Card> cards;
};

int fetch_zones(ZoneReport &z) {
    std::string msg;
    std::vector<uint8_t> body;
    int rc = request(proto::T_CFG_ZONES, proto::Writer(), msg, body);
    if (rc != EXIT_OK)
        return rc;
    proto::Reader r(body);
    uint8_t stored = 0;
    std::vector<uint8_t> value;
    uint32_t count = 0;
    if (!r.str(z.item) || !r.u8(stored) || !r.bytes(value) || !r.u32(count))
        return fail(EXIT_FAILED, "malformed answer from platformd");
    z.stored = stored;
    if (z.stored)
        z.value = platform::tuple_strings(value.data(), value.size());
    if (z.value && z.value->size() > 1)
        z.zone = (*z.value)[1];
    for (uint32_t i = 0; i < count; ++i) {
        ZoneReport::Card c;
        uint8_t reported = 0, connected = 0;
        if (!r.u32(c.card) || !r.u8(reported) || !r.str(c.zone) || !r.u32(c.pid) ||
            !r.u8(connected))
            return fail(EXIT_FAILED, "malformed answer from platformd");
        c.reported = reported;
        c.connected = connected;
        z.cards.push_back(c);
    }
    return EXIT_OK;
}

void print_zones(const ZoneReport &z) {
    std::string text = !z.stored ? "none" : !z.value ? "(malformed)" : "";
    for (size_t i = 0; z.value && i < z.value->size(); i++)
        text += (i ? " " : "") + (*z.value)[i];
    printf("zone in effect per card (stored %s: %s):\n", z.item.c_str(), text.c_str());
    for (auto &c : z.cards) {
        if (!c.reported) {
            printf("  card %u: not reported\n", c.card);
            continue;
        }
        printf("  card %u: %s, %s (reported by pid %u%s)\n", c.card,
               c.zone.empty() ? "none" : c.zone.c_str(),
               c.zone == z.zone ? "as stored" : "DIFFERS from the stored item", c.pid,
               c.connected ? "" : ", gone since");
    }
}

// "zones": {item, stored: [..] | null, cards: [{card, reported, zone, as_stored, pid,
// connected}]}; zone is null when the card has no link.
void write_zones(cli::JsonWriter &j, const ZoneReport &z) {
    j.key("zones").begin_object().field("item", z.item).key("stored");
    if (z.value) {
        j.begin_array();
        for (auto &v : *z.value)
            j.value(v);
        j.end_array();
    } else {
        j.null();
    }
    j.key("cards").begin_array();
    for (auto &c : z.cards) {
        j.begin_object().field("card", int64_t(c.card)).field("reported", c.reported).key("zone");
        if (c.reported && !c.zone.empty())
            j.value(c.zone);
        else
            j.null();
        j.field("as_stored", c.reported && c.zone == z.zone)
            .field("pid", int64_t(c.pid))
            .field("connected", c.connected)
            .end_object();
    }
    j.end_array().end_object();
}

int status(const std::vector<std::string> &args) {
    if (!args.empty())
        return usage_error("status", "", "status takes no arguments");
    std::string msg;
    std::vector<uint8_t> body;
    int rc = request(proto::T_CTL_STATUS, proto::Writer(), msg, body);
    if (rc != EXIT_OK)
        return rc;
    proto::Reader r(body);
    uint32_t count = 0;
    if (!r.u32(count))
        return fail(EXIT_FAILED, "malformed answer from platformd");
    std::vector<std::string> lines(count);
    for (auto &line : lines)
        if (!r.str(line))
            return fail(EXIT_FAILED, "malformed answer from platformd");
    if (json_output()) {
        // The cards as role show gives them, then the daemon's text as it is.
        uint32_t dlrsc = 0;
        std::vector<Card> cards;
        if ((rc = fetch_cards(dlrsc, cards)) != EXIT_OK)
            return rc;
        fflush(stdout);
        cli::JsonWriter j(std::cout);
        j.begin_object().field("dlrsc", int64_t(dlrsc)).key("cards").begin_array();
        for (auto &c : cards)
            write_card(j, c, dlrsc);
        j.end_array().key("lines").begin_array();
        for (auto &line : lines)
            j.value(line);
        j.end_array();
        ZoneReport z;
        if ((rc = fetch_zones(z)) != EXIT_OK)
            return rc;
        write_zones(j, z);
        j.end_object();
        return EXIT_OK;
    }
    for (auto &line : lines)
        printf("%s\n", line.c_str());
    ZoneReport z;
    if ((rc = fetch_zones(z)) != EXIT_OK)
        return rc;
    print_zones(z);
    return EXIT_OK;
}

int fault(const std::vector<std::string> &args) {
    if (args.empty())
        return usage_error("fault", "", "which fault? ('platformctl fault list' names them)");
    if (args.size() > 17)
        return usage_error("fault", "", "too many arguments");
    proto::Writer w;
    w.str(args[0]).u32(uint32_t(args.size() - 1));
    for (size_t i = 1; i < args.size(); ++i)
        w.str(args[i]);
    std::string msg;
    std::vector<uint8_t> body;
    int rc = request(proto::T_CTL_FAULT, w, msg, body);
    if (rc != EXIT_OK)
        return rc;
    if (!msg.empty())
        printf("%s\n", msg.c_str());
    return EXIT_OK;
}

Register reg({
    {"status", "", "", "cards, roles, readiness, registered processes, database, faults", status,
     true},
    {"fault", "", "NAME ARGS... | clear | list",
     "inject a test fault (e.g. lrd-fail SECONDS), clear all, or list them", fault},
});

}  // namespace
}  // namespace platformctl
