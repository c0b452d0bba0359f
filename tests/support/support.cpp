#include "support.h"

#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/proto.h"

extern char **environ;

namespace fs = std::filesystem;
namespace proto = platform::proto;

namespace ts {

namespace {

// The guard of a router: reads process-group ids from FD (a pid to kill, its negation to forget)
// and, once every process that holds the other end has ended, kills the groups it still holds.
// Forked from a process that may run threads, so it makes async-signal-safe calls only.
[[noreturn]] void guard_main(int fd) {
    static pid_t groups[4096];
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE})
        sigaction(sig, &ignore, nullptr);
    // Nothing of the test process is kept open: its output ends when it does.
    fd = fcntl(fd, F_DUPFD, 3);
    int null = open("/dev/null", O_RDWR);
    for (int std = 0; std < 3; std++)
        dup2(null, std);
    if (fd > 3)
        close_range(3, unsigned(fd) - 1, 0);
    close_range(unsigned(fd) + 1, ~0U, 0);
    pid_t pid;
    ssize_t n;
    while ((n = recv(fd, &pid, sizeof pid, 0)) == sizeof pid || (n < 0 && errno == EINTR)) {
        if (n < 0)
            continue;
        pid_t find = pid > 0 ? 0 : -pid, put = pid > 0 ? pid : 0;
        for (pid_t &g : groups)
            if (g == find) {
                g = put;
                break;
            }
    }
    for (pid_t g : groups)
        if (g > 0)
            kill(-g, SIGKILL);
    _exit(0);
}

}  // namespace

std::string bin(const std::string &program) {
    return std::string(TZD_BIN_DIR) + "/" + program;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

bool contains(const std::string &hay, const std::string &needle) {
    return hay.find(needle) != std::string::npos;
}

std::vector<std::string> lines(const std::string &text, const std::string &prefix) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, prefix.size(), prefix) == 0)
            out.push_back(line);
    return out;
}

testing::AssertionResult ended(const Result &res, int status, const std::string &text) {
    if (res.status == status && contains(res.out + res.err, text))
        return testing::AssertionSuccess();
    return testing::AssertionFailure()
           << "ended with " << res.status << ", not " << status << " with \"" << text << "\":\n"
           << res.out << res.err;
}

bool eventually(const std::function<bool()> &cond, std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

Router::Router() : owner_(getpid()) {
    char tmpl[] = "/tmp/tzd-test-XXXXXX";
    if (!mkdtemp(tmpl))
        abort();
    dir_ = tmpl;
}

Router::~Router() {
    if (getpid() != owner_)
        return;
    stop_all();
    if (guard_ > 0) {
        close(guard_fd_);  // its list is empty now: it ends without a kill
        if (wait_exit(guard_, 5s) == -1)
            stop(guard_, SIGKILL);
    }
    if (!getenv("TZD_TEST_KEEP"))
        fs::remove_all(dir_);
}

void Router::tell_guard(pid_t pid) {
    if (guard_ < 0) {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0)
            abort();
        guard_ = fork();
        if (guard_ < 0)
            abort();
        if (guard_ == 0)
            guard_main(sv[1]);
        close(sv[1]);
        guard_fd_ = sv[0];
    }
    send(guard_fd_, &pid, sizeof pid, MSG_NOSIGNAL);
}

void Router::add_zones(const std::vector<std::string> &names) {
    for (auto &name : names) {
        fs::path dst = fs::path(zoneinfo()) / name;
        fs::create_directories(dst.parent_path());
        fs::copy_file(fs::path("/usr/share/zoneinfo") / name, dst,
                      fs::copy_options::overwrite_existing);
    }
}

std::vector<std::string> Router::env(int card, const std::vector<std::string> &extra) const {
    std::vector<std::string> env, ours = {"PLATFORM_RUNDIR=" + rundir(card),
                                          "PLATFORM_SOCKET=" + socket(),
                                          "PLATFORM_STATEDIR=" + statedir(),
                                          "PLATFORM_CARD=" + std::to_string(card),
                                          "PLATFORM_LOCALTIME=" + localtime(card),
                                          "PLATFORM_LOG_STDERR=1",
                                          "TZDIR=" + zoneinfo(),
                                          "NOTIFY_SOCKET",
                                          "TZ"};
    for (char **e = environ; inherit_environment && *e; ++e)
        env.push_back(*e);
    ours.insert(ours.end(), extra.begin(), extra.end());
    for (auto &kv : ours) {  // "NAME=VALUE" sets NAME, a bare "NAME" unsets it
        std::string name = kv.substr(0, kv.find('=')) + "=";
        std::erase_if(env, [&](const std::string &e) { return e.rfind(name, 0) == 0; });
        if (kv.find('=') != std::string::npos)
            env.push_back(kv);
    }
    return env;
}

