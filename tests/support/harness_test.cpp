// The router harness leaves nothing running: what a program started goes with it, and a test
// process that dies without cleaning up still takes its programs with it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
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
    struct {
        pid_t pids[2];
        char dir[256];
    } *shared = static_cast<decltype(shared)>(
        mmap(nullptr, sizeof *shared, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    pid_t test = fork();
    if (test == 0) {
        ts::Router r;
        shared->pids[0] = r.start("/bin/sleep", {"1000"});
        shared->pids[1] = r.start("/usr/bin/setpriv", {"--reuid=65534", "--regid=65534",
                                                       "--clear-groups", "/bin/sleep", "1000"});
        snprintf(shared->dir, sizeof shared->dir, "%s", r.dir().c_str());
        raise(SIGKILL);
    }
    int w = 0;
    ASSERT_EQ(waitpid(test, &w, 0), test);
    EXPECT_TRUE(WIFSIGNALED(w));
    for (pid_t pid : shared->pids)
        EXPECT_TRUE(ts::eventually([&] { return pid > 0 && !alive(pid); }, 10s)) << pid;
    std::filesystem::remove_all(shared->dir);
}

}  // namespace
