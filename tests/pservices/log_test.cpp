// Syslog lines, error records and status texts.
#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform_log.h"
#include "platform_sysdb.h"
#include "support.h"

namespace {

bool ends_with(const std::string &s, const std::string &tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// platform_peer --probe raises "probe: hello 42\n " and a record of "Registration\nfailed".
TEST(Records, OneLineEachInTheProgramsFileAndOnStandardErrorWhenAsked) {
    ts::Router r;
    const std::string record =
        "%TZ-OS-3-SYSDB (0x0247006c): Registration failed: No such file or directory";
    ts::Result res = r.run(ts::bin("platform_peer"), {"--probe"}, 1, {"PLATFORM_LOG_STDERR=1"});
    ASSERT_EQ(res.status, 0);
    auto err = ts::lines(res.err);
    ASSERT_EQ(err.size(), 2u) << res.err;
    EXPECT_EQ(err[0].rfind("platform_peer[", 0), 0u) << err[0];
    EXPECT_TRUE(ends_with(err[0], "]: err: probe: hello 42")) << err[0];
    EXPECT_TRUE(ends_with(err[1], "]: err: " + record)) << err[1];
    auto file = ts::lines(r.records(1, "platform_peer"));
    ASSERT_EQ(file.size(), 1u);
    EXPECT_TRUE(ends_with(file[0], " " + record)) << file[0];
    EXPECT_EQ(file[0].find('T'), 10u) << file[0];  // a time stamp leads the line

    // Without PLATFORM_LOG_STDERR, and with a syslog daemon listening (this test, on a socket
    // mounted at /dev/log in a mount namespace of the program's own), the lines go to syslog
    // alone; the records file grows.
    std::string log_socket = r.dir() + "/log";
    int syslogd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, log_socket.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(bind(syslogd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    res = r.run("/usr/bin/unshare",
                {"--mount", "sh", "-c",
                 "mount -t tmpfs tmpfs /dev && : >/dev/log && mount --bind \"$1\" /dev/log && "
                 "exec \"$0\" --probe",
                 ts::bin("platform_peer"), log_socket},
                1, {"PLATFORM_LOG_STDERR="});
    EXPECT_EQ(res.status, 0);
    EXPECT_EQ(res.err, "");
    char line[1024];
    ssize_t n = recv(syslogd, line, sizeof line - 1, MSG_DONTWAIT);
    close(syslogd);
    ASSERT_GT(n, 0);
    EXPECT_TRUE(ts::contains(std::string(line, size_t(n)), "probe: hello 42"));
    EXPECT_EQ(ts::lines(r.records(1, "platform_peer")).size(), 2u);
}

// The texts the service puts in its records: errno values, the platform's own statuses and the
// transient range; the text of an unknown status stays put for callers that keep it.
TEST(StatusText, ErrnoAndPlatformStatuses) {
    EXPECT_STREQ(cerr_strerror(ENOENT), "No such file or directory");
    EXPECT_STREQ(cerr_strerror(ENOCONN), "No usable connection to the configuration database");
    EXPECT_STREQ(cerr_strerror(0x9abcdef0u), "Configuration database not reachable (transient)");
    const char *kept = cerr_strerror(0xa0000000u);
    for (uint32_t i = 0; i < 100; ++i)
        cerr_strerror(0x50000000u + i);
    EXPECT_EQ(cerr_strerror(0xa0000000u), kept);
    EXPECT_STREQ(kept, "Unknown status 0xa0000000");
}

}  // namespace
