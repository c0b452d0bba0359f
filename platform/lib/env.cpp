#include "platform/env.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
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

}  // namespace platform
