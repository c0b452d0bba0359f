// Where this card's platform lives on the machine, read once from the environment.
#pragma once

#include <string>

namespace platform {

struct Env {
    std::string rundir;     // PLATFORM_RUNDIR: channels, trace buffers, error records
    std::string socket;     // PLATFORM_SOCKET: where platformd listens
    std::string statedir;   // PLATFORM_STATEDIR: platformd's database and applied zones
    int card = 0;           // PLATFORM_CARD
    std::string localtime;  // PLATFORM_LOCALTIME: the link the time-zone setter points
    bool log_stderr = false;  // PLATFORM_LOG_STDERR=1
    std::string program;    // the running program's short name
};

// The environment as it was at the first call; later changes to the variables are not seen.
const Env &env();

// Creates DIR with MODE (exactly, whatever the umask) and its parents with 0755, where missing.
// True when it exists afterwards.
bool make_dirs(const std::string &dir, unsigned mode = 0755);

}  // namespace platform
