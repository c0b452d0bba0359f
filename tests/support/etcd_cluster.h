// A real etcd cluster for the cluster-mode tests: members of the system's etcd on free loopback
// ports, each with a private data directory, tuned for speed (no fsync, 50 ms heartbeats, 500 ms
// elections). It is stopped and removed whatever happens to the test: the destructor kills every
// member, and a member whose test process dies is killed by the kernel (parent-death signal).
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace ts {

class EtcdCluster {
  public:
    // Starts MEMBERS members and waits until each answers a quorum read; ready() says whether
    // they did (the logs are in dir()).
    explicit EtcdCluster(int members = 3);
    ~EtcdCluster();  // kills the members and removes the directory (unless TZD_TEST_KEEP is set)
    EtcdCluster(const EtcdCluster &) = delete;
    EtcdCluster &operator=(const EtcdCluster &) = delete;

    bool ready() const { return ready_; }
    int size() const { return int(members_.size()); }
    const std::string &dir() const { return dir_; }
    std::string endpoint(int member) const;
    std::vector<std::string> endpoints() const;
    // The form of PLATFORM_ETCD: "http://127.0.0.1:P1,http://127.0.0.1:P2,...".
    std::string endpoint_list() const;
    // The same through the loopback address HOST, one of ALIASES: every member listens on each
    // of them too, so that one card's traffic can be told apart (and cut) by its address.
    std::string endpoint_list(const std::string &host) const;
    static constexpr const char *ALIASES[] = {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"};
    int client_port(int member) const { return members_[member].client_port; }
    std::vector<int> client_ports() const {
        std::vector<int> ports;
        for (auto &m : members_)
            ports.push_back(m.client_port);
        return ports;
    }
    int peer_port(int member) const { return members_[member].peer_port; }
    // The member whose client URL is ENDPOINT; -1 when none is.
    int member_of(const std::string &endpoint) const;

    pid_t pid(int member) const { return members_[member].pid; }
    bool running(int member) const { return members_[member].pid > 0; }
    // SIGKILL (or SIG) and reap; the data directory stays, for start().
    void kill(int member, int sig = SIGKILL);
    // Starts a stopped member again on its data directory; false when it did not come up.
    bool start(int member);
    // SIGSTOP / SIGCONT, for a member that hangs without closing its connections.
    void pause(int member);
    void resume(int member);
    // Whether MEMBER answers a quorum read within TIMEOUT.
    bool serving(int member, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    std::string log(int member) const;

  private:
    struct Member {
        std::string name;
        int client_port = 0, peer_port = 0;
        pid_t pid = -1;
    };
    pid_t spawn(int member, bool fresh);

    std::string dir_;
    std::vector<Member> members_;
    std::string initial_cluster_;
    bool ready_ = false;
};

}  // namespace ts
