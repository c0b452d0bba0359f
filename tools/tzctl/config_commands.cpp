// Setting, clearing and showing the configured time zone: a commit of the time-zone item to the
// configuration database (platformd), which the service verifies and applies on the dLRSC card.
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <iostream>
#include <optional>

#include "commands.h"
#include "json.h"
#include "platform/env.h"
#include "platform/proto_cfg.h"
#include "platform/timezone.h"
#include "platform/tuple.h"
#include "query_channel.h"
#include "zones.h"

namespace tzctl {
namespace {

namespace proto = platform::proto;

const char *const kItem = "/cfg/gl/clock/timezone";

// Sends one configuration request to platformd; its status, with MESSAGE and BODY of the reply.
uint32_t cfg_request(const Options &options, uint16_t type, const proto::Writer &w,
                     std::string &message, std::vector<uint8_t> &body) {
    const platform::Env &env = platform::env();
    proto::Conn conn;
    std::string error;
    if (!conn.connect(env.socket, 2000, &error))
        throw Failure{kExitUnreachable, "the configuration database is not reachable: " + error};
    if (!proto::hello(conn, uint32_t(env.card), uint32_t(getpid()), "tzctl", proto::HELLO_OBSERVER,
                      error, 5000))
        throw Failure{kExitUnreachable, "platformd at " + env.socket + ": " + error};
    uint32_t status = 0;
    int timeout = options.timeout_ms == 0 ? -1 : options.timeout_ms;
    if (conn.call(type, w, status, message, body, timeout) != proto::Recv::ok)
        throw Failure{kExitUnreachable, "platformd did not answer"};
    return status;
}

void commit(const Options &options, uint32_t flags, const std::vector<uint8_t> &value,
            const char *refused) {
    proto::Writer w;
    w.str(kItem).u32(flags).bytes(value);
    std::string message;
    std::vector<uint8_t> body;
    uint32_t status = cfg_request(options, proto::T_CFG_COMMIT, w, message, body);
    if (status == ENOENT && (flags & proto::ITEM_DELETE))
        throw Failure{kExitNone, "no time zone is configured"};
    if (status == proto::CFG_OUTCOME_UNKNOWN)
        throw Failure{kExitUnknown, message};
    if (status != 0)
        throw Failure{kExitRefused, std::string(refused) + ": " +
                                        (message.empty() ? strerror(int(status)) : message)};
}

// What the service on this card says of ZONE (a type 4 query): whether it knows it and the
// zone's standard abbreviation. Not answered when the service cannot be asked; the checks that
// follow, and the dLRSC's verifier, still judge the zone then.
struct Lookup {
    bool answered = false;
    bool found = false;
    std::string abbrev;
};

Lookup look_up(const Options &options, const std::string &zone) {
    Lookup l;
    if (zone.size() >= TZ_LOOKUP_LOCATION_FIELD)
        return l;
    auto request = new_request(TZ_MSG_LOCATION_TO_TZ);
    tz_msg_put_text(request->lookup_location, sizeof request->lookup_location, zone.c_str());
    try {
        QueryChannel channel(options.channel_path, options.timeout_ms);
        auto reply = channel.exchange(*request);
        l.answered = true;
        l.found = reply->loc_found != 0;
        if (l.found)
            l.abbrev = std::string(reply->abbrev, tz_msg_text_len(reply->abbrev, TZ_ABBREV_FIELD));
    } catch (const Failure &f) {
        std::cerr << "tzctl: note: " << f.text << "; the zone is checked on the dLRSC only\n";
    }
    return l;
}

// The standard-time abbreviation of ZONE as the C library reads it below TZDIR, the way the
// service finds it; empty when there is none.
std::string local_standard_abbrev(const std::string &zone) {
    setenv("TZ", zone.c_str(), 1);
    tzset();
    std::string abbrev = tzname[0] ? tzname[0] : "";
    unsetenv("TZ");
    tzset();
    return abbrev;
}

// "; did you mean A, B or C?" for the zones of the tree close to ZONE, or "".
std::string did_you_mean(const std::string &zone) {
    auto near = similar_zones(zone, tree_zones(platform::zoneinfo_root()));
    if (near.empty())
        return "";
    std::string text = "; did you mean ";
    for (size_t i = 0; i < near.size(); i++)
        text += (i == 0 ? "" : i + 1 == near.size() ? " or " : ", ") + near[i];
    return text + "?";
}

// Refuses ZONE before anything is committed when it is not a zone of this system or the setter
// would not take it, with the reason in words. Returns the zone's standard abbreviation.
std::string check_zone(const Options &options, const std::string &zone) {
    if (std::string why = platform::zone_name_problem(zone); !why.empty())
        throw Failure{kExitRefused,
                      "'" + zone + "' is not a zone name (" + why + ")" + did_you_mean(zone)};
    Lookup l = look_up(options, zone);
    std::string unknown = zone + " is not a time zone of this system";
    if (l.answered && !l.found)
        throw Failure{kExitRefused, unknown + did_you_mean(zone)};
    std::string root = platform::zoneinfo_root(), target, error;
    if (!platform::resolve_zone(root, zone, target, error)) {
        struct stat st;
        if (!l.found && lstat((root + "/" + zone).c_str(), &st) != 0)
            throw Failure{kExitRefused, unknown + did_you_mean(zone)};
        throw Failure{kExitRefused, zone + " cannot be set: " + error};
    }
    return l.found ? l.abbrev : local_standard_abbrev(zone);
}

int run_set(const Options &options, const std::vector<std::string> &args) {
    const std::string &zone = args.back();
    std::string abbrev = args.size() == 2 ? args[0] : "";
    if (zone.empty() || (args.size() == 2 && abbrev.empty()))
        throw Failure{kExitUsage, "the abbreviation and the zone must not be empty"};
    std::string standard = check_zone(options, zone);
    if (abbrev.empty()) {
        if (standard.empty())
            throw Failure{kExitUsage, zone +
                                          " has no standard abbreviation; give one: "
                                          "tzctl set ABBR " +
                                          zone};
        abbrev = standard;
    }
    commit(options, 0, platform::tuple_pack_strings({abbrev, zone}), "the time zone was not set");
    if (!standard.empty() && abbrev != standard)
        std::cerr << "tzctl: warning: the standard abbreviation of " << zone << " is " << standard
                  << ", not " << abbrev << "; \"" << abbrev << " " << zone
                  << "\" is stored as given\n";
    return kExitOk;
}

int run_unset(const Options &options, const std::vector<std::string> &) {
    commit(options, proto::ITEM_DELETE, {}, "the time zone was not cleared");
    return kExitOk;
}

int run_show(const Options &options, const std::vector<std::string> &) {
    proto::Writer w;
    w.str(kItem);
    std::string message;
    std::vector<uint8_t> body;
    uint32_t status = cfg_request(options, proto::T_CFG_GET, w, message, body);
    std::vector<std::string> configured;
    if (status == 0) {
        proto::Reader r(body);
        uint64_t sequence = 0;
        std::vector<uint8_t> value;
        std::optional<std::vector<std::string>> strings;
        if (r.u64(sequence) && r.bytes(value) && r.at_end())
            strings = platform::tuple_strings(value.data(), value.size());
        if (!strings)
            throw Failure{kExitUnreachable, "malformed answer from platformd"};
        configured = *strings;
        configured.resize(2);
    } else if (status != ENOENT) {
        throw Failure{kExitRefused, "cannot read the configured time zone: " + message};
    }
    const platform::Env &env = platform::env();
    std::string in_effect = platform::recorded_zone(env.localtime);
    // Which card this is comes from PLATFORM_CARD alone, not from the runtime directory's name.
    const char *card_variable = getenv("PLATFORM_CARD");
    std::string card_from = card_variable && *card_variable ? "PLATFORM_CARD" : "default";

    if (options.json) {
        cli::JsonWriter j(std::cout);
        j.begin_object().key("configured");
        if (configured.empty())
            j.null();
        else
            j.begin_object()
                .field("abbreviation", configured[0])
                .field("zone", configured[1])
                .end_object();
        j.field("card", env.card).field("card_from", card_from).key("in_effect");
        if (in_effect.empty())
            j.null();
        else
            j.value(in_effect);
        j.end_object();
        return kExitOk;
    }
    std::cout << "configured: "
              << (configured.empty() ? std::string("none") : configured[0] + " " + configured[1])
              << "\nin effect on card " << env.card
              << (card_from == "default" ? std::string(" (PLATFORM_CARD not set)")
                                         : " (PLATFORM_CARD=" + std::string(card_variable) + ")")
              << ": " << (in_effect.empty() ? std::string("none") : in_effect) << '\n';
    return kExitOk;
}

}  // namespace

const std::vector<Command> &config_commands() {
    static const std::vector<Command> commands = {
        {"set", "[ABBR] ZONE", "configure the time zone of the router",
         "Commits the time-zone item: ZONE is a zone name below the zoneinfo root (e.g.\n"
         "Europe/Paris), ABBR the standard-time abbreviation expected of it; left out, it is\n"
         "taken from the zone (CET for Europe/Paris). Before committing, tzctl asks the service\n"
         "on this card whether it knows the zone and checks that the setter would take its\n"
         "file; a zone that fails is refused here, with the zones of similar names. The service\n"
         "on the dLRSC card then checks the zone and puts it into effect; every other card\n"
         "follows. An ABBR that is not the zone's is stored as given, with a warning. When the\n"
         "change is refused the reason is printed and the exit status is 1; the configured zone\n"
         "then stays as it was.",
         1, 2, run_set},
        {"unset", "", "clear the configured time zone",
         "Commits the deletion of the time-zone item; the cards stop using a configured zone.\n"
         "Exits 4 when no time zone is configured.",
         0, 0, run_unset},
        {"show", "", "print the configured time zone and the zone in effect on this card",
         "Prints the configured abbreviation and zone, and the zone that the time-zone setter\n"
         "put into effect on this card, \"none\" for either when there is none. The card is\n"
         "named with how it was chosen: PLATFORM_CARD, or card 0 when that is not set (the\n"
         "runtime directory does not choose the card).\n"
         "JSON: {configured: {abbreviation, zone} | null, card, card_from: \"PLATFORM_CARD\" |\n"
         "\"default\", in_effect}",
         0, 0, run_show},
    };
    return commands;
}

}  // namespace tzctl
