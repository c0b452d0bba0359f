// platformctl status and fault: the daemon's state, and the faults that tests inject.
#include <stdio.h>

#include "ctl.h"
#include "platform/proto_cfg.h"
#include "platform/tuple.h"

namespace platformctl {
namespace {

// The zone in effect on each card beside the stored time-zone item.
int zones() {
    std::string msg;
    std::vector<uint8_t> body;
    int rc = request(proto::T_CFG_ZONES, proto::Writer(), msg, body);
    if (rc != EXIT_OK)
        return rc;
    proto::Reader r(body);
    std::string item;
    uint8_t stored = 0;
    std::vector<uint8_t> value;
    uint32_t count = 0;
    if (!r.str(item) || !r.u8(stored) || !r.bytes(value) || !r.u32(count))
        return fail(EXIT_FAILED, "malformed answer from platformd");
    auto strings = platform::tuple_strings(value.data(), value.size());
    std::string zone = stored && strings && strings->size() > 1 ? (*strings)[1] : "";
    std::string text = !stored ? "none" : !strings ? "(malformed)" : "";
    for (size_t i = 0; strings && stored && i < strings->size(); i++)
        text += (i ? " " : "") + (*strings)[i];
    printf("zone in effect per card (stored %s: %s):\n", item.c_str(), text.c_str());
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t card = 0, pid = 0;
        uint8_t reported = 0, connected = 0;
        std::string effect;
        if (!r.u32(card) || !r.u8(reported) || !r.str(effect) || !r.u32(pid) || !r.u8(connected))
            return fail(EXIT_FAILED, "malformed answer from platformd");
        if (!reported) {
            printf("  card %u: not reported\n", card);
            continue;
        }
        printf("  card %u: %s, %s (reported by pid %u%s)\n", card,
               effect.empty() ? "none" : effect.c_str(),
               effect == zone ? "as stored" : "DIFFERS from the stored item", pid,
               connected ? "" : ", gone since");
    }
    return EXIT_OK;
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
    for (uint32_t i = 0; i < count; ++i) {
        std::string line;
        if (!r.str(line))
            return fail(EXIT_FAILED, "malformed answer from platformd");
        printf("%s\n", line.c_str());
    }
    return zones();
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
    {"status", "", "", "cards, roles, readiness, registered processes, database, faults", status},
    {"fault", "", "NAME ARGS... | clear | list",
     "inject a test fault (e.g. lrd-fail SECONDS), clear all, or list them", fault},
});

}  // namespace
}  // namespace platformctl
