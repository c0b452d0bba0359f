#include "partition.h"

#include <stdlib.h>
#include <unistd.h>

#include <atomic>

namespace ts {

namespace {

bool sh(const std::string &script) {
    return system(script.c_str()) == 0;
}

}  // namespace

bool Partition::available() {
    static const bool ok = geteuid() == 0 && sh("nft list tables >/dev/null 2>&1");
    return ok;
}

Partition::Partition() {
    static std::atomic<int> serial{0};
    table_ = "tzd_part_" + std::to_string(getpid()) + "_" + std::to_string(serial++);
    // Tables of test processes that are gone: left behind by a crash.
    if (available())
        sh("for t in $(nft list tables inet | sed -n 's/^table inet \\(tzd_part_.*\\)/\\1/p'); do"
           " p=${t#tzd_part_}; kill -0 ${p%%_*} 2>/dev/null || nft delete table inet $t; done");
}

bool Partition::cut(const std::vector<int> &ports, const std::string &address) {
    heal();
    std::string set, to, from;
    for (int p : ports)
        set += (set.empty() ? "" : ", ") + std::to_string(p);
    if (!address.empty()) {
        to = "ip daddr " + address + " ";
        from = "ip saddr " + address + " ";
    }
    cut_ = sh("nft -f - <<'EOF'\ntable inet " + table_ +
              " {\n chain out {\n  type filter hook output priority -10; policy accept;\n  " + to +
              "tcp dport { " + set + " } drop\n  " + from + "tcp sport { " + set +
              " } drop\n }\n}\nEOF\n");
    return cut_;
}

void Partition::heal() {
    if (cut_)
        sh("nft delete table inet " + table_);
    cut_ = false;
}

}  // namespace ts
