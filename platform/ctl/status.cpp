// platformctl status and fault: the daemon's state, and the faults that tests inject.
#include <stdio.h>

#include <iostream>

#include "ctl.h"

namespace platformctl {
namespace {

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
        j.end_array().end_object();
        return EXIT_OK;
    }
    for (auto &line : lines)
        printf("%s\n", line.c_str());
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
