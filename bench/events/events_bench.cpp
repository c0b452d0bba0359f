// Channel round trips (request in, whole-buffer reply out) and posted work through a loop.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/evm_source.h"
#include "platform/fd.h"
#include "platform_events.h"

namespace {

constexpr size_t kMsg = 74216;
const char *const kChannel = "/dev/bench_chan";

// A loop with an echo channel, on a thread of its own.
struct Server {
    Server() {
        char tmpl[] = "/tmp/events-bench-XXXXXX";
        dir = mkdtemp(tmpl);
        setenv("PLATFORM_RUNDIR", dir.c_str(), 1);
        std::promise<void> ready;
        thread = std::thread([&] {
            evm = event_manager_create(0, kChannel, 6, nullptr);
            event_message_attach(
                evm, nullptr,
                [](event_context *ctx, void *) {
                    return msg_reply(ctx->reply_id, 0, ctx->buffer, kMsg);
                },
                nullptr);
            std::vector<uint8_t> buffer(kMsg);
            event_context ctx{};
            ctx.evm = evm;
            ctx.buffer = buffer.data();
            ctx.buffer_size = buffer.size();
            ready.set_value();
            while (event_block(&ctx) != -1)
                vk_event_dispatch(&ctx, 0);
        });
        ready.get_future().wait();
    }
    ~Server() {
        evm_handle_t handle = evm;
        event_manager_destroy(&handle);
        thread.join();
        std::filesystem::remove_all(dir);
    }
    std::string dir;
    evm_handle_t evm = nullptr;
    std::thread thread;
};

Server &server() {
    static Server s;
    return s;
}

void BM_ChannelRoundTrip(benchmark::State &state) {
    platform::Fd fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, (server().dir + kChannel).c_str(), sizeof addr.sun_path - 1);
    if (connect(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        state.SkipWithError("connect failed");
        return;
    }
    std::vector<uint8_t> request(size_t(state.range(0)), 1), reply(kMsg + 4);
    for (auto _ : state) {
        send(fd.get(), request.data(), request.size(), 0);
        if (recv(fd.get(), reply.data(), reply.size(), 0) != ssize_t(reply.size())) {
            state.SkipWithError("short reply");
            break;
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(request.size() + reply.size()));
}
BENCHMARK(BM_ChannelRoundTrip)->Arg(16)->Arg(kMsg);

void BM_PostRoundTrip(benchmark::State &state) {
    std::atomic<uint64_t> done{0};
    uint64_t sent = 0;
    for (auto _ : state) {
        platform::evm_post(server().evm, [&](event_context *) { done.fetch_add(1); });
        ++sent;
        while (done.load() != sent)
            ;
    }
}
BENCHMARK(BM_PostRoundTrip);

}  // namespace

BENCHMARK_MAIN();
