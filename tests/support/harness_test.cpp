// The router harness leaves nothing running: a test process that dies without cleaning up still
// takes its programs, and what they started, with it.
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

// A test process killed outright, with a program that started one of its own, and one started
// as root that dropped to another user (which loses any parent-death signal).
TEST(Harness, AKilledTestProcessTakesItsProgramsAndTheirsWithIt) {
    struct {
        pid_t pids[3];
        char dir[256];
    } *shared = static_cast<decltype(shared)>(
        mmap(nullptr, sizeof *shared, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    pid_t test = fork();
    if (test == 0) {
        ts::Router r;
        pid_t sh = r.start("/bin/sh", {"-c", "sleep 1000 & echo $!; wait"});
        shared->pids[1] = r.start("/usr/bin/setpriv", {"--reuid=65534", "--regid=65534",
                                                       "--clear-groups", "/bin/sleep", "1000"});
        if (ts::eventually([&] { return !r.lines(sh, "").empty(); }))
            shared->pids[0] = std::stoi(r.lines(sh, "").at(0));
        shared->pids[2] = sh;
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
