// platformd's connection server: one thread, one epoll loop over the listening socket, the
// clients, a 100 ms tick and the termination signals.
//
// How daemon modules use it
// -------------------------
// - Frames: every frame of a client goes, after the header checks, to the handler registered for
//   its type with handle(); types 0x100..0x1FF go to cfgdb_frame (cfgdb.h). Before a client has
//   said HELLO only HELLO and PING are accepted. A type nobody handles is answered ENOSYS.
// - Replies: reply(client, request, status, message, body) answers a request with a T_REPLY of
//   the request's seq. send() sends any frame; push() sends a frame the daemon originates (seq 0).
//   Sending never blocks: frames wait in the client's queue while its socket is full. A client
//   with more than READ_PAUSE_BYTES queued is not read until it drains, so one that sends without
//   reading stops making replies. A client whose queue would pass its share is taken as hung and
//   dropped: MAX_QUEUE_BYTES of its own, UID_QUEUE_BYTES for all clients of an unprivileged uid,
//   SHARED_QUEUE_BYTES for all unprivileged clients, TOTAL_QUEUE_BYTES for everyone (the rest is
//   the privileged clients' room). A queued frame costs its size plus FRAME_COST.
// - Clients: client(id) looks one up (null when gone); for_each_client() visits them. A client
//   stays valid (the pointer too) until the end of the loop iteration in which it was dropped;
//   the drop hooks (on_client_gone, cfgdb_client_gone) run then, before it is freed. Check
//   Client::closing before sending to a client you kept an id of.
// - Time: on_tick() functions run about every 100 ms; now_ms() is a monotonic clock.
// - Faults (test hooks of `platformctl fault NAME ARGS...`): add_fault() with a name, a usage
//   text, a set handler, a clear handler and a state text; `fault clear` clears all of them.
// - Status: on_status() functions add lines to `platformctl status`.
// - Access: reading is for everyone; a handler of a request that changes the router (commits,
//   verifier registrations, the role, faults) first calls allowed(client, request, what), which
//   answers a refused request with EPERM itself. Allowed are root and the owner of the directory
//   that holds the socket, the uid platformd found owning it when it took the socket; they are
//   the privileged clients (privileged()).
// - Quotas: an unprivileged uid holds at most UID_CONNECTIONS connections, and all of them
//   together leave RESERVED_CONNECTIONS of MAX_CLIENTS to the privileged ones. A connection that
//   has not said HELLO within HELLO_DEADLINE_MS is dropped.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/proto.h"

namespace platformd {

namespace proto = platform::proto;

struct Client {
    uint64_t id = 0;  // unique for the life of the daemon, never 0
    int fd = -1;
    // From HELLO; card stays -1 and program empty until then.
    bool hello = false;
    int card = -1;
    pid_t pid = 0;
    std::string program;
    bool observer = false;  // a tool such as platformctl: it does not make its card exist
    // Peer credentials from SO_PEERCRED at accept (those of the process that connected, as they
    // were when it connected), for access checks. peer_known is false when they could not be read;
    // such a client may only read.
    bool peer_known = false;
    pid_t peer_pid = 0;
    uid_t peer_uid = uid_t(-1);
    gid_t peer_gid = gid_t(-1);
    int64_t connected_ms = 0;
    // Role-event registration (mask of event values; 0 = not registered).
    uint32_t lr_mask = 0;
    // Set once the client is being dropped: nothing more is sent to it or read from it.
    bool closing = false;
    std::string close_reason;
    // State a module keeps per client; destroyed with the client, after the drop hooks.
    std::shared_ptr<void> cfg_state;

    // Outgoing frames waiting for room in the socket.
    std::vector<std::vector<uint8_t>> outq;
    size_t outq_head = 0;
    size_t outq_bytes = 0;     // what the queued frames cost (see Server::FRAME_COST)
    bool read_paused = false;  // too much queued: not read until it drains
    bool privileged = false;   // root or the socket directory's owner

