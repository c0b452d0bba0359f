// A real network partition on loopback for the cluster tests: an nftables table of the test's own
// that drops the packets to and from some TCP ports or one loopback address. Only root can make
// one; available() says whether this process can, and the tests stand SIGSTOP in for it
// otherwise. The table is deleted when the Partition goes (and tables left by a test process
// that died are deleted by the next Partition made).
#pragma once

#include <string>
#include <vector>

namespace ts {

class Partition {
  public:
    Partition();
    ~Partition() { heal(); }
    Partition(const Partition &) = delete;
    Partition &operator=(const Partition &) = delete;

    // Whether nftables tables can be made here (root, nft installed, the kernel allows it).
    static bool available();
    // Drops TCP packets to and from each of PORTS; false when nft refused.
    bool cut_ports(const std::vector<int> &ports);
    // Drops the TCP packets to and from PORTS at the loopback address ADDRESS (e.g. "127.0.0.3"):
    // one card's connections to its cluster, leaving other tests' clusters alone.
    bool cut_address(const std::string &address, const std::vector<int> &ports);
    // Deletes the table; the traffic flows again.
    void heal();
    bool cut() const { return cut_; }
    const std::string &table() const { return table_; }

  private:
    bool apply(const std::string &rules);
    std::string table_;
    bool cut_ = false;
};

}  // namespace ts
