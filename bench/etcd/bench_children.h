// The daemons a cluster benchmark starts: each dies with the benchmark (even on SIGKILL) and
// writes to its own log; stop_all() ends them with SIGTERM and reaps them.
#pragma once

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace bench {

inline std::vector<pid_t> children;

// Starts PROGRAM with ENV ("NAME=value" entries) added, its output appended to LOG.
inline pid_t spawn(const std::string &program, const std::vector<std::string> &env,
                   const std::string &log) {
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        for (auto &kv : env)
            putenv(const_cast<char *>(kv.c_str()));
        freopen(log.c_str(), "a", stdout);
        freopen(log.c_str(), "a", stderr);
        execl(program.c_str(), program.c_str(), (char *)nullptr);
        _exit(127);
    }
    children.push_back(pid);
    return pid;
}

inline void stop_all() {
    for (pid_t p : children)
        kill(p, SIGTERM);
    for (pid_t p : children)
        waitpid(p, nullptr, 0);
}

}  // namespace bench
