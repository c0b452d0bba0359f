#include "harness.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/tuple.h"

extern char **environ;

namespace cfgtest {
namespace {

std::string make_dir() {
    char tmpl[] = "/tmp/cfgdb-test-XXXXXX";
    if (!mkdtemp(tmpl))
        abort();
    return tmpl;
}

std::vector<std::string> environment(const std::vector<std::string> &extra) {
    std::map<std::string, std::string> vars;
    for (char **e = environ; *e; e++) {
        std::string kv = *e;
        auto eq = kv.find('=');
        if (eq != std::string::npos)
            vars[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    for (auto &kv : extra) {
        auto eq = kv.find('=');
        vars[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    std::vector<std::string> out;
    for (auto &[k, v] : vars)
        out.push_back(k + "=" + v);
    return out;
}

// Starts PROGRAM with ARGS and the environment plus EXTRA; standard output and error go to OUT
// and ERR (files, created or appended).
pid_t spawn(const std::string &program, const std::vector<std::string> &args,
            const std::vector<std::string> &extra, const std::string &out, const std::string &err) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    std::vector<std::string> argv_s = {program};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : argv_s)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_s = environment(extra);
    std::vector<char *> envp;
    for (auto &e : env_s)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), &fa, nullptr, argv.data(), envp.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

int decode_status(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

int wait_for_exit(pid_t pid, std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return decode_status(status);
        if (r < 0)
            return -1;
        if (std::chrono::steady_clock::now() > end)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

int serial() {
    static int n = 0;
    return ++n;
}

}  // namespace

const std::string &dir() {
    static const std::string d = make_dir();
    return d;
}

void init_environment() {
    std::string run = dir() + "/run";
    std::filesystem::create_directories(run);
    setenv("PLATFORM_RUNDIR", run.c_str(), 1);
    setenv("PLATFORM_SOCKET", (run + "/platformd.sock").c_str(), 1);
    setenv("PLATFORM_STATEDIR", (dir() + "/state").c_str(), 1);
    setenv("PLATFORM_CARD", "0", 1);
    unsetenv("PLATFORM_LOCALTIME");
    unsetenv("PLATFORMD_CFG_TIMEOUT_MS");
    static bool cleanup = false;
    if (!cleanup) {
        cleanup = true;
        atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(dir(), ec);
        });
    }
}

std::string read_file(const std::string &path) {
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool eventually(const std::function<bool()> &cond, std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (cond())
            return true;
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

Daemon::~Daemon() {
    if (pid_ > 0)
        stop(SIGKILL);
}

bool Daemon::start(const std::vector<std::string> &extra_env) {
    std::filesystem::create_directories(statedir_);
    log_ = statedir_ + "/platformd-" + std::to_string(++starts_) + ".log";
    std::vector<std::string> env = {"PLATFORM_STATEDIR=" + statedir_};
    env.insert(env.end(), extra_env.begin(), extra_env.end());
    pid_ = spawn(CFGDB_PLATFORMD, {}, env, log_, log_);
    if (pid_ <= 0)
        return false;
    // Ready when it answers a HELLO.
    return eventually([&] {
        platform::proto::Conn c;
        std::string err;
        return c.connect(getenv("PLATFORM_SOCKET"), 200) &&
               platform::proto::hello(c, 0, uint32_t(getpid()), "cfgdb_test",
                                      platform::proto::HELLO_OBSERVER, err, 1000);
    });
}

int Daemon::stop(int sig) {
    if (pid_ <= 0)
        return -1;
    ::kill(pid_, sig);
    int status = wait_for_exit(pid_, std::chrono::seconds(20));
    if (status < 0) {
        ::kill(pid_, SIGKILL);
        status = wait_for_exit(pid_, std::chrono::seconds(20));
    }
    pid_ = -1;
    return status;
}

Stub::Stub(const std::string &name, const std::vector<std::string> &args, int card) {
    log_ = dir() + "/" + name + "-" + std::to_string(serial()) + ".log";
    std::vector<std::string> a = {"--log", log_};
    a.insert(a.end(), args.begin(), args.end());
    std::string run = dir() + "/run-card" + std::to_string(card);
    std::filesystem::create_directories(run);
    pid_ = spawn(CFGDB_STUB, a, {"PLATFORM_CARD=" + std::to_string(card), "PLATFORM_RUNDIR=" + run},
                 log_ + ".out", log_ + ".out");
}

Stub::~Stub() {
    kill();
}

std::vector<std::string> Stub::lines(const std::string &prefix) const {
    std::vector<std::string> out;
    std::stringstream ss(log());
    std::string line;
    while (std::getline(ss, line))
        if (line.compare(0, prefix.size(), prefix) == 0)
            out.push_back(line);
    return out;
}

bool Stub::has(const std::string &line) const {
    for (auto &l : lines(line))
        if (l == line)
            return true;
    return false;
}

bool Stub::wait_for(const std::string &line, std::chrono::milliseconds timeout) const {
    return eventually([&] { return has(line); }, timeout);
}

void Stub::signal(int sig) {
    if (pid_ > 0)
        ::kill(pid_, sig);
}

void Stub::kill() {
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGKILL);
    wait_for_exit(pid_, std::chrono::seconds(20));
    pid_ = -1;
}

int Stub::wait_exit(std::chrono::milliseconds timeout) {
    if (pid_ <= 0)
        return -1;
    int status = wait_for_exit(pid_, timeout);
    if (status >= 0)
        pid_ = -1;
    return status;
}

Result run(const std::string &program, const std::vector<std::string> &args,
           const std::vector<std::string> &extra_env) {
    int n = serial();
    std::string out = dir() + "/cmd-" + std::to_string(n) + ".out";
    std::string err = dir() + "/cmd-" + std::to_string(n) + ".err";
    Result r;
    pid_t pid = spawn(program, args, extra_env, out, err);
    if (pid <= 0)
        return r;
    r.status = wait_for_exit(pid, std::chrono::seconds(150));
    r.out = read_file(out);
    r.err = read_file(err);
    unlink(out.c_str());
    unlink(err.c_str());
    return r;
}

Result platformctl(const std::vector<std::string> &args) {
    return run(CFGDB_PLATFORMCTL, args);
}

bool Client::open() {
    std::string err;
    return conn_.connect(getenv("PLATFORM_SOCKET"), 1000) &&
           platform::proto::hello(conn_, 0, uint32_t(getpid()), "cfgdb_test",
                                  platform::proto::HELLO_OBSERVER, err, 2000);
}

uint32_t Client::commit(const std::string &path, const std::vector<std::string> &strings,
                        std::string *reason, bool del) {
    using namespace platform::proto;
    Writer w;
    w.str(path).u32(del ? ITEM_DELETE : 0);
    if (del)
        w.bytes(std::vector<uint8_t>());
    else
        w.bytes(platform::tuple_pack_strings(strings));
    uint32_t status = 0;
    std::string message;
    std::vector<uint8_t> body;
    if (conn_.call(T_CFG_COMMIT, w, status, message, body, 60000) != Recv::ok)
        return ~0u;
    if (reason)
        *reason = message;
    return status;
}

bool Client::get(const std::string &path, std::vector<std::string> &strings) {
    using namespace platform::proto;
    Writer w;
    w.str(path);
    uint32_t status = 0;
    std::string message;
    std::vector<uint8_t> body;
    if (conn_.call(T_CFG_GET, w, status, message, body, 5000) != Recv::ok || status != 0)
        return false;
    Reader r(body);
    uint64_t sequence = 0;
    std::vector<uint8_t> value;
    if (!r.u64(sequence) || !r.bytes(value) || !r.at_end())
        return false;
    auto s = platform::tuple_strings(value.data(), value.size());
    if (!s)
        return false;
    strings = *s;
    return true;
}

}  // namespace cfgtest
