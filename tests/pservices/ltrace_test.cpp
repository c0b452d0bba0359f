#include <errno.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <map>
#include <thread>

#include "platform/ltrace_reader.h"
#include "platform_log.h"
#include "test_env.h"

namespace {

std::vector<std::string> read_lines(const std::string &name) {
    std::vector<std::string> lines;
    std::string error;
    EXPECT_TRUE(platform::ltrace_read(name, lines, error)) << error;
    return lines;
}

ltrace_buf *open_buf(const std::string &name, int lines, int bytes = 32000) {
    ltrace_buf *b = nullptr;
    EXPECT_EQ(ltrace_init2(name.c_str(), 0, 0, lines, bytes, 0, &b), 0u);
    return b;
}

TEST(Trace, RingKeepsTheNewestLinesOldestFirst) {
    ltrace_buf *b = open_buf("wrap", 5);
    ASSERT_NE(b, nullptr);
    for (int i = 0; i < 12; ++i)
        ASSERT_EQ(_lstrace(b, 0x10100000001, ("line " + std::to_string(i) + "\n").c_str()), 0);
    EXPECT_EQ(read_lines("wrap"),
              (std::vector<std::string>{"line 7", "line 8", "line 9", "line 10", "line 11"}));
    std::vector<platform::LtraceEntry> entries;
    std::string error;
    ASSERT_TRUE(platform::ltrace_read_file(platform::ltrace_path("wrap"), entries, error));
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_EQ(entries.front().index, 7u);
    EXPECT_EQ(entries.front().text, "line 7\n");
    EXPECT_GT(entries.front().time_ns, 0u);

    // The same name gives the same buffer within a process; names that are paths are refused.
    EXPECT_EQ(open_buf("wrap", 5), b);
    for (const char *name : {"", "..", "a/b"})
        EXPECT_EQ(ltrace_init2(name, 0, 0, 5, 0, 0, &b), uint32_t(EINVAL)) << name;
    std::vector<std::string> none;
    EXPECT_FALSE(platform::ltrace_read("../records", none, error));
}

TEST(Trace, LongLinesAreCutAndNeighboursUntouched) {
    ltrace_buf *small = open_buf("cut-small", 3, 0);
    ltrace_buf *big = open_buf("cut-big", 2, 100000);
    std::string longline(5000, 'x');
    for (size_t i = 0; i < longline.size(); ++i)
        longline[i] = char('a' + i % 26);
    ASSERT_EQ(_lstrace(small, 0, longline.c_str()), 0);
    ASSERT_EQ(_lstrace(small, 0, "after"), 0);
    ASSERT_EQ(_lstrace(big, 0, longline.c_str()), 0);
    auto lines = read_lines("cut-small");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], longline.substr(0, 511));
    EXPECT_EQ(lines[1], "after");
    EXPECT_EQ(read_lines("cut-big"), std::vector<std::string>{longline.substr(0, 4095)});
}

TEST(Trace, ContinuedAfterTheWritingProcessEnded) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ltrace_buf *b = nullptr;
        if (ltrace_init2("reopen", 0, 0, 10, 32000, 0, &b) != 0)
            _exit(1);
        for (int i = 0; i < 3; ++i)
            _lstrace(b, 0, ("child " + std::to_string(i)).c_str());
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(read_lines("reopen"), (std::vector<std::string>{"child 0", "child 1", "child 2"}));

    ltrace_buf *b = open_buf("reopen", 10);
    ASSERT_EQ(_lstrace(b, 0, "parent"), 0);
    EXPECT_EQ(read_lines("reopen"),
              (std::vector<std::string>{"child 0", "child 1", "child 2", "parent"}));
}

