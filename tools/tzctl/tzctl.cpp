// tzctl: the operator's command line for time zones. Options may appear anywhere; every other
// word is the command or one of its arguments, so abbreviations such as -03 need no quoting.
#include <stdlib.h>

#include <iostream>
#include <string>
#include <vector>

#include "commands.h"
#include "exit_status.h"
#include "query_channel.h"
#include "zones.h"
#include "tzd_version.h"

namespace tzctl {
namespace {

// Every command group, in the order the help lists them. Further groups add their table here.
std::vector<const Command *> all_commands() {
    std::vector<const Command *> out;
    for (auto *group : {&query_commands(), &config_commands()})
        for (auto &c : *group)
            out.push_back(&c);
    return out;
}

const Command *find_command(const std::string &name) {
    for (auto *c : all_commands())
        if (name == c->name)
            return c;
    return nullptr;
}

std::string synopsis(const Command &c) {
    std::string s = std::string("tzctl [OPTIONS] ") + c.name;
    if (*c.args)
        s += std::string(" ") + c.args;
    return s;
}

void print_help(std::ostream &out) {
    out << "NAME\n"
           "    tzctl - query the time zones known to the time-zone service\n"
           "\n"
           "SYNOPSIS\n";
    for (auto *c : all_commands())
        out << "    " << synopsis(*c) << '\n';
    out << "    tzctl --help | tzctl COMMAND --help\n"
           "\n"
           "DESCRIPTION\n"
           "    The time-zone service (tzd) builds a catalogue of the zones below its zoneinfo\n"
           "    root, grouped by standard-time abbreviation and UTC offset, and answers queries\n"
           "    about it on its query channel. tzctl sends one query and prints the answer.\n"
           "    The first query after the service starts builds the catalogue and may take a\n"
           "    moment. Zones added to the zoneinfo tree later are seen after a restart of tzd.\n"
           "\n"
           "COMMANDS\n";
    for (auto *c : all_commands()) {
        std::string head = std::string(c->name) + (*c->args ? std::string(" ") + c->args : "");
        out << "    " << head << "\n        " << c->summary << ".\n";
        std::string details = c->details;
        size_t start = 0;
        while (start < details.size()) {
            size_t end = details.find('\n', start);
            if (end == std::string::npos)
                end = details.size();
            out << "        " << details.substr(start, end - start) << '\n';
            start = end + 1;
        }
        out << '\n';
    }
    out << "OPTIONS\n"
           "    --json\n"
           "        Print the answer as one JSON object on one line, with the keys listed for\n"
           "        each command. Keys and their order do not change; lists are sorted.\n"
           "    --timeout SECONDS\n"
           "        How long to wait for the service to answer (default 30; 0 waits for ever).\n"
           "    -h, --help\n"
           "        Print this help, or with a command, that command's help.\n"
           "    --version\n"
           "        Print the version and exit.\n"
           "    --\n"
           "        End of options: every later word is an argument.\n"
           "    Words that are not options are arguments wherever they stand, so an\n"
           "    abbreviation such as -03 may be given as it is.\n"
           "\n"
           "EXIT STATUS (the same table for platformctl)\n";
    out << cli::exit_status_help();
    out << "\n"
           "ENVIRONMENT\n"
           "    PLATFORM_RUNDIR\n"
           "        The card's runtime directory; the query channel is the socket\n"
           "        $PLATFORM_RUNDIR/dev/tz_cli_msg_transfer. Default: /run/platform when\n"
           "        writable, else $XDG_RUNTIME_DIR/platform, else /tmp/platform-$UID.\n"
           "    PLATFORM_SOCKET, PLATFORM_CARD, PLATFORM_STATEDIR, PLATFORM_LOCALTIME\n"
           "        For set, unset and show: where platformd listens, which card this is (a\n"
           "        number, 0 when unset), where the zone in effect on this card is linked.\n"
           "    TZDIR\n"
           "        The zoneinfo root that set checks a zone against and that completion reads\n"
           "        zone names from (default /usr/share/zoneinfo).\n"
           "\n"
           "EXAMPLES\n"
           "    tzctl list\n"
           "    tzctl locations CET\n"
           "    tzctl complete CE\n"
           "    tzctl zone-of Europe/Paris\n"
           "    tzctl --json all-locations\n"
           "    tzctl set Europe/Paris\n"
           "\n"
           "SEE ALSO\n"
           "    tzd(8), platformctl(1)\n";
}

void print_command_help(const Command &c, std::ostream &out) {
    out << "Usage: " << synopsis(c) << "\n\n" << c.summary << ".\n";
    if (*c.details)
        out << '\n' << c.details << '\n';
    out << "\nOptions: --json, --timeout SECONDS, --help. See tzctl --help.\n";
}

int usage_error(const std::string &text) {
    std::cerr << "tzctl: " << text << "\nTry 'tzctl --help'.\n";
    return kExitUsage;
}

int run(int argc, char **argv) {
    Options options;
    bool help = false;
    std::vector<std::string> words;
    bool options_done = false;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (options_done) {
            words.push_back(a);
        } else if (a == "--") {
            options_done = true;
        } else if (a == "--json") {
            options.json = true;
        } else if (a == "-h" || a == "--help") {
            help = true;
        } else if (a == "--version") {
            std::cout << "tzctl " << TZD_VERSION << '\n';
            return kExitOk;
        } else if (a == "--list-commands") {
            // For the shell completion.
            for (auto *c : all_commands())
                std::cout << c->name << '\n';
            return kExitOk;
        } else if (a == "--list-zones") {
            // For the shell completion: every zone name, whether or not the service is up.
            options.timeout_ms = 5000;
            options.channel_path = default_channel_path();
            for (auto &zone : zone_names(options))
                std::cout << zone << '\n';
            return kExitOk;
        } else if (a == "--timeout" || a.rfind("--timeout=", 0) == 0) {
            std::string v;
            if (a == "--timeout") {
                if (i + 1 >= argc)
                    return usage_error("--timeout needs a number of seconds");
                v = argv[++i];
            } else {
                v = a.substr(strlen("--timeout="));
            }
            char *end = nullptr;
            long seconds = strtol(v.c_str(), &end, 10);
            if (v.empty() || *end != '\0' || seconds < 0 || seconds > 86400)
                return usage_error("bad --timeout value: " + v);
            options.timeout_ms = static_cast<int>(seconds * 1000);
        } else if (a.size() > 2 && a.rfind("--", 0) == 0) {
            return usage_error("unknown option " + a);
        } else {
            words.push_back(a);
        }
    }

