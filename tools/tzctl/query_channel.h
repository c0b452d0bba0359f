// The client end of the time-zone service's query channel: one SOCK_SEQPACKET connection that
// carries whole tz_cli_msg requests and status-framed replies.
#pragma once

#include <memory>
#include <string>

#include "exit_status.h"
#include "tz_cli_msg.h"

namespace tzctl {

using cli::kExitNone;
using cli::kExitOk;
using cli::kExitRefused;
using cli::kExitUnknown;
using cli::kExitUnreachable;
using cli::kExitUsage;

// A failure that ends the command: the text goes to standard error, the status is the exit code.
struct Failure {
    int status;
    std::string text;
};

// The channel's path: $PLATFORM_RUNDIR/dev/tz_cli_msg_transfer, PLATFORM_RUNDIR resolved the way
// the platform resolves it.
std::string default_channel_path();

// The errno name and a text for an error code replied by the service, "ENOPKG: zoneinfo package
// not available"; codes the service does not use get the system's texts.
std::string service_error_text(int code);

// A zeroed request of the given type.
std::unique_ptr<tz_cli_msg> new_request(int type);

class QueryChannel {
  public:
    // TIMEOUT_MS bounds each send and each wait for a reply (0: wait for ever).
    QueryChannel(std::string path, int timeout_ms);
    ~QueryChannel();
    QueryChannel(const QueryChannel &) = delete;
    QueryChannel &operator=(const QueryChannel &) = delete;

    // Sends REQUEST and returns the service's answer to it. Throws Failure when the service is
    // not running, the exchange breaks, the reply is malformed or carries an error code.
    std::unique_ptr<tz_cli_msg> exchange(const tz_cli_msg &request);

  private:
    void connect_once();

    std::string path_;
    int timeout_ms_;
    int fd_ = -1;
};

}  // namespace tzctl
