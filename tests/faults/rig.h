// The router of the system tests, on the shared one of tests/support: a directory every user may
// enter, tzd started until it answers, the command lines run as any uid, the time-zone item, and
// a second user's process that holds what it took.
#pragma once

#include <sys/types.h>

#include "platform/proto.h"
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
    pid_t start_tzd(int card = 0, uid_t uid = 0);
    // Runs a program of the build as UID (its group, no others).
    Result run_as(uid_t uid, const std::string &program, std::vector<std::string> args,
                  int card = 0);
    Result platformctl(const std::vector<std::string> &args, uid_t uid = 0) {
        return run_as(uid, "platformctl", args);
    }
    Result tzctl(const std::vector<std::string> &args, uid_t uid = 0, int card = 0) {
        return run_as(uid, "tzctl", args, card);
    }
    // Commits ABBR ZONE to the time-zone item.
    Result set(const std::string &abbr, const std::string &zone) {
        return platformctl({"cfg", "set", TZ_ITEM, abbr, zone});
    }
    // The committed time-zone item as platformctl prints it ("CET Europe/Paris"); "" if none.
    std::string stored_zone();
    // Commits the time-zone item until the verifier has registered and accepted it.
    bool commit_zone_eventually(const std::string &abbr, const std::string &zone,
                                std::chrono::milliseconds timeout = 20s) {
        return eventually([&] { return set(abbr, zone).status == 0; }, timeout);
    }
    // Whether every card of CARDS has ZONE in effect ("" for none) within 10 s.
    bool in_effect(const std::string &zone, const std::vector<int> &cards = {0});
};

struct RigTest : ::testing::Test {
    Rig rig;
};

// Calls TYPE with REQUEST on C: the reply's status, ~0u when none came.
uint32_t call(platform::proto::Conn &c, uint16_t type, const platform::proto::Writer &request);

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

}  // namespace faults