    if (words.empty()) {
        if (help) {
            print_help(std::cout);
            return kExitOk;
        }
        std::cerr << "Usage:\n";
        for (auto *c : all_commands())
            std::cerr << "    " << synopsis(*c) << '\n';
        std::cerr << "Try 'tzctl --help'.\n";
        return kExitUsage;
    }
    if (words[0] == "help") {
        const Command *c = words.size() > 1 ? find_command(words[1]) : nullptr;
        if (c != nullptr)
            print_command_help(*c, std::cout);
        else
            print_help(std::cout);
        return kExitOk;
    }
    const Command *command = find_command(words[0]);
    if (command == nullptr)
        return usage_error("unknown command '" + words[0] + "'");
    if (help) {
        print_command_help(*command, std::cout);
        return kExitOk;
    }
    std::vector<std::string> args(words.begin() + 1, words.end());
    if (args.size() < command->min_args || args.size() > command->max_args)
        return usage_error("usage: " + synopsis(*command));

    options.channel_path = default_channel_path();
    try {
        return command->run(options, args);
    } catch (const Failure &f) {
        std::cout.flush();
        std::cerr << "tzctl: " << f.text << '\n';
        return f.status;
    }
}

}  // namespace
}  // namespace tzctl

int main(int argc, char **argv) {
    return tzctl::run(argc, argv);
}
