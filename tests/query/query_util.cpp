#include "query_util.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
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

Run run_program(const std::string &program, const std::vector<std::string> &args,
                const std::vector<std::string> &extra_env) {
    // Output goes to files so that a large output never blocks the child.
    TempDir dir;
    std::string out_path = dir.path() + "/out", err_path = dir.path() + "/err";
    std::vector<std::string> env_strings;
    for (char **e = environ; *e; e++)
        env_strings.emplace_back(*e);
    for (auto &e : extra_env) {
        std::string key = e.substr(0, e.find('=') + 1);
        std::erase_if(env_strings, [&](const std::string &s) { return s.rfind(key, 0) == 0; });
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
    Run r;
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
