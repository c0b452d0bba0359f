#include "etcd_cluster.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

namespace fs = std::filesystem;

namespace ts {

EtcdCluster::EtcdCluster(int members) {
    char tmpl[] = "/tmp/tzd-etcd-XXXXXX";
    if (!mkdtemp(tmpl))
        return;
    dir_ = tmpl;
    // A port can be taken by another test between its choice and etcd's bind; such a member
    // exits at once, and the cluster is started again on other ports.
    for (int attempt = 0; attempt < 3 && !ready_; attempt++) {
        for (int i = 0; i < size(); i++)
            kill(i);
        members_.assign(members, {});
        // Ports the kernel hands out are free when taken; every socket is held open until all
        // ports are chosen, so that no two are the same.
        std::vector<int> fds;
        for (int i = 0; i < 2 * members; i++) {
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t len = sizeof a;
            fds.push_back(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            bind(fds.back(), reinterpret_cast<sockaddr *>(&a), sizeof a);
            getsockname(fds.back(), reinterpret_cast<sockaddr *>(&a), &len);
            (i % 2 ? members_[i / 2].peer_port : members_[i / 2].client_port) = ntohs(a.sin_port);
        }
        for (int fd : fds)
            close(fd);
        std::error_code ec;
        for (int i = 0; i < members; i++) {
            fs::remove_all(dir_ + "/m" + std::to_string(i), ec);
            members_[i].pid = spawn(i, true);
        }
        ready_ = true;
        for (int i = 0; i < members; i++)
            ready_ = ready_ && serving(i);
    }
}

EtcdCluster::~EtcdCluster() {
    for (int i = 0; i < size(); i++)
        kill(i);
    std::error_code ec;
    if (!dir_.empty() && !getenv("TZD_TEST_KEEP"))
        fs::remove_all(dir_, ec);
}

pid_t EtcdCluster::spawn(int member, bool fresh) {
    std::string name = "m" + std::to_string(member), listen = endpoint(member), cluster;
    for (const char *alias : ALIASES)
        listen += "," + url(alias, member);
    for (int i = 0; i < size(); i++)
        cluster += (i ? ",m" : "m") + std::to_string(i) +
                   "=http://127.0.0.1:" + std::to_string(members_[i].peer_port);
    std::string peer = "http://127.0.0.1:" + std::to_string(members_[member].peer_port);
    std::string cmd = "exec /usr/bin/etcd --name=" + name + " --data-dir=" + dir_ + "/" + name +
                      " --listen-client-urls=" + listen +
                      " --advertise-client-urls=" + endpoint(member) +
                      " --listen-peer-urls=" + peer + " --initial-advertise-peer-urls=" + peer +
                      " --initial-cluster=" + cluster +
                      " --initial-cluster-token=" + fs::path(dir_).filename().string() +
                      " --initial-cluster-state=" + (fresh ? "new" : "existing") +
                      " --unsafe-no-fsync --heartbeat-interval=50 --election-timeout=500"
                      " --logger=zap --log-level=warn </dev/null >>" +
                      dir_ + "/" + name + ".log 2>&1";
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        // The member dies with the test process, however that ends (the shell execs it).
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() == parent)
            execl("/bin/sh", "sh", "-c", cmd.c_str(), nullptr);
        _exit(127);
    }
    return pid;
}

std::string EtcdCluster::endpoint_list(const std::string &host) const {
    std::string out;
    for (int i = 0; i < size(); i++)
        out += (i ? "," : "") + url(host, i);
    return out;
}

void EtcdCluster::kill(int member) {
    if (members_[member].pid > 0) {
        ::kill(members_[member].pid, SIGKILL);
        waitpid(members_[member].pid, nullptr, 0);
    }
    members_[member].pid = -1;
}

bool EtcdCluster::start(int member) {
    if (members_[member].pid <= 0)
        members_[member].pid = spawn(member, false);
    return serving(member);
}

void EtcdCluster::signal(int member, int sig) const {
    if (members_[member].pid > 0)
        ::kill(members_[member].pid, sig);
}

bool EtcdCluster::serving(int member) {
    platform::etcd::Client c(platform::etcd::Options{.endpoints = {endpoint(member)}});
    for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
         std::chrono::steady_clock::now() < until;) {
        pid_t &pid = members_[member].pid;
        if (pid <= 0 || waitpid(pid, nullptr, WNOHANG) == pid) {
            pid = -1;  // it exited: its ports were taken, or it failed to start
            return false;
        }
        using platform::etcd::Outcome;
        if (auto o = c.range_sync("/health-probe", false, 0, 1000).outcome;
            o == Outcome::ok || o == Outcome::absent)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

}  // namespace ts
