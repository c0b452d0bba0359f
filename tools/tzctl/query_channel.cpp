#include "query_channel.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

#include "platform/env.h"

namespace tzctl {
namespace {

constexpr const char *kChannelName = "/dev/tz_cli_msg_transfer";

std::string errno_text(int code) {
    const char *name = strerrorname_np(code);
    std::string text = name ? std::string(name) + ": " : std::string();
    return text + strerror(code);
}

Failure unreachable(const std::string &text) {
    return Failure{kExitUnreachable, text};
}

// Waits until FD is ready for EVENTS; false on timeout.
bool wait_ready(int fd, short events, int timeout_ms) {
    pollfd p{fd, events, 0};
    for (;;) {
        int n = poll(&p, 1, timeout_ms > 0 ? timeout_ms : -1);
        if (n >= 0)
            return n > 0;
        if (errno != EINTR)
            return true;  // let the following call report the error
    }
}

}  // namespace

std::string default_channel_path() {
    return platform::env().rundir + kChannelName;
}

std::string service_error_text(int code) {
    switch (code) {
        case ENOENT:
            return "ENOENT: the service's zone catalogue is damaged";
        case EINVAL:
            return "EINVAL: the service could not identify the request";
        case ENOPKG:
            return "ENOPKG: zoneinfo package not available";
        case EBADMSG:
            return "EBADMSG: the service could not send its answer";
        case EOPNOTSUPP:
            return "EOPNOTSUPP: query type not supported by the service";
        default:
            return errno_text(code);
    }
}

std::unique_ptr<tz_cli_msg> new_request(int type) {
    auto msg = std::make_unique<tz_cli_msg>();
    memset(msg.get(), 0, sizeof *msg);
    msg->type_word = static_cast<uint16_t>(type);
    return msg;
}

QueryChannel::QueryChannel(std::string path, int timeout_ms)
    : path_(std::move(path)), timeout_ms_(timeout_ms) {}

QueryChannel::~QueryChannel() {
    if (fd_ >= 0)
        close(fd_);
}

void QueryChannel::connect_once() {
    if (fd_ >= 0)
        return;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path_.size() >= sizeof addr.sun_path)
        throw Failure{kExitUnreachable, "channel path too long for a socket: " + path_};
    memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
    // Whoever controls the channel's directory can put another server in the service's place.
    auto slash = path_.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
        std::string why = platform::dir_trust_problem(path_.substr(0, slash));
        if (!why.empty() && access(path_.substr(0, slash).c_str(), F_OK) == 0)
            throw unreachable("not asking the channel at " + path_ + ": " + why);
    }

    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw unreachable(std::string("cannot create a socket: ") + strerror(errno));
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        int err = errno;
        close(fd);
        if (err == ENOENT || err == ECONNREFUSED || err == ENOTSOCK)
            throw unreachable("time-zone service not running (" + path_ + ": " + strerror(err) +
                              ")");
        throw unreachable("cannot connect to the time-zone service at " + path_ + ": " +
                          strerror(err));
    }
    fd_ = fd;
}

std::unique_ptr<tz_cli_msg> QueryChannel::exchange(const tz_cli_msg &request) {
    connect_once();

    if (!wait_ready(fd_, POLLOUT, timeout_ms_))
        throw unreachable("time-zone service did not take the request in time");
    ssize_t sent = send(fd_, &request, sizeof request, MSG_NOSIGNAL);
    if (sent < 0)
        throw unreachable(std::string("cannot send to the time-zone service: ") + strerror(errno));
    if (static_cast<size_t>(sent) != sizeof request)
        throw unreachable("time-zone service took only part of the request");

    // One byte more than the largest valid reply, so that an oversized record shows.
    std::vector<unsigned char> reply(TZ_CLI_REPLY_SIZE + 1);
    ssize_t got;
    do {
        if (!wait_ready(fd_, POLLIN, timeout_ms_))
            throw unreachable("time-zone service did not answer in time");
        got = recv(fd_, reply.data(), reply.size(), MSG_TRUNC);
    } while (got < 0 && errno == EINTR);
    if (got < 0)
        throw unreachable(std::string("cannot read the service's answer: ") + strerror(errno));
    if (got == 0)
        throw unreachable("time-zone service closed the connection without answering");
    if (got < TZ_CLI_REPLY_STATUS_SIZE)
        throw unreachable("malformed answer from the time-zone service (" + std::to_string(got) +
                          " bytes)");

    uint32_t raw = uint32_t(reply[0]) | uint32_t(reply[1]) << 8 | uint32_t(reply[2]) << 16 |
                   uint32_t(reply[3]) << 24;
    int32_t status = static_cast<int32_t>(raw);
    if (status > 0 && got == TZ_CLI_REPLY_STATUS_SIZE)
        throw Failure{kExitRefused, service_error_text(status)};
    if (status != 0 || got != TZ_CLI_REPLY_SIZE)
        throw unreachable("malformed answer from the time-zone service (status " +
                          std::to_string(status) + ", " + std::to_string(got) + " bytes)");

    auto msg = std::make_unique<tz_cli_msg>();
    memcpy(msg.get(), reply.data() + TZ_CLI_REPLY_STATUS_SIZE, sizeof *msg);
    return msg;
}

}  // namespace tzctl
