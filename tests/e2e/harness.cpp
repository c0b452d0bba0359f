#include "harness.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char **environ;

namespace fs = std::filesystem;

namespace e2e {

namespace {

std::string slurp(const std::string &path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

int decode(int wstatus) {
    if (WIFEXITED(wstatus))
        return WEXITSTATUS(wstatus);
    if (WIFSIGNALED(wstatus))
        return 128 + WTERMSIG(wstatus);
    return -1;
}

}  // namespace

std::string bin(const std::string &program) { return std::string(TZD_BIN_DIR) + "/" + program; }

Router::Router() {
    char tmpl[] = "/tmp/tzd-e2e-XXXXXX";
    dir_ = mkdtemp(tmpl);
    fs::create_directories(dir_ + "/state");
    fs::create_directories(zoneinfo());
    for (const char *z : {"UTC", "Europe/Paris", "Europe/Berlin", "Asia/Kolkata", "America/New_York"})
        add_zone(z);
}

Router::~Router() {
    for (pid_t pid : children_)
        if (running(pid))
            stop(pid, SIGKILL);
    if (!getenv("TZD_E2E_KEEP"))
        fs::remove_all(dir_);
}

std::string Router::rundir(int card) const { return dir_ + "/card" + std::to_string(card); }
std::string Router::localtime(int card) const { return rundir(card) + "/localtime"; }

void Router::add_zone(const std::string &name) {
    fs::path dst = fs::path(zoneinfo()) / name;
    fs::create_directories(dst.parent_path());
    fs::copy_file(fs::path("/usr/share/zoneinfo") / name, dst,
                  fs::copy_options::overwrite_existing);
}

std::vector<std::string> Router::env_for(int card) const {
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e) {
        std::string kv = *e;
        if (kv.rfind("PLATFORM_", 0) == 0 || kv.rfind("TZDIR=", 0) == 0 ||
            kv.rfind("NOTIFY_SOCKET=", 0) == 0 || kv.rfind("TZ=", 0) == 0)
            continue;
        env.push_back(kv);
    }
    env.push_back("PLATFORM_RUNDIR=" + rundir(card));
    env.push_back("PLATFORM_SOCKET=" + dir_ + "/platformd.sock");
    env.push_back("PLATFORM_STATEDIR=" + dir_ + "/state");
    env.push_back("PLATFORM_CARD=" + std::to_string(card));
    env.push_back("PLATFORM_LOCALTIME=" + localtime(card));
    env.push_back("PLATFORM_LOG_STDERR=1");
    env.push_back("TZDIR=" + zoneinfo());
    return env;
}

pid_t Router::spawn(const std::string &program, const std::vector<std::string> &args,
                    const std::vector<std::string> &env, const std::string &log) {
    std::vector<char *> argv{const_cast<char *>(program.c_str())};
    for (auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (auto &e : env)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, program.c_str(), &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0)
        return -1;
    logs_[pid] = log;
    children_.push_back(pid);
    return pid;
}

pid_t Router::start_platformd() {
    fs::create_directories(rundir(0));
    pid_t pid = spawn(bin("platformd"), {}, env_for(0), dir_ + "/platformd.log");
    std::string sock = dir_ + "/platformd.sock";
    eventually([&] { return access(sock.c_str(), F_OK) == 0 || !running(pid); },
               std::chrono::seconds(10));
    return pid;
}

pid_t Router::start_tzd(int card, std::map<std::string, std::string> extra) {
    fs::create_directories(rundir(card));
    auto env = env_for(card);
    for (auto &[k, v] : extra) {
        std::erase_if(env, [&](const std::string &kv) { return kv.rfind(k + "=", 0) == 0; });
        env.push_back(k + "=" + v);
    }
    return spawn(bin("tzd"), {}, env, dir_ + "/tzd-card" + std::to_string(card) + ".log");
}

bool Router::running(pid_t pid) {
    int wstatus;
    pid_t r = waitpid(pid, &wstatus, WNOHANG);
    if (r == 0)
        return true;
    if (r == pid)
        std::erase(children_, pid);
    return false;
}

int Router::wait_exit(pid_t pid, std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        int wstatus;
        pid_t r = waitpid(pid, &wstatus, WNOHANG);
        if (r == pid) {
            std::erase(children_, pid);
            return decode(wstatus);
        }
        if (r < 0)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
}

int Router::stop(pid_t pid, int signal) {
    kill(pid, signal);
    int status = wait_exit(pid, std::chrono::seconds(15));
    if (status == -1) {
        kill(pid, SIGKILL);
        status = wait_exit(pid, std::chrono::seconds(5));
    }
    return status;
}

Result Router::run(const std::string &program, const std::vector<std::string> &args,
                   const std::vector<std::string> &env) {
    static int counter = 0;
    std::string base = dir_ + "/cmd" + std::to_string(++counter);
    std::vector<char *> argv{const_cast<char *>(program.c_str())};
    for (auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (auto &e : env)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, (base + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&fa, 2, (base + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    pid_t pid;
    Result r;
    if (posix_spawn(&pid, program.c_str(), &fa, nullptr, argv.data(), envp.data()) == 0) {
        int wstatus;
        waitpid(pid, &wstatus, 0);
        r.status = decode(wstatus);
    }
    posix_spawn_file_actions_destroy(&fa);
    r.out = slurp(base + ".out");
    r.err = slurp(base + ".err");
    return r;
}

Result Router::tzctl(int card, const std::vector<std::string> &args) {
    return run(bin("tzctl"), args, env_for(card));
}

Result Router::platformctl(const std::vector<std::string> &args) {
    return run(bin("platformctl"), args, env_for(0));
}

bool Router::eventually(const std::function<bool()> &cond, std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (cond())
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

std::string Router::zone_in_effect(int card) const {
    std::error_code ec;
    fs::path target = fs::read_symlink(localtime(card), ec);
    if (ec)
        return "";
    std::string t = target.string();
    std::string root = zoneinfo() + "/";
    return t.rfind(root, 0) == 0 ? t.substr(root.size()) : t;
}

std::string Router::records(int card) const { return slurp(rundir(card) + "/records/tzd.log"); }

std::string Router::log_of(pid_t pid) const {
    auto it = logs_.find(pid);
    return it == logs_.end() ? "" : slurp(it->second);
}

}  // namespace e2e
