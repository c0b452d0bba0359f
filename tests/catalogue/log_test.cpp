// Debug trace: opened lazily.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_platform.h"
#include "fresh_catalogue.h"
#include "tz_log.h"

namespace {

using Trace = fake::FreshCatalogue;

TEST_F(Trace, BufferIsOpenedByTheFirstLineThatFindsItMissing) {
    fake::set_default("ltrace_init2", 5);
    EXPECT_EQ(tz_ltrace_init(), 5u);
    timezone_log(1, "lost %d", 1);
    EXPECT_EQ(fake::calls("ltrace_init2").size(), 2u);
    EXPECT_TRUE(fake::trace_lines().empty());

    fake::set_default("ltrace_init2", 0);
    timezone_log(1, "kept %d", 2);
    timezone_log(1, "kept %d", 3);
    EXPECT_EQ(fake::calls("ltrace_init2").size(), 3u) << "opened once, then reused";
    EXPECT_EQ(fake::trace_lines(), (std::vector<std::string>{"kept 2", "kept 3"}));
}

}  // namespace
