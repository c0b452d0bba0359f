// Where this card's platform lives on the machine, read once from the environment.
#pragma once

#include <sys/types.h>

#include <string>

namespace platform {

struct Env {
    std::string rundir;       // PLATFORM_RUNDIR: channels, trace buffers, error records
    std::string socket;       // PLATFORM_SOCKET: where platformd listens
    std::string statedir;     // PLATFORM_STATEDIR: platformd's database and applied zones
    int card = 0;             // PLATFORM_CARD
    std::string localtime;    // PLATFORM_LOCALTIME: the link the time-zone setter points
    bool log_stderr = false;  // PLATFORM_LOG_STDERR=1
    std::string program;      // the running program's short name
};

// The environment as it was at the first call; later changes to the variables are not seen.
const Env &env();

// Creates DIR with MODE (exactly, whatever the umask) and its parents with 0755, where missing.
// True when it exists afterwards.
bool make_dirs(const std::string &dir, unsigned mode = 0755);

// Why this process must not trust DIR to be its own or its deployment's, or "" when it may. A
// trusted directory is writable by no group or other user, and is owned by this process's uid, by
// root, or by a uid that could not have made it there: the nearest ancestor of another owner
// (the ones between belong to the same uid and are closed to others too) belongs to root or to
// this uid and is writable by nobody else, so whoever controls it gave the directory to that
// uid. Someone who made a directory first where anyone may create one (/tmp) never passes. OWNER,
// when not null, gets the directory's owner.
std::string dir_trust_problem(const std::string &dir, uid_t *owner = nullptr);

// make_dirs(DIR, MODE), then dir_trust_problem(DIR, OWNER): "" when DIR exists and may be used,
// else why not, naming DIR.
std::string own_dir(const std::string &dir, unsigned mode, uid_t *owner = nullptr);

// own_dir(env().rundir, 0755), checked once per process: what a service that serves in its
// runtime directory (channels, trace buffers) must get empty before it creates anything there.
const std::string &rundir_problem();

}  // namespace platform
