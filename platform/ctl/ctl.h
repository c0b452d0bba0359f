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

#include "platform/proto.h"

namespace platformctl {

namespace proto = platform::proto;

// Exit statuses.
constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;       // platformd refused or failed the request
constexpr int EXIT_USAGE = 2;        // bad command line
constexpr int EXIT_UNREACHABLE = 3;  // platformd is not running or does not answer

struct Command {
    std::string group;
    std::string name;
    std::string usage;
    std::string help;
    int (*run)(const std::vector<std::string> &args);
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

// Sends one request to platformd and waits for the reply (HELLO included, as an observer).
// Returns EXIT_OK with the reply's MESSAGE and BODY when the status is 0. Otherwise it has
// printed why (the daemon's reason, or that it cannot be reached) and returns EXIT_FAILED or
// EXIT_UNREACHABLE; STATUS holds the daemon's status when there was one.
int request(uint16_t type, const proto::Writer &payload, std::string &message,
            std::vector<uint8_t> &body, uint32_t *status = nullptr, int timeout_ms = 5000);

}  // namespace platformctl
