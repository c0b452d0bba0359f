// Trace buffers: bounded rings of lines in files, read oldest first while and after they are
// written.
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <thread>

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
    std::vector<platform::LtraceEntry> entries;
    std::string error;
    ASSERT_TRUE(platform::ltrace_read_file(platform::ltrace_path("wrap"), entries, error));
    EXPECT_TRUE(entries.at(0).index == 7 && entries[0].text == "line 7\n" && entries[0].time_ns);

    // The same name gives the same buffer within a process; names that are paths are refused.
    EXPECT_EQ(open_buf("wrap", 5), b);
    for (const char *name : {"", "..", "a/b"})
        EXPECT_EQ(ltrace_init2(name, 0, 0, 5, 0, 0, &b), uint32_t(EINVAL)) << name;
    Lines none;
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

// A buffer written by a process that has ended is read as it was left; opened again, it goes on
// when it is sound and starts afresh when it is damaged.
TEST(Trace, ABufferIsContinuedAfterItsWriterEndedOrReplacedWhenDamaged) {
    struct {
        std::string name;
        std::function<void(std::string &)> damage;
        std::string reason;  // why reading fails; "" when it reads
        size_t lines;        // read before opening again
    } cases[] = {
        {"intact", [](std::string &) {}, "", 4},
        {"garbage", [](std::string &f) { f = std::string(300, '\x5a'); }, "bad magic", 0},
        {"short", [](std::string &f) { f.resize(20); }, "too short", 0},
        {"truncated", [](std::string &f) { f.resize(f.size() / 2); }, "truncated", 0},
        {"huge", [](std::string &f) { memset(&f[20], 0xff, 4); }, "corrupt", 0},
        {"next", [](std::string &f) { memset(&f[24], 0xff, 8); }, "corrupt", 0},
        // Slot 1 claims line 1000 of a buffer that has had 4: that slot is left out.
        {"badslot",
         [](std::string &f) {
             uint64_t seq = 1001;
             memcpy(&f[64 + 528], &seq, 8);
         },
         "", 3},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ltrace_buf *b = nullptr;
            if (ltrace_init2(c.name.c_str(), 0, 0, 4, 0, 0, &b) != 0)
                _exit(1);
            for (int i = 0; i < 4; ++i)
                _lstrace(b, 0, "old");
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        std::string path = platform::ltrace_path(c.name);
        std::string file = ts::read_file(path);
        ASSERT_EQ(file.size(), 64u + 4 * 528);
        c.damage(file);
        std::ofstream(path, std::ios::binary | std::ios::trunc) << file;

        Lines lines;
        std::string error;
        bool ok = platform::ltrace_read(c.name, lines, error);
        EXPECT_EQ(ok, c.reason.empty()) << error;
        EXPECT_TRUE(ts::contains(error, c.reason)) << error;
        EXPECT_EQ(lines.size(), c.lines);
        ASSERT_EQ(_lstrace(open_buf(c.name, 4, 0), 0, "fresh"), 0);
        Lines want = c.name == "intact" ? Lines{"old", "old", "old", "fresh"} : Lines{"fresh"};
        EXPECT_EQ(read_lines(c.name), want);
    }
    Lines lines;
    std::string error;
    EXPECT_FALSE(platform::ltrace_read("missing", lines, error));
    EXPECT_TRUE(ts::contains(error, "No such file")) << error;
}

// Six threads write at once to a big buffer and to a small ring, while a reader reads the ring.
// A line carries its writer and number and is padded with a character derived from both, so a
// line mixed from two writes shows.
TEST(Trace, ConcurrentWritersLoseNothingAndMixNothing) {
    auto line = [](int w, int n) {
        return "w" + std::to_string(w) + " " + std::to_string(n) + " " +
               std::string(200, char('A' + (w * 7 + n) % 26));
    };
    auto whole = [&](const std::string &l) {
        int w = 0, n = 0;
        return sscanf(l.c_str(), "w%d %d ", &w, &n) == 2 && l == line(w, n);
    };
    ltrace_buf *all = open_buf("concurrent", 6 * 400), *ring = open_buf("concurrent-ring", 50);
    std::atomic<bool> done{false};
    std::atomic<int> bad_reads{0};
    std::thread reader([&] {
        while (!done)
            for (auto &l : read_lines("concurrent-ring"))
                bad_reads += !whole(l);
    });
    std::vector<std::thread> writers;
    for (int w = 0; w < 6; ++w)
        writers.emplace_back([=] {
            for (int n = 0; n < 400; ++n)
                for (ltrace_buf *b : {all, ring})
                    _lstrace(b, 0, line(w, n).c_str());
        });
    for (auto &t : writers)
        t.join();
    done = true;
    reader.join();
    EXPECT_EQ(bad_reads, 0);
    int count[6] = {};  // each writer's lines appear whole and in its own order
    for (auto &l : read_lines("concurrent")) {
        int w = 0, n = -1;
        EXPECT_TRUE(whole(l) && sscanf(l.c_str(), "w%d %d", &w, &n) == 2 && n == count[w]++) << l;
    }
    EXPECT_EQ(std::vector<int>(count, count + 6), std::vector<int>(6, 400));
}

}  // namespace
