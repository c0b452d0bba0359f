// One simulated router for the fault and access tests: a directory under /tmp that any user may
// enter, platformd and one tzd per card as real processes, and the command lines run as any uid.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace faults {

using namespace std::chrono_literals;

struct Result {
    int status = -1;  // exit status, 128 + signal, or -1 when it did not end in time
    std::string out;
    std::string err;
};

bool eventually(const std::function<bool()> &cond, std::chrono::milliseconds timeout = 20s);
bool contains(const std::string &hay, const std::string &needle);
std::string read_file(const std::string &path);
// Permission bits of PATH (not following a link); -1 when it does not exist.
int mode_of(const std::string &path);

class Rig {
  public:
    // STATEDIR: platformd's state directory, default DIR/state (not made in advance).
    explicit Rig(std::string statedir = {});
    ~Rig();
    Rig(const Rig &) = delete;
    Rig &operator=(const Rig &) = delete;

    const std::string &dir() const { return dir_; }
    std::string socket() const { return dir_ + "/run/platformd.sock"; }
    std::string statedir() const { return statedir_; }
    std::string rundir(int card) const { return dir_ + "/card" + std::to_string(card); }
    std::string channel(int card) const { return rundir(card) + "/dev/tz_cli_msg_transfer"; }
    std::string localtime(int card) const { return rundir(card) + "/localtime"; }
    // The zone the card's link points at, below the rig's zoneinfo tree; "" when there is none.
    std::string zone_in_effect(int card) const;
    // The environment of a process of CARD.
    std::vector<std::string> env(int card) const;

    // Starts platformd and waits until it answers; its pid, or -1.
    pid_t start_platformd();
    // Starts tzd for CARD as UID and waits until its channel answers a query; its pid, or -1.
    pid_t start_tzd(int card, uid_t uid = 0);
    // Signals PID (a child of the rig) and, unless SIG is SIGSTOP or SIGCONT, waits for its end.
    int signal(pid_t pid, int sig);
    bool running(pid_t pid);
    std::string log(const std::string &program, int card = 0) const;

    // Runs a program of the build to its end as UID (and its group); the environment of CARD.
    Result run(const std::string &program, const std::vector<std::string> &args, uid_t uid = 0,
               int card = 0);
    Result platformctl(const std::vector<std::string> &args, uid_t uid = 0) {
        return run("platformctl", args, uid);
    }
    Result tzctl(const std::vector<std::string> &args, uid_t uid = 0, int card = 0) {
        return run("tzctl", args, uid, card);
    }
    // The committed time-zone item as platformctl prints it ("CET Europe/Paris"); "" if none.
    std::string stored_zone();
    // Commits the time-zone item until the verifier has registered and accepted it.
    bool commit_zone_eventually(const std::string &abbr, const std::string &zone);

  private:
    pid_t spawn(const std::string &program, int card, uid_t uid);

    std::string dir_;
    std::string statedir_;
    std::vector<pid_t> children_;
};

// Runs FN in a forked child as UID (with its group and no supplementary groups) and returns
// what FN returned; "child failed" when the child did not finish or could not drop to UID.
std::string as_user(uid_t uid, const std::function<std::string()> &fn);

constexpr uid_t NOBODY = 65534;
extern const char *const TZ_ITEM;

}  // namespace faults
