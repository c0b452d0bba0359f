// Debug trace: opened lazily, and bounded.
#include <gtest/gtest.h>

#include <string>

#include "fake_platform.h"
#include "fresh_catalogue.h"
#include "tz_log.h"

namespace {

using Trace = fake::FreshCatalogue;

TEST_F(Trace, BufferIsOpenedByTheFirstLineThatFindsItMissingAndLongLinesAreCut) {
    EXPECT_EQ(tz_debug_level, 1);
    fake::set_ltrace_init_status(5);
    EXPECT_EQ(tz_ltrace_init(), 5u);
    timezone_log(1, "lost %d", 1);
    EXPECT_EQ(fake::calls("ltrace_init2").size(), 2u);
    EXPECT_TRUE(fake::trace_lines().empty());

    fake::set_ltrace_init_status(0);
    std::string text;
    for (int i = 0; text.size() < 3000; ++i)
        text += std::to_string(i) + ",";
    timezone_log(1, "kept %d", 2);
    timezone_log(1, "%s", text.c_str());
    EXPECT_EQ(fake::calls("ltrace_init2").size(), 3u) << "opened once, then reused";
    auto lines = fake::trace_lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "kept 2");
    EXPECT_GE(lines[1].size(), 512u);
    EXPECT_LT(lines[1].size(), 600u);
    EXPECT_EQ(lines[1], text.substr(0, lines[1].size()));
}

}  // namespace
