#include "platform/env.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>

namespace platform {
namespace {

std::string get(const char *name) {
    const char *v = getenv(name);
    return v ? std::string(v) : std::string();
}

bool writable_dir(const std::string &dir) {
    return !dir.empty() && access(dir.c_str(), W_OK | X_OK) == 0;
}

// The first of /run/platform (when /run is ours to write), the user's runtime directory, /tmp.
std::string default_rundir() {
    if (writable_dir("/run/platform") ||
        (access("/run/platform", F_OK) != 0 && writable_dir("/run")))
        return "/run/platform";
    std::string xdg = get("XDG_RUNTIME_DIR");
    if (!xdg.empty())
        return xdg + "/platform";
    return "/tmp/platform-" + std::to_string(getuid());
}

std::string default_statedir() {
    if (writable_dir("/var/lib/platform") ||
        (access("/var/lib/platform", F_OK) != 0 && writable_dir("/var/lib")))
        return "/var/lib/platform";
    std::string xdg = get("XDG_STATE_HOME");
    if (!xdg.empty())
        return xdg + "/platform";
    return get("HOME") + "/.local/state/platform";
}

// Ends the process with status 2 and the variable named: the environment is the command line of
// every program on the platform, and none can run on a value it cannot read.
[[noreturn]] void bad_variable(const char *name, const std::string &value, const char *wanted) {
    const char *program =
        program_invocation_short_name ? program_invocation_short_name : "platform";
    std::string line =
        std::string(program) + ": " + name + "=" + value + " is not " + wanted + "\n";
    fflush(stdout);
    (void)!write(STDERR_FILENO, line.data(), line.size());
    _exit(2);
}

Env load() {
    Env e;
    e.rundir = get("PLATFORM_RUNDIR");
    if (e.rundir.empty())
        e.rundir = default_rundir();
    while (e.rundir.size() > 1 && e.rundir.back() == '/')
        e.rundir.pop_back();
    e.socket = get("PLATFORM_SOCKET");
    if (e.socket.empty())
        e.socket = e.rundir + "/platformd.sock";
    e.statedir = get("PLATFORM_STATEDIR");
    if (e.statedir.empty())
        e.statedir = default_statedir();
    std::string card = get("PLATFORM_CARD");
    if (!card.empty()) {
        // A card number that is not one must not quietly become card 0: that card's process would
        // take another card's place (and its role).
        bool digits = card.size() <= 3 && std::all_of(card.begin(), card.end(),
                                                      [](char c) { return c >= '0' && c <= '9'; });
        if (!digits)
            bad_variable("PLATFORM_CARD", card, "a card number, 0 to 999");
        e.card = std::stoi(card);
    }
    e.localtime = get("PLATFORM_LOCALTIME");
    if (e.localtime.empty())
        e.localtime = e.statedir + "/card" + std::to_string(e.card) + "/localtime";
    e.log_stderr = get("PLATFORM_LOG_STDERR") == "1";
    e.program = program_invocation_short_name ? program_invocation_short_name : "platform";
    return e;
}

}  // namespace

const Env &env() {
    // Never destroyed: a thread that ends the process with exit() must not free it under the
    // threads still running.
    static const Env &e = *new Env(load());
    return e;
}

bool make_dirs(const std::string &dir, unsigned mode) {
    if (dir.empty())
        return false;
    struct stat st;
    if (stat(dir.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode);
    auto slash = dir.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !make_dirs(dir.substr(0, slash), 0755))
        return false;
    if (mkdir(dir.c_str(), mode) != 0) {
        if (errno != EEXIST)
            return false;
    } else if (chmod(dir.c_str(), mode) != 0) {
        // Ours, just made: exactly MODE, not MODE less a restrictive umask that would lock other
        // users out of a runtime directory.
        return false;
    }
    return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string dir_trust_problem(const std::string &dir, uid_t *owner) {
    char real[PATH_MAX];
    struct stat st;
    if (!realpath(dir.c_str(), real) || stat(real, &st) != 0)
        return dir + ": " + strerror(errno);
    if (!S_ISDIR(st.st_mode))
        return dir + " is not a directory";
    if (owner)
        *owner = st.st_uid;
    if (st.st_mode & 022)
        return dir + " is writable by " + ((st.st_mode & 002) ? "every user" : "its group") +
               " (mode " + std::to_string((st.st_mode >> 6) & 7) +
               std::to_string((st.st_mode >> 3) & 7) + std::to_string(st.st_mode & 7) +
               "); it must be writable by its owner only";
    uid_t me = geteuid();
    if (st.st_uid == me || st.st_uid == 0)
        return std::string();
    // Up through the directories of the same owner to the one that holds them: it must belong to
    // root or to this uid, and let nobody else create entries.
    std::string path = real;
    for (;;) {
        auto slash = path.find_last_of('/');
        std::string parent = slash == 0 ? "/" : path.substr(0, slash);
        struct stat pst;
        if (path == "/" || stat(parent.c_str(), &pst) != 0)
            break;
        bool closed = !(pst.st_mode & 022);
        if (pst.st_uid == st.st_uid && closed) {
            path = parent;
            continue;
        }
        if ((pst.st_uid == 0 || pst.st_uid == me) && closed)
            return std::string();
        return dir + " belongs to uid " + std::to_string(st.st_uid) + ", who may have made it (" +
               parent + " lets other users create entries); it must belong to uid " +
               std::to_string(me) + " or be given to its owner where only root can create it";
    }
    return dir + ": cannot tell who made it";
}

std::string own_dir(const std::string &dir, unsigned mode, uid_t *owner) {
    errno = 0;
    if (!make_dirs(dir, mode))
        return "cannot create " + dir + ": " + strerror(errno ? errno : ENOTDIR);
    return dir_trust_problem(dir, owner);
}

const std::string &rundir_problem() {
    static const std::string &problem = *new std::string(own_dir(env().rundir, 0755));
    return problem;
}

}  // namespace platform
