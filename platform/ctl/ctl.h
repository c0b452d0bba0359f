// platformctl's command table and its connection to platformd. Each group of subcommands lives
// in its own file and adds itself to the table with a static Register object:
//
//   static platformctl::Register reg({
//       {"role", "show", "[CARD]", "which card is the dLRSC, which cards are up and ready", run},
//   });
//
// A command with an empty name is the group's only command and gets every word after the group
// ("status", "fault NAME ARGS...").
#pragma once

#include <stdint.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "exit_status.h"
#include "json.h"
#include "platform/proto.h"

namespace platformctl {

namespace proto = platform::proto;

// Exit statuses: the table tzctl uses too (see exit_status.h).
constexpr int EXIT_OK = cli::kExitOk;
constexpr int EXIT_FAILED = cli::kExitRefused;  // platformd refused or failed the request
constexpr int EXIT_USAGE = cli::kExitUsage;     // bad command line
constexpr int EXIT_UNREACHABLE =
    cli::kExitUnreachable;                       // platformd is not running or not answering
constexpr int EXIT_NONE = cli::kExitNone;        // no such item, card or fault
constexpr int EXIT_UNKNOWN = cli::kExitUnknown;  // a commit whose outcome is unknown

struct Command {
    std::string group;
    std::string name;
    std::string usage;
    std::string help;
    int (*run)(const std::vector<std::string> &args);
    bool json = false;  // takes --json: prints one JSON object on one line instead of text
};

struct Register {
    Register(std::initializer_list<Command> commands);
};

const std::vector<Command> &commands();

// Prints "platformctl: TEXT" on standard error and returns CODE.
int fail(int code, const std::string &text);
// Prints the usage of one command on standard error and returns EXIT_USAGE.
int usage_error(const std::string &group, const std::string &name, const std::string &why);

// Parses a card number (0..999); false when TEXT is not one.
bool parse_card(const std::string &text, uint32_t &card);

// Whether --json was given (only commands marked json accept it).
bool json_output();

// A card as platformd's role answer describes it.
struct Card {
    uint32_t card = 0, processes = 0, ready = 0, registrations = 0;
};

// Asks platformd for the dLRSC and the cards it knows. EXIT_OK, or why not (printed).
int fetch_cards(uint32_t &dlrsc, std::vector<Card> &cards);
// One card as a JSON object: {card, dlrsc, up, ready, processes, ready_processes,
// role_registrations}. Further per-card fields go here, so that status and role show agree.
void write_card(cli::JsonWriter &j, const Card &c, uint32_t dlrsc);

// Sends one request to platformd and waits for the reply (HELLO included, as an observer).
// Returns EXIT_OK with the reply's MESSAGE and BODY when the status is 0. Otherwise it has
// printed why (the daemon's reason, or that it cannot be reached) and returns EXIT_NONE (the
// daemon's "no such" status, ENOENT), EXIT_FAILED or EXIT_UNREACHABLE; STATUS holds the daemon's
// status when there was one.
int request(uint16_t type, const proto::Writer &payload, std::string &message,
            std::vector<uint8_t> &body, uint32_t *status = nullptr, int timeout_ms = 5000);

}  // namespace platformctl
