#include "rig.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
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

namespace faults {

const char *const TZ_ITEM = "/cfg/gl/clock/timezone";

namespace {

int decode(int w) {
    if (WIFEXITED(w))
        return WEXITSTATUS(w);
    if (WIFSIGNALED(w))
        return 128 + WTERMSIG(w);
    return -1;
}

std::vector<char *> cstrings(std::vector<std::string> &v) {
    std::vector<char *> out;
    for (auto &s : v)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

// In a forked child: no supplementary groups, then GID and UID for good.
bool drop_to(uid_t uid) {
    if (uid == 0)
        return true;
    return setgroups(0, nullptr) == 0 && setresgid(uid, uid, uid) == 0 &&
           setresuid(uid, uid, uid) == 0;
}

// Reads both pipes to their ends or until DEADLINE; false when time ran out.
bool drain(int out, int err, Result &r, std::chrono::steady_clock::time_point deadline) {
    pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
    int open_fds = 2;
    while (open_fds > 0 && std::chrono::steady_clock::now() < deadline) {
        if (poll(fds, 2, 100) <= 0)
            continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP)))
                continue;
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) {
                fds[i].fd = -1;
                --open_fds;
            } else {
                (i == 0 ? r.out : r.err).append(buf, size_t(n));
            }
        }
    }
    return open_fds == 0;
}

}  // namespace