    // "card 1 pid 42 tzd" for logs and status.
    std::string describe() const;
};

// A request answered once something else has answered (etcd): the client's id and the request's
// head, since the client may be gone by then.
struct Later {
    uint64_t client = 0;
    proto::Frame request;  // type and seq only
};

struct Fault {
    std::string name;   // e.g. "lrd-fail"; cfgdb adds "cfg-..."
    std::string usage;  // arguments, e.g. "SECONDS"
    std::string help;   // one line
    // Arms the fault with ARGS; returns 0 (MESSAGE says what is now in force) or an errno value
    // (MESSAGE says why).
    std::function<uint32_t(const std::vector<std::string> &args, std::string &message)> set;
    std::function<void()> clear;
    // Empty while inactive, else what is in force ("answers fail for 12 more seconds").
    std::function<std::string()> state;
};

struct Options {
    std::string socket_path;
    // Everyone may connect: reading (role, status, items) and registering for events are open to
    // all, and every request that changes something is checked against the peer's credentials,
    // not against the socket's mode.
    unsigned socket_mode = 0666;
};

class Server {
  public:
    using FrameHandler = std::function<void(Client &, const proto::Frame &)>;

    static constexpr size_t MAX_QUEUE_BYTES = 4 * 1024 * 1024;
    static constexpr size_t READ_PAUSE_BYTES = 256 * 1024;
    static constexpr size_t UID_QUEUE_BYTES = 8 * 1024 * 1024;
    static constexpr size_t SHARED_QUEUE_BYTES = 24 * 1024 * 1024;
    static constexpr size_t TOTAL_QUEUE_BYTES = 40 * 1024 * 1024;
    // Allocator and bookkeeping overhead of one queued frame, beyond its bytes.
    static constexpr size_t FRAME_COST = 96;
    static constexpr size_t MAX_CLIENTS = 1000;
    static constexpr size_t RESERVED_CONNECTIONS = 100;
    static constexpr size_t UID_CONNECTIONS = 64;
    static constexpr int64_t HELLO_DEADLINE_MS = 5000;
    static constexpr int TICK_MS = 100;

    explicit Server(Options opts);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Takes the socket: creates its directory, refuses when another platformd holds it, replaces
    // a stale one. False with a reason in ERROR.
    bool listen(std::string &error);
    // Serves until stop() or SIGTERM/SIGINT; returns 0, or 1 on a failure of the loop itself.
    int run();
    void stop() { running_ = false; }
    const Options &options() const { return opts_; }

    // ---- access ----
    // The directory that holds the socket and its owner, as found by listen().
    const std::string &admin_dir() const { return admin_dir_; }
    uid_t admin_uid() const { return admin_uid_; }
    // True when C may change the router: root, or the owner of admin_dir(). Otherwise answers
    // REQUEST with EPERM, "permission denied: only root or the owner of DIR may WHAT", and logs it.
    bool allowed(Client &c, const proto::Frame &request, const std::string &what);
    // Root or the owner of admin_dir(), by the peer credentials.
    bool privileged(const Client &c) const {
        return c.peer_known && (c.peer_uid == 0 || c.peer_uid == admin_uid_);
    }

    // ---- frames ----
    void handle(uint16_t type, FrameHandler fn);
    // Answers REQUEST with status, message and BODY (appended after the reply head).
    void reply(Client &c, const proto::Frame &request, uint32_t status,
               const std::string &message = {}, const proto::Writer *body = nullptr);
    void reply(Client &c, const proto::Frame &request, uint32_t status, const std::string &message,
               const proto::Writer &body) {
        reply(c, request, status, message, &body);
    }
    // Queues a frame; false when the client is gone or closing, or the payload is too large.
    bool send(Client &c, uint16_t type, uint32_t seq, const std::vector<uint8_t> &payload);
    bool send(uint64_t client_id, uint16_t type, uint32_t seq, const std::vector<uint8_t> &payload);
    bool push(Client &c, uint16_t type, const proto::Writer &w) {
        return send(c, type, 0, w.data());
    }

