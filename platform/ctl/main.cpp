// platformctl: the platform's command line.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "ctl.h"
#include "platform/env.h"
#include "platform/proto_cfg.h"
#include "tzd_version.h"

namespace platformctl {
namespace {

std::vector<Command> &table() {
    static std::vector<Command> t;
    return t;
}

bool json = false;

void print_usage(FILE *out) {
    fprintf(out,
            "usage: platformctl COMMAND [ARGS...]\n"
            "       platformctl --help | --version\n\ncommands:\n");
    std::vector<Command> sorted = table();
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const Command &a, const Command &b) { return a.group < b.group; });
    for (auto &c : sorted) {
        std::string words =
            c.group + (c.name.empty() ? "" : " " + c.name) + (c.usage.empty() ? "" : " " + c.usage);
        fprintf(out, "  %-34s %s\n", words.c_str(), c.help.c_str());
    }
    fprintf(out,
            "\noptions:\n"
            "  --json    print the answer as one JSON object on one line (status, role show,\n"
            "            cfg get, cfg list); keys and their order do not change:\n"
            "              status    {dlrsc, cards: [CARD], lines: [..], zones: ZONES}\n"
            "              role show {dlrsc, cards: [CARD]}\n"
            "              cfg get   {path, sequence, value: [..]}\n"
            "              cfg list  {prefix, items: [{path, sequence, value: [..] | null}]}\n"
            "              CARD      {card, dlrsc, up, ready, processes, ready_processes,\n"
            "                         role_registrations}\n"
            "              ZONES     {item, stored: [..] | null, cards: [{card, reported,\n"
            "                         zone | null, as_stored, pid, connected}]}\n"
            "  -h, --help  this help; after a command, that command's usage\n"
            "\nplatformd is found at PLATFORM_SOCKET (default $PLATFORM_RUNDIR/platformd.sock).\n"
            "\nexit status (the same table for tzctl):\n%s"
            "See platformctl(1).\n",
            cli::exit_status_help());
}

}  // namespace

Register::Register(std::initializer_list<Command> commands) {
    for (auto &c : commands)
        table().push_back(c);
}

const std::vector<Command> &commands() {
    return table();
}

bool json_output() {
    return json;
}

int fetch_cards(uint32_t &dlrsc, std::vector<Card> &cards) {
    std::string msg;
    std::vector<uint8_t> body;
    int rc = request(proto::T_CTL_ROLE_SHOW, proto::Writer(), msg, body);
    if (rc != EXIT_OK)
        return rc;
    proto::Reader r(body);
    uint32_t count = 0;
    if (!r.u32(dlrsc) || !r.u32(count) || count > 1000)
        return fail(EXIT_FAILED, "malformed answer from platformd");
    cards.assign(count, Card{});
    for (auto &c : cards)
        if (!r.u32(c.card) || !r.u32(c.processes) || !r.u32(c.ready) || !r.u32(c.registrations))
            return fail(EXIT_FAILED, "malformed answer from platformd");
    return EXIT_OK;
}

void write_card(cli::JsonWriter &j, const Card &c, uint32_t dlrsc) {
    j.begin_object()
        .field("card", int64_t(c.card))
        .field("dlrsc", c.card == dlrsc)
        .field("up", c.processes > 0)
        .field("ready", c.ready > 0)
        .field("processes", int64_t(c.processes))
        .field("ready_processes", int64_t(c.ready))
        .field("role_registrations", int64_t(c.registrations))
        .end_object();
}

int fail(int code, const std::string &text) {
    fprintf(stderr, "platformctl: %s\n", text.c_str());
    return code;
}

int usage_error(const std::string &group, const std::string &name, const std::string &why) {
    fprintf(stderr, "platformctl: %s\n", why.c_str());
    for (auto &c : table())
        if (c.group == group && (name.empty() || c.name == name))
            fprintf(stderr, "usage: platformctl %s%s%s\n", c.group.c_str(),
                    c.name.empty() ? "" : (" " + c.name).c_str(),
                    c.usage.empty() ? "" : (" " + c.usage).c_str());
    return EXIT_USAGE;
}

