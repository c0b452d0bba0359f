// Setting, clearing and showing the configured time zone: a commit of the time-zone item to the
// configuration database (platformd), which the service verifies and applies on the dLRSC card.
#include <string.h>
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
        throw Failure{kExitNotFound, "no time zone is configured"};
    if (status != 0)
        throw Failure{kExitServiceError, std::string(refused) + ": " +
                                             (message.empty() ? strerror(int(status)) : message)};
}

int run_set(const Options &options, const std::vector<std::string> &args) {
    if (args[0].empty() || args[1].empty())
        throw Failure{kExitUsage, "the abbreviation and the zone must not be empty"};
    commit(options, 0, platform::tuple_pack_strings({args[0], args[1]}),
           "the time zone was not set");
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
        throw Failure{kExitServiceError, "cannot read the configured time zone: " + message};
    }
    const platform::Env &env = platform::env();
    std::string in_effect = platform::recorded_zone(env.localtime);

    if (options.json) {
        JsonWriter j(std::cout);
        j.begin_object().key("configured");
        if (configured.empty())
            j.null();
        else
            j.begin_object()
                .field("abbreviation", configured[0])
                .field("zone", configured[1])
                .end_object();
        j.field("card", env.card).key("in_effect");
        if (in_effect.empty())
            j.null();
        else
            j.value(in_effect);
        j.end_object();
        return kExitOk;
    }
    std::cout << "configured: "
              << (configured.empty() ? std::string("none") : configured[0] + " " + configured[1])
              << "\nin effect on card " << env.card << ": "
              << (in_effect.empty() ? std::string("none") : in_effect) << '\n';
    return kExitOk;
}

}  // namespace

const std::vector<Command> &config_commands() {
    static const std::vector<Command> commands = {
        {"set", "ABBR ZONE", "configure the time zone of the router",
         "Commits the time-zone item: ABBR is the standard-time abbreviation expected of the\n"
         "zone, ZONE a zone name below the zoneinfo root (e.g. CET Europe/Paris). The service\n"
         "on the dLRSC card checks the zone and puts it into effect; every other card follows.\n"
         "When the change is refused the reason is printed and the exit status is 4; the\n"
         "configured zone then stays as it was.",
         2, 2, run_set},
        {"unset", "", "clear the configured time zone",
         "Commits the deletion of the time-zone item; the cards stop using a configured zone.\n"
         "Exits 1 when no time zone is configured.",
         0, 0, run_unset},
        {"show", "", "print the configured time zone and the zone in effect on this card",
         "Prints the configured abbreviation and zone, and the zone that the time-zone setter\n"
         "put into effect on this card (PLATFORM_CARD), \"none\" for either when there is none.\n"
         "JSON: {configured: {abbreviation, zone} | null, card, in_effect}",
         0, 0, run_show},
    };
    return commands;
}

}  // namespace tzctl