    // Keeps what answering REQUEST of C later takes.
    static Later later(const Client &c, const proto::Frame &request);
    // Answers L's request like reply() when its client is still there and not closing; the client
    // (null when gone) for a caller that answers otherwise.
    Client *reply(const Later &l, uint32_t status, const std::string &message = {},
                  const proto::Writer *body = nullptr);
    Client *reply(const Later &l, uint32_t status, const std::string &message,
                  const proto::Writer &body) {
        return reply(l, status, message, &body);
    }

    // ---- clients ----
    Client *client(uint64_t id);
    // L's client when it is still there and not closing, else null.
    Client *client(const Later &l);
    void for_each_client(const std::function<void(Client &)> &fn);
    size_t client_count() const { return clients_.size(); }
    // Closes the client at the end of this loop iteration; REASON goes to the log.
    void drop(Client &c, const std::string &reason);
    // Called for every client that is dropped or hangs up (after it said HELLO or not).
    void on_client_gone(std::function<void(Client &)> fn) { gone_.push_back(std::move(fn)); }
    // Called once a client's HELLO was accepted.
    void on_hello(std::function<void(Client &)> fn) { hello_.push_back(std::move(fn)); }

    // FN runs on the loop's thread whenever FD is readable (an eventfd of another component).
    bool watch_fd(int fd, std::function<void()> fn);

    // ---- time ----
    void on_tick(std::function<void()> fn) { ticks_.push_back(std::move(fn)); }
    static int64_t now_ms();

    // ---- faults and status ----
    void add_fault(Fault f);
    const std::map<std::string, Fault> &faults() const { return faults_; }
    void on_status(std::function<void(std::vector<std::string> &)> fn) {
        status_.push_back(std::move(fn));
    }

    // A log line on standard error: "platformd: " + text.
    static void log(const std::string &text);

  private:
    void accept_clients();
    void read_client(Client &c);
    void flush(Client &c);
    void dispatch(Client &c, const proto::Frame &f);
    void on_hello_frame(Client &c, const proto::Frame &f);
    void on_status_frame(Client &c, const proto::Frame &f);
    void on_fault_frame(Client &c, const proto::Frame &f);
    void reap();
    void update_epoll(Client &c);
    void send_raw_and_drop(Client &c, uint32_t seq, uint32_t status, const std::string &msg,
                           const std::string &reason);
    bool admit(const Client &c);
    void expire_silent();
    void dequeue(Client &c, size_t cost);

    // What the clients of one uid hold.
    struct UidUse {
        size_t connections = 0;
        size_t queued = 0;
    };

    Options opts_;
    int listen_fd_ = -1;
    int lock_fd_ = -1;
    int epoll_fd_ = -1;
    int timer_fd_ = -1;
    int signal_fd_ = -1;
    bool running_ = false;
    bool owns_socket_ = false;
    std::string admin_dir_;
    uid_t admin_uid_ = 0;
    uint64_t next_id_ = 16;  // below: the loop's own descriptors
    std::map<uint64_t, std::unique_ptr<Client>> clients_;
    std::vector<uint64_t> dropped_;
    std::map<uint16_t, FrameHandler> handlers_;
    std::vector<std::function<void(Client &)>> gone_;
    std::vector<std::function<void(Client &)>> hello_;
    std::vector<std::function<void()>> ticks_;
    std::vector<std::function<void(std::vector<std::string> &)>> status_;
    std::map<std::string, Fault> faults_;
    std::map<uint64_t, std::function<void()>> watched_;  // epoll id -> reader
    std::vector<uint8_t> rbuf_;
    std::map<uid_t, UidUse> uid_use_;  // unprivileged uids only
    size_t shared_connections_ = 0;    // of unprivileged clients
    size_t shared_queued_ = 0;         // of unprivileged clients
    size_t total_queued_ = 0;
    size_t freed_since_trim_ = 0;
    int64_t refused_logged_ms_ = 0;
    size_t refused_unlogged_ = 0;
};

}  // namespace platformd