pid_t Router::spawn(const std::string &program, const std::vector<std::string> &args,
                    const std::vector<std::string> &env, const std::string &out,
                    const std::string &err) {
    auto c_array = [](std::vector<char *> out, const std::vector<std::string> &strings) {
        for (auto &s : strings)
            out.push_back(const_cast<char *>(s.c_str()));
        out.push_back(nullptr);
        return out;
    };
    std::vector<char *> argv = c_array({const_cast<char *>(program.c_str())}, args);
    std::vector<char *> envp = c_array({}, env);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    std::lock_guard lock(mu_);
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), &fa, &attr, argv.data(), envp.data()) != 0)
        pid = -1;
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&fa);
    if (pid > 0) {
        ended_.erase(pid);  // a number used again
        spawned_.insert(pid);
        tell_guard(pid);
    }
    return pid;
}

pid_t Router::start(const std::string &program, const std::vector<std::string> &args, int card,
                    const std::vector<std::string> &extra) {
    fs::create_directories(rundir(card));
    std::string log = dir_ + "/" + fs::path(program).filename().string() + "-" +
                      std::to_string(++serial_) + ".log";
    pid_t pid = spawn(program, args, env(card, extra), log, log);
    if (pid > 0) {
        std::lock_guard lock(mu_);
        logs_[pid] = log;
    }
    return pid;
}

pid_t Router::start_platformd() {
    pid_t pid = start(bin("platformd"));
    bool up = eventually([&] {  // answered, not only listening
        proto::Conn c;
        std::string err;
        return !running(pid) || (c.connect(socket(), 100) &&
                                 proto::hello(c, 0, getpid(), "test", proto::HELLO_OBSERVER, err));
    });
    platformd_ = up && running(pid) ? pid : -1;
    return platformd_;
}

int Router::wait_exit(pid_t pid, std::chrono::milliseconds timeout) {
    if (pid <= 0)
        return -1;
    eventually(
        [&] {
            std::lock_guard lock(mu_);
            int w = 0;
            pid_t r = ended_.count(pid) ? 0 : waitpid(pid, &w, WNOHANG);
            if (r == pid)
                ended_[pid] = WIFEXITED(w) ? WEXITSTATUS(w) : 128 + WTERMSIG(w);
            else if (r < 0)
                ended_[pid] = -2;  // not a child of ours (or reaped elsewhere): never signalled
            if (r != 0 && spawned_.erase(pid))
                tell_guard(-pid);  // its number may be used again
            return ended_.count(pid) > 0;
        },
        timeout);
    std::lock_guard lock(mu_);
    return ended_.count(pid) ? ended_[pid] : -1;
}

int Router::stop(pid_t pid, int sig) {
    if (running(pid))
        kill(pid, sig);
    int status = wait_exit(pid, 15s);
    if (status == -1 && running(pid)) {
        kill(pid, SIGKILL);
        status = wait_exit(pid, 5s);
    }
    return status;
}

void Router::stop_all() {
    std::unique_lock lock(mu_);
    std::vector<pid_t> pids(spawned_.begin(), spawned_.end());
    lock.unlock();
    for (pid_t pid : pids) {
        kill(-pid, SIGKILL);  // the group: whatever the program started goes with it
        stop(pid, SIGKILL);
    }
}

std::string Router::log(pid_t pid) const {
    std::unique_lock lock(mu_);
    auto it = logs_.find(pid);
    std::string path = it == logs_.end() ? "" : it->second;
    lock.unlock();
    return path.empty() ? "" : read_file(path);
}

bool Router::wait_line(pid_t pid, const std::string &line, std::chrono::milliseconds timeout) {
    return eventually([&] { return contains("\n" + log(pid), "\n" + line + "\n"); }, timeout);
}

Result Router::run(const std::string &program, const std::vector<std::string> &args, int card,
                   const std::vector<std::string> &extra) {
    std::string base = dir_ + "/run-" + std::to_string(++serial_);
    fs::create_directories(rundir(card));
    Result r;
    pid_t pid = spawn(program, args, env(card, extra), base + ".out", base + ".err");
    if (pid <= 0)
        return r;
    if ((r.status = wait_exit(pid, 60s)) == -1)
        stop(pid, SIGKILL);
    r.out = read_file(base + ".out");
    r.err = read_file(base + ".err");
    return r;
}

std::string Router::records(int card, const std::string &program) const {
    return read_file(rundir(card) + "/records/" + program + ".log");
}

std::string Router::zone_in_effect(int card) const {
    std::error_code ec;
    std::string target = fs::read_symlink(localtime(card), ec).string();
    std::string root = zoneinfo() + "/";
    return target.rfind(root, 0) == 0 ? target.substr(root.size()) : target;
}

Router &shared_router() {
    static Router router;
    static bool exported = [] {  // before the platform library first reads them
        unsetenv("NOTIFY_SOCKET");
        for (auto &kv : router.env(0, {"PLATFORM_LOG_STDERR=0"})) {
            size_t eq = kv.find('=');  // setenv, not putenv: a later setenv would leak its copy
            setenv(kv.substr(0, eq).c_str(), kv.substr(eq + 1).c_str(), 1);
        }
        fs::create_directories(router.rundir(0));
        return true;
    }();
    (void)exported;
    return router;
}

}  // namespace ts
