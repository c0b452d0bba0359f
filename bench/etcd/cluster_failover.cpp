// Failover in cluster mode: a 3-member etcd cluster and 3 cards (platformd with PLATFORM_ETCD
// and tzd each) started here on loopback. Each round SIGKILLs the dLRSC card's platformd and tzd
// and times, from the kill, the moment another card's tzd had event 4 (the time of its trace
// line) and the first commit that card accepted; the killed card is then started again and
// rejoins as a follower. Prints the median and the maximum of each, in milliseconds.
//
//   cluster_failover [ROUNDS]     (default 20)
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "bench_children.h"
#include "etcd_cluster.h"
#include "platform/ltrace_reader.h"
#include "platform/proto.h"
#include "platform/proto_cfg.h"
#include "platform/tuple.h"

namespace {

namespace proto = platform::proto;
constexpr int kCards = 3;

uint64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

// The last role event the tzd of the card in RUNDIR traced and when; {-1, 0} when none.
std::pair<int, uint64_t> tzd_event(const std::string &rundir) {
    std::vector<platform::LtraceEntry> lines;
    std::string error;
    platform::ltrace_read_file(rundir + "/ltrace/tz_ltrace", lines, error);
    for (auto it = lines.rbegin(); it != lines.rend(); ++it)
        if (auto at = it->text.find("state = "); at != std::string::npos)
            return {atoi(it->text.c_str() + at + 8), it->time_ns};
    return {-1, 0};
}

void report(const char *what, std::vector<double> ms) {
    if (ms.empty())
        return;
    std::sort(ms.begin(), ms.end());
    printf("%-60s median %6.0f ms   max %6.0f ms   (n=%zu)\n", what, ms[ms.size() / 2], ms.back(),
           ms.size());
}

using bench::children;
using bench::spawn;
using bench::stop_all;

// A commit on the card of SOCKET; true when it was accepted.
bool commit(const std::string &socket, int card, int i) {
    proto::Conn conn;
    std::string error;
    if (!conn.connect(socket, 500, &error) ||
        !proto::hello(conn, uint32_t(card), uint32_t(getpid()), "cluster_failover",
                      proto::HELLO_OBSERVER, error))
        return false;
    proto::Writer w;
    w.str("/cfg/gl/clock/timezone")
        .u32(0)
        .bytes(platform::tuple_pack_strings(
            {"F" + std::to_string(i), i % 2 ? "Europe/Paris" : "Asia/Kolkata"}));
    uint32_t status = 0;
    std::string message;
    std::vector<uint8_t> body;
    return conn.call(proto::T_CFG_COMMIT, w, status, message, body, 5000) == proto::Recv::ok &&
           status == 0;
}

}  // namespace

int main(int argc, char **argv) {
    int rounds = argc > 1 ? atoi(argv[1]) : 20;
    ts::EtcdCluster cl;
    if (!cl.ready()) {
        fprintf(stderr, "cluster_failover: the etcd cluster did not come up (%s)\n",
                cl.dir().c_str());
        return 1;
    }
    std::string dir = cl.dir() + "/cards";
    mkdir(dir.c_str(), 0755);
    std::string bin = TZD_BIN_DIR;
    std::string rundirs[kCards], sockets[kCards];
    pid_t pd[kCards], tzd[kCards];
    auto start = [&](int n) {
        std::vector<std::string> env = {"PLATFORM_ETCD=" + cl.endpoint_list(),
                                        "PLATFORM_ROUTER=bench",
                                        "PLATFORM_CARD=" + std::to_string(n),
                                        "PLATFORM_RUNDIR=" + rundirs[n],
                                        "PLATFORM_SOCKET=" + sockets[n],
                                        "PLATFORM_STATEDIR=" + rundirs[n] + "/state",
                                        "PLATFORM_LOCALTIME=" + rundirs[n] + "/localtime",
                                        "PLATFORM_LOG_STDERR=1"};
        unlink(sockets[n].c_str());
        pd[n] = spawn(bin + "/platformd", env, rundirs[n] + "/platformd.log");
        for (int i = 0; i < 100 && access(sockets[n].c_str(), F_OK) != 0; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        tzd[n] = spawn(bin + "/tzd", env, rundirs[n] + "/tzd.log");
    };
    for (int n = 0; n < kCards; n++) {
        rundirs[n] = dir + "/card" + std::to_string(n);
        mkdir(rundirs[n].c_str(), 0755);
        sockets[n] = rundirs[n] + "/platformd.sock";
        start(n);
    }
    // One holder, the others following, and commits accepted: the state each round starts from.
    auto settled = [&](int *holder) {
        for (int i = 0; i < 300; i++) {
            int h = -1, followers = 0;
            for (int n = 0; n < kCards; n++) {
                int e = tzd_event(rundirs[n]).first;
                h = e == 4 ? n : h;
                followers += e == 32;
            }
            if (h >= 0 && followers == kCards - 1 && commit(sockets[h], h, i)) {
                *holder = h;
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    };

    std::vector<double> event4, accepted;
    int lost = 0;
    for (int round = 0; round < rounds; round++) {
        int holder = -1;
        if (!settled(&holder)) {
            fprintf(stderr, "cluster_failover: no settled holder (logs in %s)\n", dir.c_str());
            break;
        }
        // Anywhere in the lease's renewal period, as a real death would be.
        std::this_thread::sleep_for(std::chrono::milliseconds(rand() % 500));
        uint64_t t0 = now_ns();
        kill(pd[holder], SIGKILL);
        kill(tzd[holder], SIGKILL);
        for (pid_t p : {pd[holder], tzd[holder]}) {
            waitpid(p, nullptr, 0);
            children.erase(std::find(children.begin(), children.end(), p));
        }
        int next = -1;
        uint64_t at = 0;
        for (int i = 0; i < 1000 && next < 0; i++) {
            for (int n = 0; n < kCards; n++)
                if (auto [e, t] = tzd_event(rundirs[n]); n != holder && e == 4 && t > t0)
                    next = n, at = t;
            if (next < 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (next < 0) {
            lost++;
        } else {
            event4.push_back(double(at - t0) / 1e6);
            for (int i = 0; i < 2000; i++)
                if (commit(sockets[next], next, round * 1000 + i)) {
                    accepted.push_back(double(now_ns() - t0) / 1e6);
                    break;
                }
        }
        start(holder);
    }
    report("dLRSC's platformd killed -> another tzd has event 4", event4);
    report("dLRSC's platformd killed -> the new dLRSC accepts a commit", accepted);
    if (lost)
        printf("rounds with no new holder within 5 s: %d\n", lost);
    stop_all();
    return lost ? 1 : 0;
}
