// What the platform and end-to-end tests share: a private router on this machine (a temp
// directory with platformd's socket and state, a runtime directory per card and a zoneinfo tree
// of its own), the real programs started in it, command runs and bounded waits.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace ts {

using namespace std::chrono_literals;

struct Result {
    int status = -1;  // exit status, 128 + signal, or -1 when it did not end in time
    std::string out, err;
};

std::string bin(const std::string &program);
std::string read_file(const std::string &path);
bool contains(const std::string &hay, const std::string &needle);
// The lines of TEXT that begin with PREFIX.
std::vector<std::string> lines(const std::string &text, const std::string &prefix = "");
// Whether RES ended with STATUS and has TEXT in its output; what it did instead when not.
testing::AssertionResult ended(const Result &res, int status, const std::string &text = "");
// Polls COND until it holds; false once TIMEOUT has passed.
bool eventually(const std::function<bool()> &cond, std::chrono::milliseconds timeout = 20s);

// Every program a router starts runs in a process group of its own, which the router kills when
// it goes; should the test process end without that (a crash, a kill), a guard process that it
// started kills those groups instead, so that no test leaves a tzd or platformd running behind it.
class Router {
  public:
    Router();
    // Kills what it started and removes the directory (unless TZD_TEST_KEEP is set); nothing in a
    // forked child of the process that made it.
    ~Router();
    Router(const Router &) = delete;
    Router &operator=(const Router &) = delete;

    const std::string &dir() const { return dir_; }
    std::string socket() const {
        return (socket_dir_.empty() ? dir_ : socket_dir_) + "/platformd.sock";
    }
    // Puts platformd's socket in DIR instead of dir() (before platformd starts).
    void set_socket_dir(const std::string &dir) { socket_dir_ = dir; }
    std::string rundir(int card) const { return dir_ + "/card" + std::to_string(card); }
    std::string localtime(int card) const { return rundir(card) + "/localtime"; }
    std::string zoneinfo() const { return dir_ + "/zoneinfo"; }
    std::string statedir() const { return dir_ + "/state"; }
    // Copies zone files from the system's tree into the router's.
    void add_zones(const std::vector<std::string> &names);

    // The environment of a process of CARD: this process's with the router's variables in place
    // of its own and without NOTIFY_SOCKET and TZ, then EXTRA ("NAME=VALUE" sets NAME, a bare
    // "NAME" unsets it).
    std::vector<std::string> env(int card = 0, const std::vector<std::string> &extra = {}) const;

    // Starts PROGRAM in the background, in a process group of its own; its standard output and
    // error go to its log.
    pid_t start(const std::string &program, const std::vector<std::string> &args = {}, int card = 0,
                const std::vector<std::string> &extra = {});
    // Starts platformd and waits until it answers; -1 when it did not come up.
    pid_t start_platformd();
    pid_t platformd() const { return platformd_; }
    // Signals PID and waits for its end (SIGKILL after 15 s); its status.
    int stop(pid_t pid, int sig = SIGTERM);
    void stop_all();
    // The status once PID has ended; -1 while it still runs after TIMEOUT, -2 when it is not a
    // child of this process.
    int wait_exit(pid_t pid, std::chrono::milliseconds timeout = 20s);
    // false: programs get the router's variables only, not this process's environment (which a
    // thread of the test may be changing, as the query service sets TZ).
    bool inherit_environment = true;
    bool running(pid_t pid) { return pid > 0 && wait_exit(pid, 0ms) == -1; }
    std::string log(pid_t pid) const;
    std::vector<std::string> lines(pid_t pid, const std::string &prefix) const {
        return ts::lines(log(pid), prefix);
    }
    // Waits for a line of PID's log equal to LINE.
    bool wait_line(pid_t pid, const std::string &line, std::chrono::milliseconds timeout = 20s);

    // Runs PROGRAM to its end (killed after 60 s).
    Result run(const std::string &program, const std::vector<std::string> &args, int card = 0,
               const std::vector<std::string> &extra = {});
    Result ctl(const std::vector<std::string> &args) { return run(bin("platformctl"), args); }
    Result tzctl(int card, const std::vector<std::string> &args) {
        return run(bin("tzctl"), args, card);
    }

    std::string records(int card, const std::string &program = "tzd") const;
    // The zone CARD's time-zone link points at, relative to the router's tree; "" when none.
    std::string zone_in_effect(int card) const;

  private:
    pid_t spawn(const std::string &program, const std::vector<std::string> &args,
                const std::vector<std::string> &env, const std::string &out,
                const std::string &err);

    // Tells the guard, started on first use, that the group of PID is to be killed (PID > 0) or
    // no longer (PID < 0). The caller holds mu_.
    void tell_guard(pid_t pid);

    std::string dir_;
    std::string socket_dir_;
    pid_t owner_;  // the process that made the router
    pid_t platformd_ = -1;
    // A test may run programs and wait for them from several threads at once.
    std::atomic<int> serial_{0};
    mutable std::mutex mu_;  // guards logs_, ended_, spawned_ and the guard
    std::map<pid_t, std::string> logs_;
    std::map<pid_t, int> ended_;
    std::set<pid_t> spawned_;  // started and not yet waited for
    pid_t guard_ = -1;
    int guard_fd_ = -1;
};

// The router of this test process, made once, whose variables the process itself uses (card 0).
Router &shared_router();

}  // namespace ts