bool parse_card(const std::string &text, uint32_t &card) {
    if (text.empty() || text.size() > 3 ||
        !std::all_of(text.begin(), text.end(), [](char ch) { return ch >= '0' && ch <= '9'; }))
        return false;
    card = uint32_t(std::stoul(text));
    return true;
}

int request(uint16_t type, const proto::Writer &payload, std::string &message,
            std::vector<uint8_t> &body, uint32_t *status, int timeout_ms) {
    const platform::Env &env = platform::env();
    proto::Conn conn;
    std::string error;
    if (!conn.connect(env.socket, 2000, &error)) {
        if (errno == ENOENT || errno == ECONNREFUSED)
            return fail(EXIT_UNREACHABLE, "platformd is not running (" + error + ")");
        return fail(EXIT_UNREACHABLE, "cannot reach platformd: " + error);
    }
    if (!proto::hello(conn, uint32_t(env.card), uint32_t(getpid()), "platformctl",
                      proto::HELLO_OBSERVER, error, timeout_ms))
        return fail(EXIT_UNREACHABLE, "platformd at " + env.socket + ": " + error);
    uint32_t st = 0;
    proto::Recv r = conn.call(type, payload, st, message, body, timeout_ms);
    switch (r) {
        case proto::Recv::ok:
            break;
        case proto::Recv::timeout:
            return fail(EXIT_UNREACHABLE, "platformd did not answer within " +
                                              std::to_string(timeout_ms / 1000) + " seconds");
        case proto::Recv::closed:
            return fail(EXIT_UNREACHABLE, "platformd closed the connection");
        case proto::Recv::malformed:
            return fail(EXIT_FAILED, "malformed answer from platformd");
        case proto::Recv::error:
            return fail(EXIT_UNREACHABLE, std::string("talking to platformd: ") + strerror(errno));
    }
    if (status)
        *status = st;
    if (st != 0)
        return fail(
            st == ENOENT                       ? EXIT_NONE
            : st == proto::CFG_OUTCOME_UNKNOWN ? EXIT_UNKNOWN
                                               : EXIT_FAILED,
            message.empty() ? std::string("request failed: ") + strerror(int(st)) : message);
    return EXIT_OK;
}

}  // namespace platformctl

int main(int argc, char **argv) {
    using namespace platformctl;
    // --json may stand before the command or among the words of a command that takes it; a
    // command's other words are never options, so "cfg set PATH --json" stores "--json".
    std::vector<std::string> args;
    bool json_seen = false;
    int i = 1;
    for (; i < argc && std::string(argv[i]) == "--json"; i++)
        json_seen = true;
    args.assign(argv + i, argv + argc);
    if (args.empty())
        return print_usage(stderr), EXIT_USAGE;
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        print_usage(stdout);
        return EXIT_OK;
    }
    if (args[0] == "--version") {
        printf("platformctl %s\n", TZD_VERSION);
        return EXIT_OK;
    }
    const std::string &group = args[0];
    if (args.size() >= 2 && (args[1] == "--help" || args[1] == "-h")) {
        bool any = false;
        for (auto &c : table())
            if (c.group == group) {
                any = true;
                printf("usage: platformctl %s%s%s\n    %s\n", c.group.c_str(),
                       c.name.empty() ? "" : (" " + c.name).c_str(),
                       c.usage.empty() ? "" : (" " + c.usage).c_str(), c.help.c_str());
            }
        if (any)
            return EXIT_OK;
    }
    bool group_known = false;
    for (auto &c : table()) {
        if (c.group != group)
            continue;
        group_known = true;
        if (!c.name.empty() && (args.size() < 2 || args[1] != c.name))
            continue;
        std::vector<std::string> rest(args.begin() + (c.name.empty() ? 1 : 2), args.end());
        if (c.json)
            json_seen |= std::erase(rest, "--json") > 0;
        if (json_seen && !c.json)
            return usage_error(c.group, c.name,
                               "--json is for status, role show, cfg get and cfg list");
        json = json_seen;
        return c.run(rest);
    }
    if (group_known)
        return usage_error(group, "",
                           args.size() < 2 ? "'" + group + "' needs a subcommand"
                                           : "unknown subcommand '" + group + " " + args[1] + "'");
    fprintf(stderr, "platformctl: unknown command '%s'\n", group.c_str());
    print_usage(stderr);
    return EXIT_USAGE;
}
