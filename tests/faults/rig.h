// The shared router of the tests (tests/support) as the fault and access tests use it: a
// directory every user may enter, tzd started until it answers, the command lines run as any
// uid, and the time-zone item.
#pragma once

#include <sys/types.h>

#include "support.h"

namespace faults {

using namespace ts;

constexpr uid_t NOBODY = 65534;
extern const char *const TZ_ITEM;

class Rig : public Router {
  public:
    Rig();

    std::string channel(int card) const { return rundir(card) + "/dev/tz_cli_msg_transfer"; }
    // Starts tzd for CARD as UID and waits until its channel answers; its pid, or -1.
    pid_t start_tzd(int card, uid_t uid = 0);
    // Runs a program of the build as UID (its group, no others: setpriv does setresgid and
    // setresuid before it executes the program).
    Result run_as(uid_t uid, const std::string &program, const std::vector<std::string> &args,
                  int card = 0);
    Result platformctl(const std::vector<std::string> &args, uid_t uid = 0) {
        return run_as(uid, "platformctl", args);
    }
    Result tzctl(const std::vector<std::string> &args, uid_t uid = 0, int card = 0) {
        return run_as(uid, "tzctl", args, card);
    }
    // The committed time-zone item as platformctl prints it ("CET Europe/Paris"); "" if none.
    std::string stored_zone();
    // Commits the time-zone item until the verifier has registered and accepted it.
    bool commit_zone_eventually(const std::string &abbr, const std::string &zone);
    // platformd's log and every tzd's, for a failed test.
    std::string logs();

  private:
    std::vector<pid_t> tzds_;
};

// Takes the lock by which setters of the time-zone link LINK take turns, as another setter
// would; a setter that finds it held waits (up to its deadline). The descriptor; close it to let
// go.
int hold_setter_lock(const std::string &link);
// Whether PID has the setters' lock file of LINK open: while the test holds the lock, PID's setter
// is waiting for it.
bool waits_for_setter_lock(pid_t pid, const std::string &link);

// Permission bits of PATH (not following a link); -1 when it does not exist.
int mode_of(const std::string &path);

// A forked child that dropped to UID (setresgid, setresuid, no supplementary groups), ran SETUP
// and keeps what it took (connections, locks, directories' sockets) until the Holder is
// destroyed, which kills it. report() is the first line SETUP returned, or "child failed" when it
// could not drop or did not report within 60 s.
class Holder {
  public:
    Holder(uid_t uid, const std::function<std::string()> &setup);
    ~Holder();
    Holder(const Holder &) = delete;
    Holder &operator=(const Holder &) = delete;
    const std::string &report() const { return report_; }

  private:
    pid_t pid_ = -1;
    std::string report_ = "child failed";
};

// What FN returns (one line) when run as UID in a Holder's child.
std::string as_user(uid_t uid, const std::function<std::string()> &fn);

}  // namespace faults
