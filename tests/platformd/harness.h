// A private platformd for tests: its own socket, runtime and state directory under /tmp, the real
// binary as a child process, platformctl runs, and raw protocol clients.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/proto.h"

namespace pdtest {

namespace proto = platform::proto;
using namespace std::chrono_literals;

struct Result {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

class Daemon {
  public:
    Daemon();
    // A daemon in DIR (created when missing), e.g. one directory for a whole test process.
    explicit Daemon(const std::string &dir);
    ~Daemon();
    Daemon(const Daemon &) = delete;
    Daemon &operator=(const Daemon &) = delete;

    const std::string &dir() const { return dir_; }
    std::string socket() const { return dir_ + "/run/platformd.sock"; }
    // PLATFORM_* for a process of CARD.
    std::vector<std::string> env(int card = 0) const;
    // Sets PLATFORM_* in this process (before the platform library first reads them).
    void export_env(int card = 0) const;

    // Starts platformd and waits until it answers; false when it did not come up.
    bool start();
    // SIGTERM (or SIGNAL) and wait; the exit status.
    int stop(int signal = 15);
    bool running() const;
    pid_t pid() const { return pid_; }
    std::string log() const;

    Result ctl(const std::vector<std::string> &args) const;

  private:
    std::string dir_;
    pid_t pid_ = -1;
    int starts_ = 0;
};

// Starts PROGRAM with ARGS and ENV (replacing the environment); waits for its end.
Result run(const std::string &program, const std::vector<std::string> &args,
           const std::vector<std::string> &env, std::chrono::milliseconds timeout = 20s);

std::string bin(const std::string &program);

bool eventually(const std::function<bool()> &cond, std::chrono::milliseconds timeout = 10s);

// A program running in the background with its standard output on a pipe, killed at the end.
class Child {
  public:
    Child(const std::string &program, const std::vector<std::string> &args,
          const std::vector<std::string> &env);
    ~Child();
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    pid_t pid() const { return pid_; }
    // The next line of its output, without the line break; nothing within TIMEOUT.
    std::optional<std::string> line(std::chrono::milliseconds timeout = 5s);
    // Signals it and waits; the exit status.
    int stop(int signal = 9);

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buf_;
};

// A protocol client speaking for one card.
class Client {
  public:
    // Connects to SOCKET and says HELLO as CARD; check ok().
    Client(const std::string &socket, int card, pid_t pid = 0, const std::string &program = "test");
    bool ok() const { return ok_; }
    proto::Conn &conn() { return conn_; }

    // A request; the reply's status, or nothing when none came.
    std::optional<uint32_t> call(uint16_t type, const proto::Writer &w = proto::Writer(),
                                 std::vector<uint8_t> *body = nullptr,
                                 std::string *message = nullptr);
    std::optional<uint32_t> register_events(uint32_t mask = 36);
    // The next role event: {event, dlrsc card}; nothing within TIMEOUT.
    std::optional<std::pair<uint32_t, uint32_t>> next_event(std::chrono::milliseconds timeout = 5s);
    // The LR answer: status and flag.
    std::pair<uint32_t, uint32_t> am_i_dlrsc();

  private:
    proto::Conn conn_;
    bool ok_ = false;
    std::vector<proto::Frame> pending_;
};

}  // namespace pdtest
