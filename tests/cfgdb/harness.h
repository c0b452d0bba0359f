// Runs a real platformd in a private directory, stub verifiers and notifiees (cfgdb_stub) and
// platformctl, for the configuration-database tests. This process talks to the same platformd
// through libsysdb.so and the wire protocol.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/proto_cfg.h"

namespace cfgtest {

struct Result {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// The process-wide directory: run/ (socket), one state directory per daemon start.
const std::string &dir();
// Sets the platform's environment variables for this process; call before anything else.
void init_environment();

std::string read_file(const std::string &path);
bool eventually(const std::function<bool()> &cond,
                std::chrono::milliseconds timeout = std::chrono::seconds(20));

class Daemon {
  public:
    explicit Daemon(std::string statedir) : statedir_(std::move(statedir)) {}
    ~Daemon();
    // Starts platformd and waits until it answers. EXTRA_ENV: "NAME=VALUE" entries.
    bool start(const std::vector<std::string> &extra_env = {});
    // Stops it with SIG and waits; returns the exit status (or 128 + signal).
    int stop(int sig = 15);
    bool running() const { return pid_ > 0; }
    const std::string &statedir() const { return statedir_; }
    std::string log() const { return read_file(log_); }

  private:
    std::string statedir_;
    std::string log_;
    pid_t pid_ = -1;
    int starts_ = 0;
};

// A cfgdb_stub process; its log is a file of event lines.
class Stub {
  public:
    Stub(const std::string &name, const std::vector<std::string> &args, int card = 0);
    ~Stub();
    Stub(const Stub &) = delete;
    Stub &operator=(const Stub &) = delete;

    pid_t pid() const { return pid_; }
    std::string log() const { return read_file(log_); }
    // Lines of the log that begin with PREFIX.
    std::vector<std::string> lines(const std::string &prefix) const;
    bool has(const std::string &line) const;
    // Waits for a log line equal to LINE.
    bool wait_for(const std::string &line,
                  std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
    void signal(int sig);
    // Kills it with SIGKILL and waits for it.
    void kill();
    // Waits for it to end by itself; its exit status, or -1 after TIMEOUT.
    int wait_exit(std::chrono::milliseconds timeout = std::chrono::seconds(20));

  private:
    std::string log_;
    pid_t pid_ = -1;
};

// Runs PROGRAM to its end with the environment plus EXTRA_ENV ("NAME=VALUE").
Result run(const std::string &program, const std::vector<std::string> &args,
           const std::vector<std::string> &extra_env = {});
Result platformctl(const std::vector<std::string> &args);

// A direct client of platformd on the wire protocol.
class Client {
  public:
    bool open();
    // Commits STRINGS (or a deletion) at PATH; the daemon's status, or ~0u when the connection
    // failed. REASON gets the reply's message.
    uint32_t commit(const std::string &path, const std::vector<std::string> &strings,
                    std::string *reason = nullptr, bool del = false);
    // The stored strings at PATH; false when there is none or the request failed.
    bool get(const std::string &path, std::vector<std::string> &strings);
    platform::proto::Conn &conn() { return conn_; }

  private:
    platform::proto::Conn conn_;
};

}  // namespace cfgtest
