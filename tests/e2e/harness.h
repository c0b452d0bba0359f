// Runs the real programs (platformd, tzd, tzctl, platformctl) in a private runtime and state
// directory, as an operator would, for end-to-end tests.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace e2e {

struct Result {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// One simulated router on this machine: a temp directory with the daemon socket, a state
// directory, a hermetic zoneinfo tree and one runtime directory per card.
class Router {
public:
    Router();
    ~Router();
    Router(const Router &) = delete;
    Router &operator=(const Router &) = delete;

    const std::string &dir() const { return dir_; }
    std::string rundir(int card) const;
    std::string localtime(int card) const;
    std::string zoneinfo() const { return dir_ + "/zoneinfo"; }

    // Copies a zone file from the system's tree into the hermetic one.
    void add_zone(const std::string &name);

    pid_t start_platformd();
    pid_t start_tzd(int card, std::map<std::string, std::string> extra = {});
    // Sends SIGNAL and waits; returns the exit status (or 128 + signal).
    int stop(pid_t pid, int signal = 15);
    bool running(pid_t pid);
    // Waits for the process to end by itself; -1 when it is still running after TIMEOUT.
    int wait_exit(pid_t pid, std::chrono::milliseconds timeout);

    Result tzctl(int card, const std::vector<std::string> &args);
    Result platformctl(const std::vector<std::string> &args);

    // Polls COND until it holds or TIMEOUT passes.
    static bool eventually(const std::function<bool()> &cond,
                           std::chrono::milliseconds timeout = std::chrono::seconds(20));

    // The zone the card's time-zone link points at, relative to the hermetic tree; "" if none.
    std::string zone_in_effect(int card) const;
    std::string records(int card) const;
    std::string log_of(pid_t pid) const;

private:
    std::vector<std::string> env_for(int card) const;
    pid_t spawn(const std::string &program, const std::vector<std::string> &args,
                const std::vector<std::string> &env, const std::string &log);
    Result run(const std::string &program, const std::vector<std::string> &args,
               const std::vector<std::string> &env);

    std::string dir_;
    std::map<pid_t, std::string> logs_;
    std::vector<pid_t> children_;
};

std::string bin(const std::string &program);

}  // namespace e2e
