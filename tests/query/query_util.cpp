#include "query_util.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

extern char **environ;

namespace qtest {

namespace fs = std::filesystem;

TempDir::TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "tzq-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

void copy_zone(const std::string &root, const std::string &name) {
    fs::path dest = fs::path(root) / name;
    fs::create_directories(dest.parent_path());
    fs::copy_file(fs::path("/usr/share/zoneinfo") / name, dest,
                  fs::copy_options::overwrite_existing);
}

void write_file(const std::string &root, const std::string &name, const std::string &text) {
    fs::path dest = fs::path(root) / name;
    fs::create_directories(dest.parent_path());
    std::ofstream(dest) << text;
}

std::unique_ptr<tz_cli_msg> patterned_msg(uint16_t type_word) {
    auto m = std::make_unique<tz_cli_msg>();
    uint8_t *b = reinterpret_cast<uint8_t *>(m.get());
    for (size_t i = 0; i < sizeof *m; i++)
        b[i] = pattern_byte(i);
    m->type_word = type_word;
    return m;
}

std::unique_ptr<tz_cli_msg> as_msg(const std::vector<uint8_t> &bytes) {
    if (bytes.size() != TZ_CLI_MSG_SIZE)
        throw std::runtime_error("reply of " + std::to_string(bytes.size()) + " bytes");
    auto m = std::make_unique<tz_cli_msg>();
    memcpy(m.get(), bytes.data(), sizeof *m);
    return m;
}

RawClient::RawClient(const std::string &path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        return;
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        close(fd);
        return;
    }
    fd_ = fd;
}

RawClient::~RawClient() {
    if (fd_ >= 0)
        close(fd_);
}

bool RawClient::send(const void *bytes, size_t length) {
    return ::send(fd_, bytes, length, MSG_NOSIGNAL) == ssize_t(length);
}

bool RawClient::receive(int32_t &status, std::vector<uint8_t> &data) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 30000) != 1)
        return false;
    std::vector<uint8_t> buf(TZ_CLI_REPLY_SIZE + 16);
    ssize_t n = recv(fd_, buf.data(), buf.size(), 0);
    if (n < 4)
        return false;
    uint32_t raw =
        uint32_t(buf[0]) | uint32_t(buf[1]) << 8 | uint32_t(buf[2]) << 16 | uint32_t(buf[3]) << 24;
    status = int32_t(raw);
    data.assign(buf.begin() + 4, buf.begin() + n);
    return true;
}

std::unique_ptr<tz_cli_msg> RawClient::ask(const tz_cli_msg &msg, int32_t *status) {
    int32_t st = -1;
    std::vector<uint8_t> data;
    if (!send(&msg, sizeof msg) || !receive(st, data)) {
        if (status)
            *status = -1;
        return nullptr;
    }
    if (status)
        *status = st;
    if (st != 0 || data.size() != TZ_CLI_MSG_SIZE)
        return nullptr;
    return as_msg(data);
}

Server::Server(const std::string &program, const std::string &rundir, const std::string &zoneinfo)
    : rundir_(rundir) {
    std::vector<std::string> env_strings;
    for (char **e = environ; *e; e++) {
        std::string s = *e;
        if (s.rfind("TZDIR=", 0) != 0 && s.rfind("PLATFORM_RUNDIR=", 0) != 0)
            env_strings.push_back(s);
    }
    env_strings.push_back("PLATFORM_RUNDIR=" + rundir);
    if (!zoneinfo.empty())
        env_strings.push_back("TZDIR=" + zoneinfo);
    std::vector<char *> envp;
    for (auto &s : env_strings)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string prog = program;
    char *argv[] = {prog.data(), nullptr};
    pid_t pid;
    if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, envp.data()) == 0)
        pid_ = pid;
}

Server::~Server() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status;
        waitpid(pid_, &status, 0);
    }
}

bool Server::ready() {
    for (int i = 0; i < 200 && pid_ > 0; i++) {
        RawClient probe(channel());
        if (probe.connected())
            return true;
        usleep(50 * 1000);
    }
    return false;
}

namespace {

std::string drain(int fd) {
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        out.append(buf, size_t(n));
    return out;
}

}  // namespace

Outcome run_program(const std::string &program, const std::vector<std::string> &args,
                    const std::vector<std::string> &extra_env) {
    // Output goes to files so that a large output never blocks the child.
    TempDir dir;
    std::string out_path = dir.path() + "/out", err_path = dir.path() + "/err";
    std::vector<std::string> env_strings;
    for (char **e = environ; *e; e++)
        env_strings.emplace_back(*e);
    for (auto &e : extra_env) {
        size_t eq = e.find('=');
        std::string key = (eq == std::string::npos ? e : e.substr(0, eq)) + "=";
        std::erase_if(env_strings, [&](const std::string &s) { return s.rfind(key, 0) == 0; });
        if (eq != std::string::npos)
            env_strings.push_back(e);
    }
    std::vector<char *> envp, argv;
    for (auto &s : env_strings)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> arg_strings = {program};
    arg_strings.insert(arg_strings.end(), args.begin(), args.end());
    for (auto &s : arg_strings)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid;
    int rc = posix_spawn(&pid, program.c_str(), &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0)
        throw std::runtime_error("cannot run " + program + ": " + strerror(rc));
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    Outcome r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    int fd = open(out_path.c_str(), O_RDONLY);
    r.out = drain(fd);
    close(fd);
    fd = open(err_path.c_str(), O_RDONLY);
    r.err = drain(fd);
    close(fd);
    return r;
}

}  // namespace qtest
