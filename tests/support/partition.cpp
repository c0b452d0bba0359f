#include "partition.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <sstream>

namespace ts {

namespace {

const char *PREFIX = "tzd_part_";

// Runs nft with SCRIPT on its standard input (or ARGS alone); its output, and whether it ended
// with status 0.
bool nft(const std::string &args, const std::string &script, std::string *out = nullptr) {
    std::string cmd = "nft " + args + " 2>&1";
    FILE *p = popen(cmd.c_str(), script.empty() ? "r" : "w");
    if (!p)
        return false;
    if (!script.empty()) {
        fwrite(script.data(), 1, script.size(), p);
    } else {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0)
            if (out)
                out->append(buf, n);
    }
    int status = pclose(p);
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Tables of test processes that are gone: left behind by a crash.
void remove_stale() {
    std::string list;
    if (!nft("list tables inet", "", &list))
        return;
    std::istringstream in(list);
    std::string word, family, name;
    while (in >> word >> family >> name) {
        if (name.rfind(PREFIX, 0) != 0)
            continue;
        pid_t pid = atoi(name.c_str() + strlen(PREFIX));
        if (pid > 0 && kill(pid, 0) != 0 && errno == ESRCH)
            nft("delete table inet " + name, "");
    }
}

}  // namespace

bool Partition::available() {
    static int ok = -1;
    if (ok < 0)
        ok = geteuid() == 0 && nft("list tables", "") ? 1 : 0;
    return ok == 1;
}

Partition::Partition() {
    static std::atomic<int> serial{0};
    table_ = PREFIX + std::to_string(getpid()) + "_" + std::to_string(serial++);
    if (available())
        remove_stale();
}

bool Partition::apply(const std::string &rules) {
    heal();
    std::string script = "table inet " + table_ +
                         " {\n chain out {\n  type filter hook output priority -10; policy "
                         "accept;\n" +
                         rules + " }\n}\n";
    cut_ = nft("-f -", script);
    return cut_;
}

namespace {
std::string port_set(const std::vector<int> &ports) {
    std::string set;
    for (int p : ports)
        set += (set.empty() ? "" : ", ") + std::to_string(p);
    return "{ " + set + " }";
}
}  // namespace

bool Partition::cut_ports(const std::vector<int> &ports) {
    std::string set = port_set(ports);
    return apply("  tcp dport " + set + " drop\n  tcp sport " + set + " drop\n");
}

bool Partition::cut_address(const std::string &address, const std::vector<int> &ports) {
    std::string set = port_set(ports);
    return apply("  ip daddr " + address + " tcp dport " + set + " drop\n  ip saddr " + address +
                 " tcp sport " + set + " drop\n");
}

void Partition::heal() {
    if (!cut_)
        return;
    nft("delete table inet " + table_, "");
    cut_ = false;
}

}  // namespace ts
