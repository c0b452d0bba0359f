// The commands of tzctl. Each group of commands lives in its own file and contributes its table
// entries; main dispatches on the first word of the command line.
#pragma once

#include <string>
#include <vector>

namespace tzctl {

// Options common to every command, taken from anywhere on the command line.
struct Options {
    bool json = false;
    int timeout_ms = 30000;
    std::string channel_path;  // the query channel; empty until main resolves it
};

struct Command {
    const char *name;
    const char *args;     // synopsis of the arguments, "" when none
    const char *summary;  // one line for the command list
    const char *details;  // further paragraphs of help, may be ""
    size_t min_args;
    size_t max_args;
    // Runs the command and returns the exit status; throws Failure on errors.
    int (*run)(const Options &options, const std::vector<std::string> &args);
};

// The five catalogue queries, answered by the service over its query channel.
const std::vector<Command> &query_commands();

// Setting, clearing and showing the configured time zone, through the configuration database.
const std::vector<Command> &config_commands();

}  // namespace tzctl