// Writes a buffer file in a child process, so the parent can damage it and open it afresh.
void make_in_child(const std::string &name, int lines) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ltrace_buf *b = nullptr;
        if (ltrace_init2(name.c_str(), 0, 0, lines, 0, 0, &b) != 0)
            _exit(1);
        for (int i = 0; i < lines; ++i)
            _lstrace(b, 0, "old");
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(Trace, DamagedFilesAreReportedAndReplaced) {
    struct Case {
        std::string name;
        std::function<void(std::string &)> damage;
        std::string reason;
    };
    std::vector<Case> cases = {
        {"garbage", [](std::string &f) { f = std::string(300, '\x5a'); }, "bad magic"},
        {"short", [](std::string &f) { f.resize(20); }, "too short"},
        {"truncated", [](std::string &f) { f.resize(f.size() / 2); }, "truncated"},
        {"huge", [](std::string &f) { memset(&f[20], 0xff, 4); }, "corrupt"},
        {"next", [](std::string &f) { memset(&f[24], 0xff, 8); }, "corrupt"},
        // Slot 1 claims to hold line 1000 of a buffer that has had 4 lines: the header reads
        // fine, the slots do not.
        {"badslot",
         [](std::string &f) {
             uint64_t seq = 1001;
             memcpy(&f[64 + 528], &seq, 8);
         },
         ""},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        make_in_child(c.name, 4);
        std::string path = platform::ltrace_path(c.name);
        std::string file = ptest::read_file(path);
        ASSERT_EQ(file.size(), 64u + 4 * 528);
        c.damage(file);
        ptest::write_file(path, file);

        std::vector<std::string> lines;
        std::string error;
        bool ok = platform::ltrace_read(c.name, lines, error);
        if (c.reason.empty()) {
            EXPECT_TRUE(ok) << error;
            EXPECT_EQ(lines.size(), 3u);  // the damaged slot is left out
        } else {
            EXPECT_FALSE(ok);
            EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        }
        ltrace_buf *b = open_buf(c.name, 4, 0);
        ASSERT_NE(b, nullptr);
        ASSERT_EQ(_lstrace(b, 0, "fresh"), 0);
        EXPECT_EQ(read_lines(c.name), std::vector<std::string>{"fresh"});
    }
    std::vector<std::string> lines;
    std::string error;
    EXPECT_FALSE(platform::ltrace_read("missing", lines, error));
    EXPECT_NE(error.find("No such file"), std::string::npos) << error;
}

// Each line carries its writer and number and is padded with a character derived from both, so
// a line mixed from two writes shows.
std::string traced_line(int writer, int n) {
    std::string head = "w" + std::to_string(writer) + " " + std::to_string(n) + " ";
    return head + std::string(200, char('A' + (writer * 7 + n) % 26));
}

bool well_formed(const std::string &line, int &writer, int &n) {
    if (sscanf(line.c_str(), "w%d %d ", &writer, &n) != 2)
        return false;
    return line == traced_line(writer, n);
}

TEST(Trace, ConcurrentWritersLoseNothingAndMixNothing) {
    constexpr int writers = 6, per_writer = 400;
    ltrace_buf *all = open_buf("concurrent", writers * per_writer);
    ltrace_buf *ring = open_buf("concurrent-ring", 50);
    std::atomic<bool> done{false};
    std::atomic<int> bad_reads{0};
    // A reader runs alongside and must only ever see whole lines.
    std::thread reader([&] {
        while (!done) {
            std::vector<std::string> lines;
            std::string error;
            if (!platform::ltrace_read("concurrent-ring", lines, error))
                ++bad_reads;
            int w, n;
            for (auto &l : lines)
                if (!well_formed(l, w, n))
                    ++bad_reads;
        }
    });
    std::vector<std::thread> threads;
    for (int w = 0; w < writers; ++w)
        threads.emplace_back([=] {
            for (int n = 0; n < per_writer; ++n) {
                _lstrace(all, 0, traced_line(w, n).c_str());
                _lstrace(ring, 0, traced_line(w, n).c_str());
            }
        });
    for (auto &t : threads)
        t.join();
    done = true;
    reader.join();
    EXPECT_EQ(bad_reads, 0);

    auto lines = read_lines("concurrent");
    ASSERT_EQ(lines.size(), size_t(writers * per_writer));
    std::map<int, int> next_of;  // each writer's lines appear complete and in its own order
    for (auto &l : lines) {
        int w, n;
        ASSERT_TRUE(well_formed(l, w, n)) << l;
        EXPECT_EQ(n, next_of[w]++);
    }
    auto tail = read_lines("concurrent-ring");
    EXPECT_EQ(tail.size(), 50u);
    for (auto &l : tail) {
        int w, n;
        EXPECT_TRUE(well_formed(l, w, n)) << l;
    }
}

}  // namespace
