// The configuration database's frames (types 0x100..0x1FF) between platformd, libsysdb.so and
// platformctl. Framing, Writer/Reader and T_REPLY are those of platform/proto.h.
//
// Requests (client to daemon), each answered by one T_REPLY (u32 status, string reason, body):
//
//   T_CFG_BIND        string path, u32 flags                     -> no body
//   T_CFG_UNBIND      empty                                      -> no body
//   T_CFG_REG_VERIFY  string path, u32 REG_* flags               -> u32 handle
//   T_CFG_REG_NOTIFY  string path, u32 REG_* flags               -> u32 handle
//   T_CFG_UNREGISTER  u32 handle                                 -> no body
//   T_CFG_COMMIT      string path, u32 ITEM_* flags, bytes value -> u64 sequence
//   T_CFG_GET         string path                                -> u64 sequence, bytes value
//   T_CFG_LIST        string prefix, string after                -> item page
//   T_CFG_SCAN        string path, string after                  -> item page
//   T_CFG_RESYNC      u32 handle (the daemon's)                  -> no body; the stored state
//                                                                  of the registration's path
//                                                                  follows as callouts
//   T_CFG_ZONES       empty                                      -> zones page (below)
//
// A path is absolute ('/' first), at most MAX_PATH bytes, without NUL bytes. An item page is
// u32 count, count x (string path, u64 sequence, bytes value), u8 more; when more is 1 the client
// asks again with `after` set to the last path it got. LIST matches paths that begin with the
// prefix byte for byte; SCAN matches the items below a path (the path itself, or paths that
// continue it after a '/').
//
// A registration is bound to the connection it was made on: the daemon sends that registration's
// callouts on it, and drops the registration when the connection closes. Callouts (daemon to
// client, seq 0):
//
//   T_CFG_VERIFY  item message  -> the client sends T_CFG_VERIFY_RESULT
//   T_CFG_APPLY   item message  -> the client sends T_CFG_APPLY_RESULT
//   T_CFG_NOTIFY  item message  (no answer)
//
// item message: u32 handle, u64 commit id, string path, string name (relative to the registered
// path), u32 ITEM_* flags, u64 sequence, bytes value (empty for a deletion).
//
// Results (client to daemon, not answered): T_CFG_VERIFY_RESULT u64 commit id, i32 status,
// u32 accept, string reason; T_CFG_APPLY_RESULT u64 commit id, i32 status[, string reason].
// T_CFG_EFFECT string zone (empty: none), sent on a registration's connection: the zone in
// effect on the sender's card, after each callout that may have changed it.
//
// The stored state of a path is every item stored below it and, for every item the database
// knows by name below it that is not stored, its deletion. A verifier gets it as T_CFG_APPLY
// callouts with commit id 0 and ITEM_STORED set (check, then apply; the answer is not awaited),
// a notification registrant as T_CFG_NOTIFY callouts. The daemon hands it over after a
// registration made with REG_REPLAY, on T_CFG_RESYNC, and to a verifier after a commit that
// failed once its apply may have run; it is sent after any apply of a commit in progress, so a
// registrant that works through its callouts in order ends on what is stored.
//
// zones page: string item (the time-zone item's path), u8 stored, bytes value (when stored),
// u32 count, count x (u32 card, u8 reported, string zone in effect, u32 reporter pid,
// u8 reporter connected).
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "platform/proto.h"

