// Debug trace, the report helper and the message catalogue of the facility "TZ".
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "fake_log.h"
#include "tz_log.h"

namespace {

class Log : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::clear_log();
        fake::set_ltrace_init_status(0);
        timezone_ltrace = nullptr;
        tz_debug_level = 1;
    }
    void TearDown() override {
        fake::set_ltrace_init_status(0);
        tz_debug_level = 1;
    }
};

struct Expected {
    const char *mnemonic;
    uint32_t id;
    uint16_t flag;
    const char *format;
};

TEST(MessageCatalogue, ElevenRecordsInDescendingIdentifierOrder) {
    const Expected expected[] = {
        {"TIMEZONE_CFGSTR_SET_ERR", 0x0247006d, 0,
         "The timezone '%s' string was not configured - %s (0x%x)"},
        {"SYSDB", 0x0247006c, 1, "%s: %s"},
        {"PUF_WRITE_ERR", 0x0247006b, 0, "Unable to %s when writing persistent file %s: %s (%s)"},
        {"PUF_READ_ERR", 0x0247006a, 0,
         "Unable to open file when reading persistent file %s: %s (%s)"},
        {"PUF_MEDIA_ACCESS_ERR", 0x02470069, 0, "Can't access storage media '%s': %s"},
        {"PUF_MAGIC_LOOKUP_ERR", 0x02470068, 0,
         "Unable to find magic number field when checking persistent file %s: the PUF file "
         "doesn't have a valid format."},
        {"PUF_MAGIC_CHK_ERR", 0x02470067, 0,
         "The persistent file (%s) has invalid magic number of 0x%x (expected 0x%x) - file "
         "doesn't have valid format."},
        {"PUF_INVALID_TOKEN_TYPE", 0x02470066, 0,
         "Invalid PUF token type of %d for token ID %d (expected token type = %d) in %s"},
        {"PUF_CFGSTR_LOOKUP_ERR", 0x02470065, 0,
         "Unable to find timezone config string field when checking persistent file %s: the PUF "
         "file doesn't have valid format."},
        {"LRD", 0x02470064, 1, "LRd error: %s"},
        {"INTERNAL", 0x02470063, 1, "%s: %s"},
    };
    // The two exported records sit at both ends of one array of eleven.
    ASSERT_EQ(vel_msg_rec_tz_internal - vel_msg_rec_tz_sysdb, 9);
    const vel_msg_rec *first = vel_msg_rec_tz_sysdb - 1;
    for (int i = 0; i < 11; ++i) {
        const vel_msg_rec &r = first[i];
        SCOPED_TRACE(expected[i].mnemonic);
        EXPECT_STREQ(r.mnemonic, expected[i].mnemonic);
        EXPECT_EQ(r.msg_id, expected[i].id);
        EXPECT_EQ(r.flag, expected[i].flag);
        EXPECT_STREQ(r.format, expected[i].format);
        EXPECT_STREQ(r.facility, "TZ");
        EXPECT_STREQ(r.group, "OS");
        EXPECT_EQ(r.severity, 3);
        EXPECT_EQ(r.reserved0, 0u);
        EXPECT_EQ(r.reserved16, 0u);
        static const uint8_t zeros[28] = {};
        EXPECT_EQ(memcmp(r.reserved52, zeros, sizeof r.reserved52), 0);
        EXPECT_EQ(memcmp(r.reserved68, zeros, sizeof r.reserved68), 0);
    }
}

TEST_F(Log, ReportInternalRaisesTheInternalRecord) {
    tz_report_internal("Unable to create a msg channel", "status 12");
    auto records = fake::err_records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].record, vel_msg_rec_tz_internal);
    EXPECT_EQ(records[0].severity, 3);
    EXPECT_EQ(records[0].text, "Unable to create a msg channel: status 12");
    EXPECT_STREQ(records[0].record->mnemonic, "INTERNAL");
    EXPECT_STREQ(records[0].record->facility, "TZ");
    EXPECT_STREQ(records[0].record->group, "OS");
}

TEST_F(Log, TraceLineFormattedIntoTheBuffer) {
    EXPECT_EQ(tz_debug_level, 1);
    ASSERT_EQ(tz_ltrace_init(), 0u);
    ASSERT_NE(timezone_ltrace, nullptr);
    TZ_TRACE("%s: unknown message %d received\n", "tz_message_handler", 7);
    EXPECT_EQ(fake::trace_lines(),
              std::vector<std::string>{"tz_message_handler: unknown message 7 received\n"});
    EXPECT_EQ(fake::ltrace_init_calls(), 1);
}

TEST_F(Log, TraceOffWritesAndEvaluatesNothing) {
    tz_debug_level = 0;
    int evaluated = 0;
    auto arg = [&] {
        ++evaluated;
        return "x";
    };
    TZ_TRACE("%s", arg());
    EXPECT_EQ(evaluated, 0);
    EXPECT_EQ(timezone_log(0, "%s", "direct"), 0);
    EXPECT_TRUE(fake::trace_lines().empty());
    EXPECT_EQ(fake::ltrace_init_calls(), 0) << "trace off must not open the buffer";
}

TEST_F(Log, LongLineIsCutNotOverrun) {
    std::string text;
    for (int i = 0; text.size() < 3000; ++i) {
        text += std::to_string(i) + ",";
    }
    timezone_log(1, "%s", text.c_str());
    auto lines = fake::trace_lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_GE(lines[0].size(), 512u);
    EXPECT_LT(lines[0].size(), 600u);
    EXPECT_EQ(lines[0], text.substr(0, lines[0].size()));
}

TEST_F(Log, BufferOpenedLazilyAndRetriedUntilItExists) {
    fake::set_ltrace_init_status(5);
    EXPECT_NE(tz_ltrace_init(), 0u);
    EXPECT_EQ(timezone_ltrace, nullptr);

    timezone_log(1, "lost %d", 1);
    timezone_log(1, "lost %d", 2);
    EXPECT_EQ(fake::ltrace_init_calls(), 3);
    EXPECT_TRUE(fake::trace_lines().empty());

    fake::set_ltrace_init_status(0);
    timezone_log(1, "kept %d", 3);
    timezone_log(1, "kept %d", 4);
    EXPECT_EQ(fake::ltrace_init_calls(), 4) << "opened once, then reused";
    EXPECT_NE(timezone_ltrace, nullptr);
    EXPECT_EQ(fake::trace_lines(), (std::vector<std::string>{"kept 3", "kept 4"}));
}

}  // namespace
