#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
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

namespace pdtest {
namespace {

int decode_status(int w) {
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

// The environment without PLATFORM_* and NOTIFY_SOCKET, plus EXTRA.
std::vector<std::string> clean_env(const std::vector<std::string> &extra) {
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e) {
        std::string kv = *e;
        if (kv.rfind("PLATFORM_", 0) == 0 || kv.rfind("NOTIFY_SOCKET=", 0) == 0)
            continue;
        env.push_back(kv);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

}  // namespace

std::string bin(const std::string &program) {
    return std::string(PD_BIN_DIR) + "/" + program;
}

bool eventually(const std::function<bool()> &cond, std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (cond())
            return true;
        std::this_thread::sleep_for(20ms);
    }
    return cond();
}

Result run(const std::string &program, const std::vector<std::string> &args,
           const std::vector<std::string> &env, std::chrono::milliseconds timeout) {
    Result result;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        return result;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> envv = clean_env(env);
    auto a = cstrings(argv);
    auto e = cstrings(envv);
    pid_t pid;
    int rc = posix_spawn(&pid, program.c_str(), &fa, nullptr, a.data(), e.data());
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    close(err[1]);
    if (rc != 0) {
        close(out[0]);
        close(err[0]);
        return result;
    }
    auto end = std::chrono::steady_clock::now() + timeout;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open_fds = 2;
    while (open_fds > 0 && std::chrono::steady_clock::now() < end) {
        if (poll(fds, 2, 100) <= 0)
            continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP)))
                continue;
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof(buf));
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_fds;
            } else {
                (i == 0 ? result.out : result.err).append(buf, size_t(n));
            }
        }
    }
    for (auto &p : fds)
        if (p.fd >= 0)
            close(p.fd);
    int w = 0;
    if (open_fds > 0)
        kill(pid, SIGKILL);  // did not finish in time
    waitpid(pid, &w, 0);
    result.status = open_fds > 0 ? -1 : decode_status(w);
    return result;
}

Daemon::Daemon() {
    char tmpl[] = "/tmp/platformd-test-XXXXXX";
    dir_ = mkdtemp(tmpl);
}

Daemon::Daemon(const std::string &dir) : dir_(dir) {
    fs::create_directories(dir_);
}

Daemon::~Daemon() {
    if (running())
        stop(SIGKILL);
    if (!getenv("PD_TEST_KEEP"))
        fs::remove_all(dir_);
}

std::vector<std::string> Daemon::env(int card) const {
    return {"PLATFORM_RUNDIR=" + dir_ + "/card" + std::to_string(card),
            "PLATFORM_SOCKET=" + socket(), "PLATFORM_STATEDIR=" + dir_ + "/state",
            "PLATFORM_CARD=" + std::to_string(card)};
}

void Daemon::export_env(int card) const {
    for (auto &kv : env(card)) {
        auto eq = kv.find('=');
        setenv(kv.substr(0, eq).c_str(), kv.substr(eq + 1).c_str(), 1);
    }
}

bool Daemon::start() {
    std::string log = dir_ + "/platformd.log";
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 2, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> argv{bin("platformd")};
    std::vector<std::string> envv = clean_env(env(0));
    auto a = cstrings(argv);
    auto e = cstrings(envv);
    int rc = posix_spawn(&pid_, argv[0].c_str(), &fa, nullptr, a.data(), e.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        pid_ = -1;
        return false;
    }
    ++starts_;
    return eventually([&] {
               if (!running())
                   return true;
               proto::Conn c;
               return c.connect(socket(), 100);
           }) &&
           running();
}

bool Daemon::running() const {
    if (pid_ <= 0)
        return false;
    int w;
    return waitpid(pid_, &w, WNOHANG) == 0;
}

int Daemon::stop(int signal) {
    if (pid_ <= 0)
        return -1;
    kill(pid_, signal);
    int w = 0;
    waitpid(pid_, &w, 0);
    pid_ = -1;
    return decode_status(w);
}

std::string Daemon::log() const {
    std::ifstream in(dir_ + "/platformd.log");
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

Result Daemon::ctl(const std::vector<std::string> &args) const {
    return run(bin("platformctl"), args, env(0));
}

Child::Child(const std::string &program, const std::vector<std::string> &args,
             const std::vector<std::string> &env) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> envv = clean_env(env);
    auto a = cstrings(argv);
    auto e = cstrings(envv);
    if (posix_spawn(&pid_, program.c_str(), &fa, nullptr, a.data(), e.data()) != 0)
        pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    out_ = out[0];
}

Child::~Child() {
    stop();
    if (out_ >= 0)
        close(out_);
}

int Child::stop(int signal) {
    if (pid_ <= 0)
        return -1;
    kill(pid_, signal);
    int w = 0;
    waitpid(pid_, &w, 0);
    pid_ = -1;
    return decode_status(w);
}

std::optional<std::string> Child::line(std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto nl = buf_.find('\n');
        if (nl != std::string::npos) {
            std::string l = buf_.substr(0, nl);
            buf_.erase(0, nl + 1);
            return l;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (out_ < 0 || left.count() <= 0)
            return std::nullopt;
        pollfd p{out_, POLLIN, 0};
        if (poll(&p, 1, int(left.count())) <= 0)
            continue;
        char b[512];
        ssize_t n = read(out_, b, sizeof(b));
        if (n <= 0) {
            close(out_);
            out_ = -1;
            continue;
        }
        buf_.append(b, size_t(n));
    }
}

Client::Client(const std::string &socket, int card, pid_t pid, const std::string &program) {
    std::string error;
    ok_ = conn_.connect(socket, 2000, &error) &&
          proto::hello(conn_, uint32_t(card), uint32_t(pid ? pid : getpid()), program, 0, error);
}

std::optional<uint32_t> Client::call(uint16_t type, const proto::Writer &w,
                                     std::vector<uint8_t> *body, std::string *message) {
    uint32_t status = 0;
    std::string msg;
    std::vector<uint8_t> b;
    if (conn_.call(type, w, status, msg, b, 5000, &pending_) != proto::Recv::ok)
        return std::nullopt;
    if (body)
        *body = b;
    if (message)
        *message = msg;
    return status;
}

std::optional<uint32_t> Client::register_events(uint32_t mask) {
    proto::Writer w;
    w.u32(mask);
    return call(proto::T_SYSMGR_LR_REGISTER, w);
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
        if (f.type != proto::T_SYSMGR_LR_EVENT)
            continue;
        proto::Reader r(f);
        uint32_t event = 0, dlrsc = 0;
        if (!r.u32(event) || !r.u32(dlrsc))
            return std::nullopt;
        return std::make_pair(event, dlrsc);
    }
}

std::pair<uint32_t, uint32_t> Client::am_i_dlrsc() {
    std::vector<uint8_t> body;
    auto st = call(proto::T_LRD_AM_I_DLRSC, proto::Writer(), &body);
    if (!st)
        return {~0u, 0};
    proto::Reader r(body);
    uint32_t flag = 0;
    if (*st == 0 && !r.u32(flag))
        return {~1u, 0};
    return {*st, flag};
}

}  // namespace pdtest
