// The four programs as an operator or a service manager first meets them: --version and --help,
// tzd's refusal of any other argument, and platformd's readiness report.
#include <gtest/gtest.h>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "support.h"
#include "tzd_version.h"

using namespace std::chrono_literals;

namespace {

// Whether the runtime directory of card 0, which a started tzd fills at once, is still empty.
bool nothing_started(const ts::Router &r) {
    std::error_code ec;
    return std::filesystem::directory_iterator(r.rundir(0), ec) ==
           std::filesystem::directory_iterator();
}

TEST(Programs, EveryProgramAnswersVersionAndHelpAndTzdRefusesAnythingElse) {
    ts::Router r;  // no platformd: a program that started its work instead would not end
    for (std::string program : {"tzd", "platformd", "tzctl", "platformctl"}) {
        ts::Result version = r.run(ts::bin(program), {"--version"});
        EXPECT_TRUE(ts::ended(version, 0)) << program;
        EXPECT_EQ(version.out, program + " " + TZD_VERSION + "\n");
        ts::Result help = r.run(ts::bin(program), {"--help"});
        EXPECT_TRUE(ts::ended(help, 0, program));
        EXPECT_TRUE(ts::contains(help.out, "--version")) << help.out;
    }
    for (std::vector<std::string> args :
         {std::vector<std::string>{"--bogus"}, {"start"}, {""}, {"--version", "--help"}}) {
        pid_t pid = r.start(ts::bin("tzd"), args);
        int status = r.wait_exit(pid, 10s);
        if (status == -1)
            r.stop(pid, SIGKILL);
        EXPECT_EQ(status, 2) << args[0];
        EXPECT_EQ(r.lines(pid, "usage: "),
                  std::vector<std::string>{"usage: tzd [--help | --version]"})
            << r.log(pid);
    }
    EXPECT_TRUE(nothing_started(r));
}

TEST(Programs, PlatformdTellsTheServiceManagerWhenItServes) {
    ts::Router r;
    // A stand-in for the service manager's notification socket, in the abstract namespace.
    std::string name = "programs-test-notify-" + std::to_string(getpid());
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path + 1, name.data(), name.size());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr),
                   socklen_t(offsetof(sockaddr_un, sun_path) + 1 + name.size())),
              0);
    timeval tv{20, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));

    pid_t pid = r.start(ts::bin("platformd"), {}, 0, {"NOTIFY_SOCKET=@" + name});
    char buf[64] = {};
    ssize_t n = recv(fd, buf, sizeof(buf) - 1, 0);
    close(fd);
    EXPECT_EQ(std::string(buf, n > 0 ? size_t(n) : 0), "READY=1") << r.log(pid);
    // Ready means serving: a client is answered as soon as the notice is out.
    EXPECT_TRUE(ts::ended(r.ctl({"status"}), 0, "card"));
    EXPECT_EQ(r.stop(pid), 0);
}

}  // namespace
