// A real etcd cluster for the cluster-mode tests: members of the system's etcd on free loopback
// ports, each with a private data directory, tuned for speed (no fsync, 50 ms heartbeats, 500 ms
// elections). It is stopped and removed whatever happens to the test: the destructor kills every
// member, and a member whose test process dies is killed by the kernel (parent-death signal).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "etcd/etcd.h"

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
    std::string endpoint(int member) const { return url("127.0.0.1", member); }
    std::vector<std::string> endpoints() const {
        return platform::etcd::split_endpoints(endpoint_list());
    }
    // The form of PLATFORM_ETCD, "http://HOST:P1,http://HOST:P2,...", through the loopback
    // address HOST: 127.0.0.1 or one of ALIASES, on which every member listens too, so that one
    // card's traffic can be told apart (and cut) by its address.
    std::string endpoint_list(const std::string &host = "127.0.0.1") const;
    static constexpr const char *ALIASES[] = {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"};
    int client_port(int member) const { return members_[member].client_port; }
    int peer_port(int member) const { return members_[member].peer_port; }

    // SIGKILL and reap; the data directory stays, for start().
    void kill(int member);
    // Starts a killed member again on its data directory; false when it did not come up.
    bool start(int member);
    // Sends SIG (SIGSTOP, SIGCONT: a member that hangs without closing its connections).
    void signal(int member, int sig) const;

  private:
    struct Member {
        int client_port = 0, peer_port = 0;
        pid_t pid = -1;
    };
    std::string url(const std::string &host, int member) const {
        return "http://" + host + ":" + std::to_string(members_[member].client_port);
    }
    pid_t spawn(int member, bool fresh);
    // Whether MEMBER answers a quorum read within 20 s (false at once when it exited).
    bool serving(int member);

    std::string dir_;
    std::vector<Member> members_;
    bool ready_ = false;
};

}  // namespace ts
