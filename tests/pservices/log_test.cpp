#include "platform/log.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <sstream>
#include <vector>

#include "platform_log.h"
#include "platform_sysdb.h"
#include "test_env.h"

namespace {

vel_msg_rec record(const char *mnemonic, uint32_t id, const char *format) {
    vel_msg_rec rec{};
    rec.format = format;
    rec.facility = "TZ";
    rec.group = "OS";
    rec.mnemonic = mnemonic;
    rec.flag = 1;
    rec.severity = 3;
    rec.msg_id = id;
    return rec;
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

bool ends_with(const std::string &s, const std::string &tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(Records, RenderedAsOneLineAndAppendedToTheProgramsFile) {
    vel_msg_rec internal = record("INTERNAL", 0x02470063, "%s: %s");
    vel_msg_rec puf = record("PUF_MAGIC_CHK_ERR", 0x02470067, "file %s magic 0x%x\n");
    ASSERT_EQ(vel_errmsg(&internal, 3, "Unable to create a msg channel", cerr_strerror(ENOENT)), 0);
    ASSERT_EQ(vel_errmsg(&puf, 3, "a\nb", 0xbeef), 0);

    std::string path = ptest::root() + "/run/records/pservices_tests.log";
    EXPECT_EQ(platform::records_path(), path);
    auto lines = lines_of(ptest::read_file(path));
    ASSERT_GE(lines.size(), 2u);
    const std::string &first = lines[lines.size() - 2];
    const std::string &second = lines.back();
    EXPECT_TRUE(
        ends_with(first,
                  " %TZ-OS-3-INTERNAL (0x02470063): Unable to create a msg channel: No such file "
                  "or directory"))
        << first;
    // A time stamp leads each line of the file.
    EXPECT_EQ(first.find('T'), 10u) << first;
    EXPECT_TRUE(
        ends_with(second, " %TZ-OS-3-PUF_MAGIC_CHK_ERR (0x02470067): file a b magic 0xbeef"))
        << second;
    EXPECT_EQ(vel_errmsg(nullptr, 3), -1);
}

TEST(Records, SeparateProgramWritesStderrAndItsOwnRecordsFile) {
    std::string run = ptest::root() + "/probe-run";
    std::string err = ptest::root() + "/probe.err";
    std::string cmd =
        "PLATFORM_RUNDIR='" + run + "' PLATFORM_LOG_STDERR=1 '" LOG_PROBE "' 2>'" + err + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
    auto lines = lines_of(ptest::read_file(err));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("pservices_log_probe[", 0), 0u) << lines[0];
    EXPECT_TRUE(ends_with(lines[0], "]: err: probe: hello 42")) << lines[0];
    EXPECT_TRUE(ends_with(lines[1],
                          "]: err: %TZ-OS-3-SYSDB (0x0247006c): Registration failed: "
                          "No such file or directory"))
        << lines[1];
    auto records = lines_of(ptest::read_file(run + "/records/pservices_log_probe.log"));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_TRUE(ends_with(records[0],
                          "%TZ-OS-3-SYSDB (0x0247006c): Registration failed: No "
                          "such file or directory"));

    // Without PLATFORM_LOG_STDERR nothing reaches standard error.
    cmd = "PLATFORM_RUNDIR='" + run + "' PLATFORM_LOG_STDERR= '" LOG_PROBE "' 2>'" + err + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
    EXPECT_EQ(ptest::read_file(err), "");
    EXPECT_EQ(lines_of(ptest::read_file(run + "/records/pservices_log_probe.log")).size(), 2u);
}

TEST(StatusText, ErrnoAndPlatformStatuses) {
    EXPECT_STREQ(cerr_strerror(ENOENT), "No such file or directory");
    EXPECT_STREQ(cerr_strerror(ENOCONN), "No usable connection to the configuration database");
    EXPECT_STREQ(cerr_strerror(SYSDB_STATUS_NO_LIBRARY),
                 "Configuration database client library not readable");
    EXPECT_STREQ(cerr_strerror(0x80000001u), "Configuration database not reachable (transient)");
    EXPECT_STREQ(cerr_strerror(0x9abcdef0u), "Configuration database not reachable (transient)");
    EXPECT_STREQ(cerr_strerror(0xFFFFFFFFu), "Operation failed");
    EXPECT_STREQ(cerr_strerror(0xa0000000u), "Unknown status 0xa0000000");
    EXPECT_STREQ(cerr_strerror(4000), "Unknown status 0x00000fa0");
    // Texts of unknown statuses stay put for later callers.
    const char *kept = cerr_strerror(0x12345678u);
    for (uint32_t i = 0; i < 100; ++i)
        cerr_strerror(0x50000000u + i);
    EXPECT_EQ(cerr_strerror(0x12345678u), kept);
}

}  // namespace
