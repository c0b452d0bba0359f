#include "rig.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

namespace faults {

const char *const TZ_ITEM = "/cfg/gl/clock/timezone";

namespace {
// setpriv's arguments that run PROGRAM as UID, its group and no others.
std::vector<std::string> as_uid(uid_t uid, const std::string &program) {
    return {"--reuid=" + std::to_string(uid), "--regid=" + std::to_string(uid), "--clear-groups",
            program};
}
}  // namespace

Rig::Rig() {
    // Other users (the access tests' second uid) reach the sockets below.
    chmod(dir().c_str(), 0755);
    add_zones(
        {"UTC", "Europe/Paris", "Europe/Berlin", "America/New_York", "Asia/Kolkata", "Asia/Tokyo"});
}

pid_t Rig::start_tzd(int card, uid_t uid) {
    pid_t pid = uid == 0 ? start(bin("tzd"), {}, card)
                         : start("/usr/bin/setpriv", as_uid(uid, bin("tzd")), card);
    bool up = eventually([&] {
        return !running(pid) || tzctl({"complete", "CET"}, 0, card).status == 0;
    });
    return up && running(pid) ? pid : -1;
}

Result Rig::run_as(uid_t uid, const std::string &program, std::vector<std::string> args, int card) {
    if (uid == 0)
        return run(bin(program), args, card);
    std::vector<std::string> all = as_uid(uid, bin(program));
    all.insert(all.end(), args.begin(), args.end());
    return run("/usr/bin/setpriv", all, card);
}

std::string Rig::stored_zone() {
    Result r = platformctl({"cfg", "get", TZ_ITEM});
    return r.status == 0 ? r.out.substr(0, r.out.find('\n')) : "";
}

bool Rig::in_effect(const std::string &zone, const std::vector<int> &cards) {
    auto on = [&](int card) { return zone_in_effect(card) == zone; };
    return eventually([&] { return std::all_of(cards.begin(), cards.end(), on); }, 10s);
}

uint32_t call(platform::proto::Conn &c, uint16_t type, const platform::proto::Writer &request) {
    uint32_t status = ~0u;
    std::string message;
    std::vector<uint8_t> body;
    c.call(type, request, status, message, body);
    return status;
}

Holder::Holder(uid_t uid, const std::function<std::string()> &setup) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0)
        return;
    pid_ = fork();
    if (pid_ == 0) {
        if (setgroups(0, nullptr) != 0 || setresgid(uid, uid, uid) != 0 ||
            setresuid(uid, uid, uid) != 0)
            _exit(1);
        // One short write: the parent reads it whole.
        std::string s = setup() + "\n";
        if (write(p[1], s.data(), s.size()) != ssize_t(s.size()))
            _exit(1);
        for (;;)
            pause();
    }
    close(p[1]);
    pollfd pfd{p[0], POLLIN, 0};
    char buf[512];
    ssize_t n = pid_ > 0 && poll(&pfd, 1, 60000) == 1 ? read(p[0], buf, sizeof buf) : 0;
    close(p[0]);
    std::string out(buf, n > 0 ? size_t(n) : 0);
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
