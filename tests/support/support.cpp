#include "support.h"

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char **environ;

namespace fs = std::filesystem;

namespace ts {

std::string bin(const std::string &program) {
    return std::string(TZD_BIN_DIR) + "/" + program;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
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

bool eventually(const std::function<bool()> &cond, std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

Router::Router() {
    char tmpl[] = "/tmp/tzd-test-XXXXXX";
    if (!mkdtemp(tmpl))
        abort();
    dir_ = tmpl;
    state_ = dir_ + "/state";
}

Router::~Router() {
    stop_all();
    if (!getenv("TZD_TEST_KEEP"))
        fs::remove_all(dir_);
}

void Router::add_zones(const std::vector<std::string> &names) {
    for (auto &name : names) {
        fs::path dst = fs::path(zoneinfo()) / name;
        fs::create_directories(dst.parent_path());
        fs::copy_file(fs::path("/usr/share/zoneinfo") / name, dst,
                      fs::copy_options::overwrite_existing);
    }
}

void Router::fresh_state() {
    state_ = dir_ + "/state" + std::to_string(++serial_);
}

std::vector<std::string> Router::env(int card, const std::vector<std::string> &extra) const {
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e) {
        std::string kv = *e;
        if (kv.rfind("PLATFORM_", 0) != 0 && kv.rfind("NOTIFY_SOCKET=", 0) != 0 &&
            kv.rfind("TZ=", 0) != 0 && kv.rfind("TZDIR=", 0) != 0)
            env.push_back(kv);
    }
    std::vector<std::string> ours = {"PLATFORM_RUNDIR=" + rundir(card),
                                     "PLATFORM_SOCKET=" + socket(),
                                     "PLATFORM_STATEDIR=" + state_,
                                     "PLATFORM_CARD=" + std::to_string(card),
                                     "PLATFORM_LOCALTIME=" + localtime(card),
                                     "PLATFORM_LOG_STDERR=1",
                                     "TZDIR=" + zoneinfo()};
    ours.insert(ours.end(), extra.begin(), extra.end());
    for (auto &kv : ours) {
        std::string name = kv.substr(0, kv.find('=') + 1);
        std::erase_if(env, [&](const std::string &e) { return e.rfind(name, 0) == 0; });
        env.push_back(kv);
    }
    return env;
}

void Router::export_env(int card) const {
    for (auto &kv : env(card, {"PLATFORM_LOG_STDERR=0"})) {
        auto eq = kv.find('=');
        setenv(kv.substr(0, eq).c_str(), kv.substr(eq + 1).c_str(), 1);
    }
    unsetenv("NOTIFY_SOCKET");
    fs::create_directories(rundir(card));
}

pid_t Router::spawn(const std::string &program, const std::vector<std::string> &args,
                    const std::vector<std::string> &env, const std::string &out,
                    const std::string &err) {
    std::vector<std::string> argv_s{program};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char *> argv, envp;
    for (auto &a : argv_s)
        argv.push_back(const_cast<char *>(a.c_str()));
    for (auto &e : env)
        envp.push_back(const_cast<char *>(e.c_str()));
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (err == out)
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
    else
        posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), &fa, nullptr, argv.data(), envp.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&fa);
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
            if (ended_.count(pid) || waitpid(pid, &w, WNOHANG) != pid)
                return ended_.count(pid) > 0;
            ended_[pid] = WIFEXITED(w) ? WEXITSTATUS(w) : 128 + WTERMSIG(w);
            return true;
        },
        timeout);
    std::lock_guard lock(mu_);
    return ended_.count(pid) ? ended_[pid] : -1;
}

int Router::stop(pid_t pid, int sig) {
    if (!running(pid))
        return wait_exit(pid, 0ms);
    kill(pid, sig);
    int status = wait_exit(pid, 15s);
    if (status == -1) {
        kill(pid, SIGKILL);
        status = wait_exit(pid, 5s);
    }
    return status;
}

void Router::stop_all() {
    std::vector<pid_t> pids;
    {
        std::lock_guard lock(mu_);
        for (auto &[pid, log] : logs_)
            pids.push_back(pid);
    }
    for (pid_t pid : pids)
        if (running(pid))
            stop(pid, SIGKILL);
}

std::string Router::log(pid_t pid) const {
    std::string path;
    {
        std::lock_guard lock(mu_);
        auto it = logs_.find(pid);
        if (it == logs_.end())
            return "";
        path = it->second;
    }
    return read_file(path);
}

bool Router::wait_line(pid_t pid, const std::string &line, std::chrono::milliseconds timeout) {
    return eventually(
        [&] {
            auto all = lines(pid, line);
            return std::find(all.begin(), all.end(), line) != all.end();
        },
        timeout);
}

Result Router::run(const std::string &program, const std::vector<std::string> &args, int card,
                   const std::vector<std::string> &extra) {
    std::string base = dir_ + "/run-" + std::to_string(++serial_);
    fs::create_directories(rundir(card));
    Result r;
    pid_t pid = spawn(program, args, env(card, extra), base + ".out", base + ".err");
    if (pid <= 0)
        return r;
    r.status = wait_exit(pid, 60s);
    if (r.status == -1) {
        kill(pid, SIGKILL);
        wait_exit(pid, 5s);
    }
    r.out = read_file(base + ".out");
    r.err = read_file(base + ".err");
    fs::remove(base + ".out");
    fs::remove(base + ".err");
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
    static bool exported = (router.export_env(0), true);
    (void)exported;
    return router;
}

Client::Client(const std::string &socket, int card, uint32_t flags) {
    std::string error;
    ok_ = conn_.connect(socket, 2000, &error) &&
          proto::hello(conn_, uint32_t(card), uint32_t(getpid()), "test", flags, error);
}

std::optional<uint32_t> Client::call(uint16_t type, const proto::Writer &w,
                                     std::vector<uint8_t> *body, std::string *message) {
    uint32_t status = 0;
    std::string msg;
    std::vector<uint8_t> b;
    if (conn_.call(type, w, status, msg, b, 60000, &pending_) != proto::Recv::ok)
        return std::nullopt;
    if (body)
        *body = std::move(b);
    if (message)
        *message = msg;
    return status;
}

std::optional<std::pair<uint32_t, uint32_t>> Client::next_event(std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        proto::Frame f;
        if (!pending_.empty()) {
            f = std::move(pending_.front());
            pending_.erase(pending_.begin());
        } else {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0 || conn_.recv(f, int(left.count())) != proto::Recv::ok)
                return std::nullopt;
        }
        proto::Reader r(f);
        uint32_t event = 0, dlrsc = 0;
        if (f.type == proto::T_SYSMGR_LR_EVENT && r.u32(event) && r.u32(dlrsc))
            return std::make_pair(event, dlrsc);
    }
}

}  // namespace ts
