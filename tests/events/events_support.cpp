#include "events_support.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <future>

#include "platform/evm_source.h"

namespace events_test {
namespace {

// Each test process (ctest runs one per test) gets a runtime directory of its own.
class RundirEnvironment : public testing::Environment {
public:
    void SetUp() override {
        if (!dir.empty())
            return;  // a repeated run: the platform has read the variable already
        char tmpl[] = "/tmp/events-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        setenv("PLATFORM_RUNDIR", dir.c_str(), 1);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string dir;
};
RundirEnvironment *environment =
    static_cast<RundirEnvironment *>(testing::AddGlobalTestEnvironment(new RundirEnvironment));

}  // namespace

const std::string &rundir() {
    return environment->dir;
}

bool wait_for(const std::function<bool()> &pred) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

Loop::Loop(const char *channel, Handler handler, size_t buffer_size)
    : buffer(buffer_size, 0), handler_(std::move(handler)) {
    std::promise<void> ready;
    thread_ = std::thread([this, channel, &ready] {
        tid = gettid();
        evm = event_manager_create(0, channel, 6, nullptr);
        create_errno = errno;
        if (evm && handler_) {
            auto serve = [](event_context *ctx, void *self) {
                return static_cast<Loop *>(self)->handler_(ctx);
            };
            const uint16_t attributes[2] = {0x8FFF, 0x0213};
            if (event_message_attach(evm, attributes, serve, this) != 0)
                ADD_FAILURE() << "attach: " << strerror(errno);
        }
        event_context ctx{};
        ctx.evm = evm;
        ctx.buffer = buffer.data();
        ctx.buffer_size = buffer.size();
        ready.set_value();
        if (!ctx.evm)
            return;
        while (event_block(&ctx) != -1)
            vk_event_dispatch(&ctx, 0);
        end_errno = errno;
    });
    ready.get_future().wait();
}

void Loop::stop() {
    if (!thread_.joinable())
        return;
    evm_handle_t handle = evm;
    if (handle)
        event_manager_destroy(&handle);
    thread_.join();
}

bool Loop::run(const std::function<void()> &fn) {
    std::promise<void> done;
    if (!platform::evm_post(evm, [&](event_context *) {
            fn();
            done.set_value();
        }))
        return false;
    return done.get_future().wait_for(std::chrono::seconds(10)) == std::future_status::ready;
}

platform::Fd connect_channel(const std::string &name) {
    platform::Fd fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string path = rundir() + name;
    strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (connect(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        ADD_FAILURE() << "connect " << path << ": " << strerror(errno);
    return fd;
}

std::vector<uint8_t> receive_record(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 10000) != 1)
        return {};
    std::vector<uint8_t> record(128 * 1024);
    ssize_t n = recv(fd, record.data(), record.size(), 0);
    record.resize(n > 0 ? size_t(n) : 0);
    return record;
}

int32_t reply_status(const std::vector<uint8_t> &reply) {
    if (reply.size() < 4)
        return -1;
    return int32_t(uint32_t(reply[0]) | uint32_t(reply[1]) << 8 | uint32_t(reply[2]) << 16 |
                   uint32_t(reply[3]) << 24);
}

}  // namespace events_test