namespace platform::proto {

constexpr uint16_t T_CFG_BIND = 0x100;
constexpr uint16_t T_CFG_UNBIND = 0x101;
constexpr uint16_t T_CFG_REG_VERIFY = 0x102;
constexpr uint16_t T_CFG_REG_NOTIFY = 0x103;
constexpr uint16_t T_CFG_UNREGISTER = 0x104;
constexpr uint16_t T_CFG_COMMIT = 0x105;
constexpr uint16_t T_CFG_GET = 0x106;
constexpr uint16_t T_CFG_LIST = 0x107;
constexpr uint16_t T_CFG_SCAN = 0x108;
constexpr uint16_t T_CFG_RESYNC = 0x109;
constexpr uint16_t T_CFG_ZONES = 0x10A;

constexpr uint16_t T_CFG_VERIFY = 0x110;
constexpr uint16_t T_CFG_VERIFY_RESULT = 0x111;
constexpr uint16_t T_CFG_APPLY = 0x112;
constexpr uint16_t T_CFG_APPLY_RESULT = 0x113;
constexpr uint16_t T_CFG_NOTIFY = 0x114;
constexpr uint16_t T_CFG_EFFECT = 0x115;

// Item flags (the same bit as SYSDB_ITEM_DELETE).
constexpr uint32_t ITEM_DELETE = 0x4;
// On a callout only: the item is the stored state handed over, not a commit.
constexpr uint32_t ITEM_STORED = 0x100;

// Registration flags. REG_REPLAY: right after the registration, the daemon hands the registrant
// the stored state of its path (a registrant catching up, e.g. after platformd restarted).
constexpr uint32_t REG_REPLAY = 0x1;

constexpr size_t MAX_PATH = 1024;

// Statuses of the configuration database besides errno values.
constexpr uint32_t CFG_ENOCONN = 511;  // no usable connection
// Cluster mode: the store was proposed to etcd and no answer came in time; it may yet be applied.
constexpr uint32_t CFG_OUTCOME_UNKNOWN = 512;
constexpr uint32_t CFG_TRANSIENT_BUSY = 0x80000001;         // try again in a moment
constexpr uint32_t CFG_TRANSIENT_UNREACHABLE = 0x80000002;  // platformd cannot be reached

// The time-zone item, and the folder below which the database knows every item by name.
constexpr const char *CFG_TZ_ITEM = "/cfg/gl/clock/timezone";
constexpr const char *CFG_CLOCK_DIR = "/cfg/gl/clock/";
constexpr const char *CFG_CLOCK_ITEMS[] = {"timezone", "ts"};

inline bool cfg_path_ok(const std::string &p) {
    return !p.empty() && p[0] == '/' && p.size() <= MAX_PATH && p.find('\0') == std::string::npos;
}

// True when ITEM lies below PATH: equal to it, or continuing it after a '/' (PATH may itself end
// in '/').
inline bool cfg_below(const std::string &item, const std::string &path) {
    if (item.compare(0, path.size(), path) != 0)
        return false;
    if (item.size() == path.size() || (!path.empty() && path.back() == '/'))
        return true;
    return item[path.size()] == '/';
}

// Why PATH is no item the database knows, or empty when it is one: below CFG_CLOCK_DIR only the
// items of CFG_CLOCK_ITEMS exist. Elsewhere any path may hold an item.
inline std::string cfg_schema_problem(const std::string &path) {
    const std::string dir = CFG_CLOCK_DIR;
    if (path.compare(0, dir.size(), dir) != 0)
        return std::string();
    std::string name = path.substr(dir.size());
    std::string known;
    for (const char *item : CFG_CLOCK_ITEMS) {
        if (name == item)
            return std::string();
        known += (known.empty() ? "" : " and ") + std::string(item);
    }
    return "no such item " + path + ": below " + dir + " only " + known + " exist";
}

struct CfgItemMsg {
    uint32_t handle = 0;
    uint64_t commit = 0;
    std::string path;
    std::string name;
    uint32_t flags = 0;
    uint64_t sequence = 0;
    std::vector<uint8_t> value;

    void write(Writer &w) const {
        w.u32(handle).u64(commit).str(path).str(name).u32(flags).u64(sequence).bytes(value);
    }
    bool read(Reader &r) {
        return r.u32(handle) && r.u64(commit) && r.str(path, MAX_PATH) && r.str(name, MAX_PATH) &&
               r.u32(flags) && r.u64(sequence) && r.bytes(value) && r.at_end();
    }
};

// One item of a LIST or SCAN page.
struct CfgEntry {
    std::string path;
    uint64_t sequence = 0;
    std::vector<uint8_t> value;
};

// Reads a LIST or SCAN page body.
inline bool cfg_read_page(Reader &r, std::vector<CfgEntry> &out, bool &more) {
    uint32_t n = 0;
    if (!r.u32(n))
        return false;
    for (uint32_t i = 0; i < n; i++) {
        CfgEntry e;
        if (!r.str(e.path, MAX_PATH) || !r.u64(e.sequence) || !r.bytes(e.value))
            return false;
        out.push_back(std::move(e));
    }
    uint8_t m = 0;
    if (!r.u8(m) || !r.at_end())
        return false;
    more = m != 0;
    return true;
}

}  // namespace platform::proto
