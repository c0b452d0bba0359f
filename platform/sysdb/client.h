// Inside libsysdb.so: the connection object, the registrations, and what the client and the
// backend library share.
#pragma once

#include <stdint.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/proto_cfg.h"
#include "platform_sysdb.h"

namespace sysdb {

// One registration. Its callouts arrive on a connection of its own, watched by the event manager
// named at registration, so callbacks run on that manager's thread. When the connection is lost
// the keeper thread makes the registration again, with the same handle for the caller.
struct Reg {
    uint32_t handle = 0;  // the caller's handle; stays the same across reconnects
    bool verifier = false;
    std::string path;  // full registered path
    sysdb_verify_cb_t verify = nullptr;
    sysdb_apply_cb_t apply = nullptr;
    sysdb_notify_cb_t notify = nullptr;
    void *user = nullptr;
    evm_handle_t evm = nullptr;

    std::mutex mu;        // guards the fields below
    uint32_t server = 0;  // platformd's handle of the current registration
    uint64_t source = 0;  // event source of the connection while watched
    bool cancelled = false;
    bool lost = false;
};

// Joins the bound path and a path below it.
std::string join(const std::string &base, const std::string &rel);
// The item's name relative to BASE (without leading '/').
std::string relative(const std::string &item, const std::string &base);

// Statuses.
constexpr uint32_t S_EINVAL = 22;
constexpr uint32_t S_EPROTO = 71;

}  // namespace sysdb

struct sysdb_conn {
    std::mutex mu;  // guards everything below, and serialises the synchronous calls
    std::string path;
    uint32_t flags = 0;
    bool bound = false;
    platform::proto::Conn ctl;  // the control connection; reopened on demand
    std::map<uint32_t, std::shared_ptr<sysdb::Reg>> regs;

    // A request on the control connection, reconnecting (and binding again) once when platformd
    // was restarted. Holds MU. False when there is no usable connection.
    bool call(uint16_t type, const platform::proto::Writer &w, uint32_t &status,
              std::string &message, std::vector<uint8_t> &body);
    // Every item below PATH (full), page by page. Holds MU. Status 0, ENOCONN or the daemon's.
    uint32_t scan(const std::string &path, std::vector<platform::proto::CfgEntry> &out);
    // The live registration of this connection that a scan below PATH feeds: the verifier for a
    // command descriptor, the notification registration for a notify descriptor.
    std::shared_ptr<sysdb::Reg> registration_for(const std::string &path, bool verifier);

  private:
    bool open_ctl();
};
