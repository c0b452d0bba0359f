// Test support for the event runtime: a loop on a thread of its own and channel clients. The
// channels live below the runtime directory of this process's router.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <functional>
#include <future>
#include <thread>
#include <vector>

#include "platform/evm_source.h"
#include "platform/fd.h"
#include "platform_events.h"
#include "support.h"

namespace events_test {

constexpr size_t kMsg = 74216;
// This process's runtime directory, made on first use (not in a death test's child).
inline std::string rundir() {
    return ts::shared_router().rundir(0);
}

// An event manager created and run by a thread of its own until it is destroyed. With a channel,
// HANDLER serves the messages.
class Loop {
  public:
    using Handler = std::function<int(event_context *)>;
    explicit Loop(const char *channel = nullptr, Handler handler = nullptr)
        : buffer(kMsg, 0), handler_(std::move(handler)) {
        rundir();
        std::promise<void> ready;
        thread_ = std::thread([this, channel, &ready] {
            tid = gettid();
            evm = event_manager_create(0, channel, 6, nullptr);
            auto serve = [](event_context *ctx, void *self) {
                return static_cast<Loop *>(self)->handler_(ctx);
            };
            if (evm && handler_ && event_message_attach(evm, nullptr, serve, this) != 0)
                ADD_FAILURE() << "attach: " << strerror(errno);
            event_context ctx{evm, 0, 0, buffer.data(), buffer.size(), 0, 0, 0, 0, 0};
            ready.set_value();
            while (ctx.evm && event_block(&ctx) != -1)
                vk_event_dispatch(&ctx, 0);
        });
        ready.get_future().wait();
    }
    ~Loop() { stop(); }
    // Destroys the manager from this thread, which ends the loop.
    void stop() {
        evm_handle_t handle = evm;
        if (handle)
            event_manager_destroy(&handle);
        if (thread_.joinable())
            thread_.join();
    }

    evm_handle_t evm = nullptr;
    pid_t tid = 0;
    std::vector<uint8_t> buffer;

  private:
    Handler handler_;
    std::thread thread_;
};

inline platform::Fd connect_channel(const std::string &name) {
    platform::Fd fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, (rundir() + name).c_str(), sizeof addr.sun_path - 1);
    if (connect(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        ADD_FAILURE() << "connect " << name << ": " << strerror(errno);
    return fd;
}

// Sends REQUEST and returns the reply record (empty on EOF or after ten seconds).
inline std::vector<uint8_t> exchange(int fd, const std::vector<uint8_t> &request) {
    EXPECT_EQ(send(fd, request.data(), request.size(), 0), ssize_t(request.size()));
    pollfd p{fd, POLLIN, 0};
    std::vector<uint8_t> record(128 * 1024);
    ssize_t n = poll(&p, 1, 10000) == 1 ? recv(fd, record.data(), record.size(), 0) : 0;
    record.resize(n > 0 ? size_t(n) : 0);
    return record;
}

// The little-endian status word that begins a reply, or -1 when there is none.
inline int32_t reply_status(const std::vector<uint8_t> &r) {
    return r.size() < 4 ? -1 : int32_t(r[0] | r[1] << 8 | r[2] << 16 | uint32_t(r[3]) << 24);
}

}  // namespace events_test