bool eventually(const std::function<bool()> &cond, std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

bool contains(const std::string &hay, const std::string &needle) {
    return hay.find(needle) != std::string::npos;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

int mode_of(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

Rig::Rig(std::string statedir) {
    char tmpl[] = "/tmp/tzd-faults-XXXXXX";
    dir_ = mkdtemp(tmpl);
    // Other users (the access tests' second uid) reach the sockets below.
    chmod(dir_.c_str(), 0755);
    statedir_ = statedir.empty() ? dir_ + "/state" : statedir;
    for (const char *z : {"UTC", "Europe/Paris", "America/New_York", "Asia/Kolkata"}) {
        fs::path dst = fs::path(dir_) / "zoneinfo" / z;
        fs::create_directories(dst.parent_path());
        fs::copy_file(fs::path("/usr/share/zoneinfo") / z, dst);
    }
}

Rig::~Rig() {
    for (pid_t pid : std::vector<pid_t>(children_))
        signal(pid, SIGKILL);
    if (!getenv("FAULTS_KEEP"))
        fs::remove_all(dir_);
}

std::vector<std::string> Rig::env(int card) const {
    std::vector<std::string> e;
    for (char **p = environ; *p; ++p) {
        std::string kv = *p;
        if (kv.rfind("PLATFORM_", 0) != 0 && kv.rfind("TZDIR=", 0) != 0 &&
            kv.rfind("TZ=", 0) != 0 && kv.rfind("NOTIFY_SOCKET=", 0) != 0)
            e.push_back(kv);
    }
    e.push_back("PLATFORM_RUNDIR=" + rundir(card));
    e.push_back("PLATFORM_SOCKET=" + socket());
    e.push_back("PLATFORM_STATEDIR=" + statedir_);
    e.push_back("PLATFORM_CARD=" + std::to_string(card));
    e.push_back("PLATFORM_LOCALTIME=" + localtime(card));
    e.push_back("PLATFORM_LOG_STDERR=1");
    e.push_back("TZDIR=" + dir_ + "/zoneinfo");
    return e;
}

std::string Rig::zone_in_effect(int card) const {
    std::error_code ec;
    std::string t = fs::read_symlink(localtime(card), ec).string();
    std::string root = dir_ + "/zoneinfo/";
    return ec ? "" : t.rfind(root, 0) == 0 ? t.substr(root.size()) : t;
}

std::string Rig::log(const std::string &program, int card) const {
    return read_file(dir_ + "/" + program + std::to_string(card) + ".log");
}

pid_t Rig::spawn(const std::string &program, int card, uid_t uid) {
    std::string log = dir_ + "/" + program + std::to_string(card) + ".log";
    std::vector<std::string> argv{std::string(FAULTS_BIN_DIR) + "/" + program};
    std::vector<std::string> envv = env(card);
    auto a = cstrings(argv);
    auto e = cstrings(envv);
    pid_t pid = fork();
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(in, 0);
        dup2(out, 1);
        dup2(out, 2);
        if (drop_to(uid))
            execve(a[0], a.data(), e.data());
        _exit(127);
    }
    if (pid > 0)
        children_.push_back(pid);
    return pid;
}

pid_t Rig::start_platformd() {
    pid_t pid = spawn("platformd", 0, 0);
    bool up = eventually([&] { return !running(pid) || platformctl({"status"}).status == 0; });
    return up && running(pid) ? pid : -1;
}

pid_t Rig::start_tzd(int card, uid_t uid) {
    pid_t pid = spawn("tzd", card, uid);
    bool up = eventually([&] {
        return !running(pid) || tzctl({"complete", "CET"}, 0, card).status == 0;
    });
    return up && running(pid) ? pid : -1;
}

bool Rig::running(pid_t pid) {
    int w;
    if (waitpid(pid, &w, WNOHANG) == 0)
        return true;
    std::erase(children_, pid);
    return false;
}

int Rig::signal(pid_t pid, int sig) {
    if (kill(pid, sig) != 0)
        return -1;
    if (sig == SIGSTOP || sig == SIGCONT)
        return 0;
    int w = 0;
    pid_t r = waitpid(pid, &w, 0);
    std::erase(children_, pid);
    return r == pid ? decode(w) : -1;
}

Result Rig::run(const std::string &program, const std::vector<std::string> &args, uid_t uid,
                int card) {
    Result r;
    std::vector<std::string> argv{std::string(FAULTS_BIN_DIR) + "/" + program};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> envv = env(card);
    auto a = cstrings(argv);
    auto e = cstrings(envv);
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        return r;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        if (drop_to(uid))
            execve(a[0], a.data(), e.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    bool ended = pid > 0 && drain(out[0], err[0], r, std::chrono::steady_clock::now() + 30s);
    close(out[0]);
    close(err[0]);
    if (pid < 0)
        return r;
    if (!ended)
        kill(pid, SIGKILL);
    int w = 0;
    waitpid(pid, &w, 0);
    r.status = ended ? decode(w) : -1;
    return r;
}

std::string Rig::stored_zone() {
    Result r = platformctl({"cfg", "get", TZ_ITEM});
    if (r.status != 0)
        return "";
    if (!r.out.empty() && r.out.back() == '\n')
        r.out.pop_back();
    return r.out;
}

bool Rig::commit_zone_eventually(const std::string &abbr, const std::string &zone) {
    return eventually([&] { return platformctl({"cfg", "set", TZ_ITEM, abbr, zone}).status == 0; });
}

std::string as_user(uid_t uid, const std::function<std::string()> &fn) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0)
        return "child failed";
    pid_t pid = fork();
    if (pid == 0) {
        close(p[0]);
        if (!drop_to(uid))
            _exit(1);
        std::string s = fn();
        ssize_t n = write(p[1], s.data(), s.size());
        _exit(n == ssize_t(s.size()) ? 0 : 1);
    }
    close(p[1]);
    Result r;
    int none[2];
    if (pid < 0 || pipe2(none, O_CLOEXEC) != 0) {
        close(p[0]);
        return "child failed";
    }
    close(none[1]);
    bool ended = drain(p[0], none[0], r, std::chrono::steady_clock::now() + 30s);
    close(p[0]);
    close(none[0]);
    if (!ended)
        kill(pid, SIGKILL);
    int w = 0;
    waitpid(pid, &w, 0);
    return ended && decode(w) == 0 ? r.out : "child failed";
}

}  // namespace faults
