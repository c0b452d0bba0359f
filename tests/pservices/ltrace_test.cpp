// Trace buffers: bounded rings of lines in files, read oldest first, long lines cut.
#include <errno.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/ltrace_reader.h"
#include "platform_log.h"
#include "support.h"

using Lines = std::vector<std::string>;

namespace {

const ts::Router &router = ts::shared_router();  // PLATFORM_RUNDIR of this process

Lines read_lines(const std::string &name) {
    Lines lines;
    std::string error;
    EXPECT_TRUE(platform::ltrace_read(name, lines, error)) << error;
    return lines;
}

ltrace_buf *open_buf(const std::string &name, int lines, int bytes = 32000) {
    ltrace_buf *b = nullptr;
    EXPECT_EQ(ltrace_init2(name.c_str(), 0, 0, lines, bytes, 0, &b), 0u);
    return b;
}

TEST(Trace, RingKeepsTheNewestLinesOldestFirstCutToTheLineSize) {
    ltrace_buf *b = open_buf("wrap", 5);
    ASSERT_NE(b, nullptr);
    for (int i = 0; i < 12; ++i)
        ASSERT_EQ(_lstrace(b, 0x10100000001, ("line " + std::to_string(i) + "\n").c_str()), 0);
    EXPECT_EQ(read_lines("wrap"), (Lines{"line 7", "line 8", "line 9", "line 10", "line 11"}));

    // The same name gives the same buffer within a process; names that are paths are refused.
    EXPECT_EQ(open_buf("wrap", 5), b);
    for (const char *name : {"", "..", "a/b"})
        EXPECT_EQ(ltrace_init2(name, 0, 0, 5, 0, 0, &b), uint32_t(EINVAL)) << name;
    Lines none;
    std::string error;
    EXPECT_FALSE(platform::ltrace_read("../records", none, error));

    // Long lines are cut to the line size (512 by default, at most 4096) and leave their
    // neighbours alone.
    ltrace_buf *small = open_buf("cut-small", 3, 0), *big = open_buf("cut-big", 2, 100000);
    std::string longline;
    for (size_t i = 0; i < 5000; ++i)
        longline += char('a' + i % 26);
    ASSERT_TRUE(_lstrace(small, 0, longline.c_str()) == 0 && _lstrace(small, 0, "after") == 0 &&
                _lstrace(big, 0, longline.c_str()) == 0);
    EXPECT_EQ(read_lines("cut-small"), (Lines{longline.substr(0, 511), "after"}));
    EXPECT_EQ(read_lines("cut-big"), Lines{longline.substr(0, 4095)});
}

}  // namespace
