// A real network partition on loopback for the cluster tests: an nftables table of the test's own
// that drops the packets to and from some TCP ports, at one loopback address or at all. Only root
// can make one; available() says whether this process can, and the tests stand SIGSTOP in for it
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
    // Drops the TCP packets to and from PORTS, at the loopback address ADDRESS (e.g. "127.0.0.3":
    // one card's connections to its cluster) or, when it is empty, at every address. False when
    // nft refused.
    bool cut(const std::vector<int> &ports, const std::string &address = "");
    // Deletes the table; the traffic flows again.
    void heal();

  private:
    std::string table_;
    bool cut_ = false;
};

}  // namespace ts
