#include "rig.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace faults {

const char *const TZ_ITEM = "/cfg/gl/clock/timezone";

Rig::Rig() {
    // Other users (the access tests' second uid) reach the sockets below.
    chmod(dir().c_str(), 0755);
    add_zones({"UTC", "Europe/Paris", "America/New_York", "Asia/Kolkata"});
}

pid_t Rig::start_tzd(int card, uid_t uid) {
    pid_t pid = uid == 0 ? start(bin("tzd"), {}, card)
                         : start("/usr/bin/setpriv",
                                 {"--reuid=" + std::to_string(uid),
                                  "--regid=" + std::to_string(uid), "--clear-groups", bin("tzd")},
                                 card);
    tzds_.push_back(pid);
    bool up = eventually([&] {
        return !running(pid) || tzctl({"complete", "CET"}, 0, card).status == 0;
    });
    return up && running(pid) ? pid : -1;
}

Result Rig::run_as(uid_t uid, const std::string &program, const std::vector<std::string> &args,
                   int card) {
    if (uid == 0)
        return run(bin(program), args, card);
    std::vector<std::string> all = {"--reuid=" + std::to_string(uid),
                                    "--regid=" + std::to_string(uid), "--clear-groups",
                                    bin(program)};
    all.insert(all.end(), args.begin(), args.end());
    return run("/usr/bin/setpriv", all, card);
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

std::string Rig::logs() {
    std::string s = "platformd:\n" + log(platformd());
    for (pid_t pid : tzds_)
        s += "tzd " + std::to_string(pid) + ":\n" + log(pid);
    return s;
}

namespace {
std::string setter_lock_file(const std::string &link) {
    size_t slash = link.rfind('/');
    return link.substr(0, slash + 1) + "." + link.substr(slash + 1) + ".lock";
}
}  // namespace

int hold_setter_lock(const std::string &link) {
    int fd = open(setter_lock_file(link).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    EXPECT_GE(fd, 0) << setter_lock_file(link);
    EXPECT_EQ(flock(fd, LOCK_EX), 0);
    return fd;
}

bool waits_for_setter_lock(pid_t pid, const std::string &link) {
    std::string want = setter_lock_file(link), dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR *d = opendir(dir.c_str());
    if (!d)
        return false;
    bool found = false;
    while (dirent *e = readdir(d)) {
        char target[PATH_MAX];
        ssize_t n = readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, size_t(n)) == want)
            found = true;
    }
    closedir(d);
    return found;
}

int mode_of(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

std::string as_user(uid_t uid, const std::function<std::string()> &fn) {
    return Holder(uid, fn).report();
}

Holder::Holder(uid_t uid, const std::function<std::string()> &setup) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0)
        return;
    pid_ = fork();
    if (pid_ == 0) {
        close(p[0]);
        if (setgroups(0, nullptr) != 0 || setresgid(uid, uid, uid) != 0 ||
            setresuid(uid, uid, uid) != 0)
            _exit(1);
        std::string s = setup() + "\n";
        if (write(p[1], s.data(), s.size()) != ssize_t(s.size()))
            _exit(1);
        close(p[1]);
        for (;;)
            pause();
    }
    close(p[1]);
    if (pid_ < 0) {
        close(p[0]);
        return;
    }
    std::string out;
    auto deadline = std::chrono::steady_clock::now() + 60s;
    pollfd pfd{p[0], POLLIN, 0};
    while (std::chrono::steady_clock::now() < deadline && out.find('\n') == std::string::npos) {
        if (poll(&pfd, 1, 100) <= 0)
            continue;
        char buf[1024];
        ssize_t n = read(p[0], buf, sizeof buf);
        if (n <= 0)
            break;
        out.append(buf, size_t(n));
    }
    close(p[0]);
    if (out.find('\n') != std::string::npos)
        report_ = out.substr(0, out.find('\n'));
}

Holder::~Holder() {
    if (pid_ <= 0)
        return;
    kill(pid_, SIGKILL);
    int w = 0;
    waitpid(pid_, &w, 0);
}

}  // namespace faults
