// Inside the event manager: what the loop, the message channels and the timers share.
#pragma once

#include <sys/epoll.h>
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/evm_source.h"
#include "platform/fd.h"
#include "platform_events.h"

namespace platform::detail {

// The largest request record a channel takes.
constexpr size_t kMaxRequest = 74216;

// What an epoll entry stands for: the kind in the top byte, an id below it.
enum class Tag : uint64_t { wake = 1, signal, listener, conn, source };
constexpr uint64_t epoll_key(Tag tag, uint64_t id) {
    return uint64_t(tag) << 56 | id;
}
constexpr Tag key_tag(uint64_t key) {
    return Tag(key >> 56);
}
constexpr uint64_t key_id(uint64_t key) {
    return key & ((uint64_t(1) << 56) - 1);
}

pid_t this_thread_id();

// A descriptor watched for another platform component. Shared by the manager, the event being
// dispatched and a thread that removes it, so none of them outlives the others' use.
struct Source {
    uint64_t id = 0;
    FdHandler on_ready;
    std::mutex mu;
    std::condition_variable idle;
    Fd fd;                 // guarded by mu
    bool removed = false;  // guarded by mu
    bool running = false;  // guarded by mu: the owner thread is inside on_ready
};

// A message channel: the listening socket and the connections of its clients. Used by the
// manager's owner thread, except start().
class Channel {
  public:
    // Binds the channel NAME below the runtime directory; null with errno set on failure.
    static std::unique_ptr<Channel> open(const char *name, int epoll_fd);
    ~Channel();
    Channel(const Channel &) = delete;
    Channel &operator=(const Channel &) = delete;

    // Starts taking connections. Until then clients wait in the listen queue.
    bool start();
    // Takes every connection waiting.
    void accept_all();
    // Reads the next request of connection REPLY_ID into BUF, which holds CAP bytes. True when a
    // request is there; false when there was none, it was refused (and answered with an error)
    // or the connection is closed.
    bool receive(int32_t reply_id, uint32_t events, void *buf, size_t cap);

  private:
    Channel() = default;
    void close_conn(int32_t reply_id, int fd);
    void set_listening(bool on);
    bool make_room(uid_t uid);

    Fd listener_;
    std::string path_;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    int epoll_ = -1;
    std::atomic<bool> started_{false};
    bool paused_ = false;  // out of descriptors: accepting again once a connection closes
    std::unordered_set<int32_t> conns_;
    size_t max_conns_ = 0;  // what the descriptor limit allows, less the reserve
};

// What event_block recorded for vk_event_dispatch.
struct Pending {
    enum class Kind { none, message, timer, source, posts } kind = Kind::none;
    event_msg_handler_t on_message = nullptr;
    void *user = nullptr;
    uint64_t cookie = 0;
    std::shared_ptr<Source> source;
    std::vector<Posted> posts;
};

struct Manager {
    uint64_t id = 0;
    pid_t owner = 0;
    Fd epoll;
    Fd wake;     // eventfd: posted functions, destruction
    Fd signals;  // signalfd: timer expiries; SIGTERM and SIGINT for the main thread's manager
    std::unique_ptr<Channel> channel;  // declared after epoll: closes its connections first
    std::atomic<bool> destroyed{false};
    std::atomic<bool> stopped{false};  // SIGTERM or SIGINT arrived; the loop ends

    std::mutex mu;
    std::unordered_map<uint64_t, std::shared_ptr<Source>> sources;  // guarded by mu
    std::vector<Posted> posted;                                     // guarded by mu
    event_msg_handler_t on_message = nullptr;                       // guarded by mu
    void *msg_user = nullptr;                                       // guarded by mu

    // Owner thread only: the last epoll batch and the event recorded for dispatch.
    static constexpr int kBatch = 32;
    epoll_event ready[kBatch];
    int nready = 0;
    int next = 0;
    Pending pending;

    ~Manager();
};

// The live manager HANDLE names, or null.
std::shared_ptr<Manager> find_manager(evm_handle_t handle);

}  // namespace platform::detail
