#include "etcd_cluster.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "etcd/etcd.h"

namespace fs = std::filesystem;

namespace ts {

namespace {

const char *ETCD = "/usr/bin/etcd";

// Ports the kernel hands out are free when taken; all sockets are held open until every port
// is chosen so that no two members get the same one.
std::vector<int> free_ports(int n) {
    std::vector<int> fds, ports;
    for (int i = 0; i < n; i++) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
        fds.push_back(fd);
        ports.push_back(ntohs(a.sin_port));
    }
    for (int fd : fds)
        close(fd);
    return ports;
}

std::string url(int port) {
    return "http://127.0.0.1:" + std::to_string(port);
}

}  // namespace

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
        std::error_code ec;
        for (auto &m : members_)
            fs::remove_all(dir_ + "/" + m.name, ec);
        members_.clear();
        initial_cluster_.clear();
        std::vector<int> ports = free_ports(2 * members);
        for (int i = 0; i < members; i++) {
            Member m;
            m.name = "m" + std::to_string(i);
            m.client_port = ports[2 * i];
            m.peer_port = ports[2 * i + 1];
            initial_cluster_ += (i ? "," : "") + m.name + "=" + url(m.peer_port);
            members_.push_back(m);
        }
        for (int i = 0; i < members; i++)
            members_[i].pid = spawn(i, true);
        ready_ = true;
        for (int i = 0; i < members; i++)
            ready_ = ready_ && members_[i].pid > 0 && serving(i, std::chrono::seconds(20));
    }
}

EtcdCluster::~EtcdCluster() {
    for (int i = 0; i < size(); i++)
        if (members_[i].pid > 0)
            kill(i);
    if (!dir_.empty() && !getenv("TZD_TEST_KEEP")) {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
}

pid_t EtcdCluster::spawn(int member, bool fresh) {
    const Member &m = members_[member];
    std::string data = dir_ + "/" + m.name;
    std::string listen = url(m.client_port);
    for (const char *alias : ALIASES)
        listen += ",http://" + std::string(alias) + ":" + std::to_string(m.client_port);
    std::vector<std::string> args = {
        ETCD,
        "--name=" + m.name,
        "--data-dir=" + data,
        "--listen-client-urls=" + listen,
        "--advertise-client-urls=" + url(m.client_port),
        "--listen-peer-urls=" + url(m.peer_port),
        "--initial-advertise-peer-urls=" + url(m.peer_port),
        "--initial-cluster=" + initial_cluster_,
        "--initial-cluster-token=" + fs::path(dir_).filename().string(),
        std::string("--initial-cluster-state=") + (fresh ? "new" : "existing"),
        "--unsafe-no-fsync",
        "--heartbeat-interval=50",
        "--election-timeout=500",
        "--logger=zap",
        "--log-level=warn",
    };
    std::string log = dir_ + "/" + m.name + ".log";
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        // The member dies with the test process, however that ends.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        int in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        dup2(out, 1);
        dup2(out, 2);
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(ETCD, argv.data());
        _exit(127);
    }
    return pid;
}

std::string EtcdCluster::endpoint(int member) const {
    return url(members_[member].client_port);
}

std::vector<std::string> EtcdCluster::endpoints() const {
    std::vector<std::string> out;
    for (int i = 0; i < size(); i++)
        out.push_back(endpoint(i));
    return out;
}

std::string EtcdCluster::endpoint_list() const {
    std::string out;
    for (int i = 0; i < size(); i++)
        out += (i ? "," : "") + endpoint(i);
    return out;
}

std::string EtcdCluster::endpoint_list(const std::string &host) const {
    std::string out;
    for (int i = 0; i < size(); i++)
        out += (i ? ",http://" : "http://") + host + ":" + std::to_string(members_[i].client_port);
    return out;
}

int EtcdCluster::member_of(const std::string &endpoint_url) const {
    for (int i = 0; i < size(); i++)
        if (endpoint(i) == endpoint_url)
            return i;
    return -1;
}

void EtcdCluster::kill(int member, int sig) {
    Member &m = members_[member];
    if (m.pid <= 0)
        return;
    ::kill(m.pid, SIGCONT);  // a paused member must be able to die of SIGTERM too
    ::kill(m.pid, sig);
    int status;
    for (int i = 0; i < 150; i++) {
        if (waitpid(m.pid, &status, WNOHANG) == m.pid) {
            m.pid = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ::kill(m.pid, SIGKILL);
    waitpid(m.pid, &status, 0);
    m.pid = -1;
}

bool EtcdCluster::start(int member) {
    if (members_[member].pid > 0)
        return true;
    members_[member].pid = spawn(member, false);
    return members_[member].pid > 0 && serving(member);
}

void EtcdCluster::pause(int member) {
    if (members_[member].pid > 0)
        ::kill(members_[member].pid, SIGSTOP);
}

void EtcdCluster::resume(int member) {
    if (members_[member].pid > 0)
        ::kill(members_[member].pid, SIGCONT);
}

bool EtcdCluster::serving(int member, std::chrono::milliseconds timeout) {
    platform::etcd::Options o;
    o.endpoints = {endpoint(member)};
    platform::etcd::Client c(o);
    auto until = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < until) {
        int status;
        if (members_[member].pid > 0 && waitpid(members_[member].pid, &status, WNOHANG) > 0) {
            members_[member].pid = -1;  // it exited: its ports were taken, or it failed to start
            return false;
        }
        auto r = c.range_sync("/health-probe", false, 0, 1000);
        if (r.outcome == platform::etcd::Outcome::ok ||
            r.outcome == platform::etcd::Outcome::absent)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

std::string EtcdCluster::log(int member) const {
    std::ifstream in(dir_ + "/" + members_[member].name + ".log");
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace ts
