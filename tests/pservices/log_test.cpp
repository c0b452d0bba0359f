// Error records: on standard error when asked, and in the program's records file.
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
}

}  // namespace
