// The router harness leaves nothing running: what a program started goes with it, and a test
// process that dies without cleaning up still takes its programs with it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "support.h"

namespace {

using namespace std::chrono_literals;

// Whether PID is a process that has not ended (a zombie has).
bool alive(pid_t pid) {
    std::string stat = ts::read_file("/proc/" + std::to_string(pid) + "/stat");
    return !stat.empty() && stat.find(") Z ") == std::string::npos;
}

TEST(Harness, WhatAProgramStartedEndsWithTheRouter) {
    pid_t grandchild = -1;
    {
        ts::Router r;
        pid_t sh = r.start("/bin/sh", {"-c", "sleep 1000 & echo $!; wait"});
        ASSERT_TRUE(ts::eventually([&] { return !r.lines(sh, "").empty(); }));
        grandchild = std::stoi(r.lines(sh, "").at(0));
        ASSERT_TRUE(alive(grandchild));
    }
    EXPECT_TRUE(ts::eventually([&] { return !alive(grandchild); }, 10s));
}

// A test process killed outright, with a program started as root and one that dropped to
// another user (which loses any parent-death signal).
TEST(Harness, AKilledTestProcessTakesItsProgramsWithIt) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    pid_t test = fork();
    if (test == 0) {
        ts::Router r;
        pid_t pids[] = {r.start("/bin/sleep", {"1000"}),
                        r.start("/usr/bin/setpriv", {"--reuid=65534", "--regid=65534",
                                                     "--clear-groups", "/bin/sleep", "1000"})};
        std::string dir = r.dir();
        if (write(p[1], pids, sizeof pids) != sizeof pids ||
            write(p[1], dir.data(), dir.size()) != ssize_t(dir.size()))
            _exit(1);
        raise(SIGKILL);
    }
    close(p[1]);
    pid_t pids[2] = {-1, -1};
    char dir[256] = {};
    ASSERT_EQ(read(p[0], pids, sizeof pids), ssize_t(sizeof pids));
    ASSERT_GT(read(p[0], dir, sizeof dir - 1), 0);
    close(p[0]);
    int w = 0;
    ASSERT_EQ(waitpid(test, &w, 0), test);
    EXPECT_TRUE(WIFSIGNALED(w));
    for (pid_t pid : pids)
        EXPECT_TRUE(ts::eventually([&] { return !alive(pid); }, 10s)) << pid;
    std::filesystem::remove_all(dir);
}

}  // namespace
