// Test support: a loop on a thread of its own, channel clients, bounded waits.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/fd.h"
#include "platform_events.h"

namespace events_test {

constexpr size_t kMsg = 74216;

// The private runtime directory of this test process.
const std::string &rundir();

// Polls PRED until it holds or ten seconds have passed.
bool wait_for(const std::function<bool()> &pred);

// An event manager created and run by a thread of its own, until the manager is destroyed.
// With a channel, HANDLER(ctx) serves its messages.
class Loop {
  public:
    using Handler = std::function<int(event_context *)>;
    explicit Loop(const char *channel = nullptr, Handler handler = nullptr,
                  size_t buffer_size = kMsg);
    ~Loop() { stop(); }
    void stop();
    // Runs FN on the loop's thread, inside a dispatch, and waits for it.
    bool run(const std::function<void()> &fn);

    evm_handle_t evm = nullptr;
    int create_errno = 0;
    int end_errno = 0;
    pid_t tid = 0;
    std::vector<uint8_t> buffer;

  private:
    Handler handler_;
    std::thread thread_;
};

// A client of a channel.
platform::Fd connect_channel(const std::string &name);
// The next record from FD (at most 128 KiB), or an empty vector after ten seconds or on EOF.
std::vector<uint8_t> receive_record(int fd);
// The status word at the start of a reply, or -1 when it is shorter.
int32_t reply_status(const std::vector<uint8_t> &reply);

}  // namespace events_test
