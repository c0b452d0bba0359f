// Message channels: a SOCK_SEQPACKET Unix socket per channel. A client sends one request record
// and reads one reply record, which begins with a 4-byte little-endian status: 0 followed by the
// message, or a positive errno value alone. Each client connection is named by a reply id.
#include <endian.h>
#include <errno.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "evm_internal.h"
#include "platform/env.h"
#include "platform_log.h"

namespace platform::detail {
namespace {

struct Conn {
    Fd fd;
    std::atomic<uint64_t> length{0};    // of the last request received
    uid_t uid = uid_t(-1);              // of the peer, at connect
    std::atomic<int64_t> active_ms{0};  // when it connected or last sent a request
};

// Connections a uid may keep however long they stay idle; beyond them, its connections that have
// been idle for IDLE_MS are closed as others arrive.
constexpr size_t KEEP_PER_UID = 8;
constexpr int64_t IDLE_MS = 2000;
// Descriptors the channel leaves to the rest of the process (zone files, the catalogue's scan,
// the platform's connections), whatever the number of clients.
constexpr size_t RESERVED_FDS = 64;

int64_t mono_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Reply ids of all channels of the process: the slot in the low 16 bits, the slot's generation
// above them. A slot's generation moves on when its connection closes, so the id of a client
// that has gone never names the next client in that slot, whatever descriptor it gets.
class ConnTable {
  public:
    // The new connection's reply id, or 0 when the table is full.
    int32_t add(std::shared_ptr<Conn> conn) {
        std::lock_guard lock(mu_);
        uint32_t slot;
        if (!free_.empty()) {
            slot = free_.back();
            free_.pop_back();
        } else if (slots_.size() < kSlots) {
            slot = uint32_t(slots_.size());
            slots_.emplace_back();
        } else {
            return 0;
        }
        slots_[slot].conn = std::move(conn);
        return int32_t(slots_[slot].gen << 16 | slot);
    }

    std::shared_ptr<Conn> find(int32_t id) {
        if (id <= 0)
            return nullptr;
        uint32_t slot = uint32_t(id) & 0xFFFF;
        std::lock_guard lock(mu_);
        if (slot >= slots_.size() || slots_[slot].gen != uint32_t(id) >> 16)
            return nullptr;
        return slots_[slot].conn;
    }

    void remove(int32_t id) {
        std::shared_ptr<Conn> gone;  // its descriptor closes outside the lock
        uint32_t slot = uint32_t(id) & 0xFFFF;
        std::lock_guard lock(mu_);
        if (id <= 0 || slot >= slots_.size() || slots_[slot].gen != uint32_t(id) >> 16)
            return;
        gone = std::move(slots_[slot].conn);
        slots_[slot].gen = slots_[slot].gen % kMaxGen + 1;
        free_.push_back(slot);
    }

  private:
    static constexpr uint32_t kSlots = 1 << 16;
    static constexpr uint32_t kMaxGen = 0x7FFF;  // keeps ids positive
    struct Slot {
        uint32_t gen = 1;
        std::shared_ptr<Conn> conn;
    };
    std::mutex mu_;
    std::vector<Slot> slots_;
    std::vector<uint32_t> free_;
};

ConnTable &conns() {
    static ConnTable *t = new ConnTable;  // never destroyed: detached loops may outlive exit
    return *t;
}

// One reply record, written at once: the status, then the data. Never blocks: a client that does
// not read its replies loses them rather than holding up the loop.
bool send_reply(int fd, int32_t status, const void *data, size_t len) {
    uint32_t word = htole32(uint32_t(status));
    iovec iov[2] = {{&word, sizeof word}, {const_cast<void *>(data), len}};
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = len ? 2 : 1;
    ssize_t n = sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n == ssize_t(sizeof word + len))
        return true;
    if (n >= 0)
        errno = EMSGSIZE;
    return false;
}

// True when PATH is a socket on which no server answers any more.
bool stale_socket(const std::string &path, const sockaddr_un &addr) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode))
        return false;
    Fd probe(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!probe)
        return false;
    return connect(probe.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0 &&
           errno == ECONNREFUSED;
}

}  // namespace

std::unique_ptr<Channel> Channel::open(const char *name, int epoll_fd) {
    // Whoever made the runtime directory could take the channel's name from under it.
    if (!rundir_problem().empty()) {
        vk_syslog(LOG_ERR, "message channel %s: refusing the runtime directory: %s", name,
                  rundir_problem().c_str());
        errno = EPERM;
        return nullptr;
    }
    std::string path = env().rundir;
    if (name[0] != '/')
        path += '/';
    path += name;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    auto slash = path.rfind('/');
    errno = 0;
    if (slash > 0 && !make_dirs(path.substr(0, slash))) {
        if (errno == 0)
            errno = ENOTDIR;
        return nullptr;
    }

    std::unique_ptr<Channel> ch(new Channel);
    ch->epoll_ = epoll_fd;
    rlimit lim{};
    size_t fds = getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY
                     ? size_t(lim.rlim_cur)
                     : size_t(1) << 20;
    ch->max_conns_ = std::max<size_t>(fds > 2 * RESERVED_FDS ? fds - RESERVED_FDS : fds / 2, 8);
    ch->listener_.reset(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!ch->listener_)
        return nullptr;
    // The socket file gets this mode less the umask at bind, so it appears private whatever the
    // umask (changing the umask instead would race with the process's other threads), and is
    // opened to every user below, once it listens.
    if (fchmod(ch->listener_.get(), 0600) != 0)
        return nullptr;
    auto bind_path = [&] {
        return bind(ch->listener_.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
    };
    if (bind_path() != 0) {
        // A socket left by a server that is gone is replaced; a live one is not taken over.
        if (errno != EADDRINUSE)
            return nullptr;
        if (!stale_socket(path, addr)) {
            errno = EADDRINUSE;
            return nullptr;
        }
        if ((unlink(path.c_str()) != 0 && errno != ENOENT) || bind_path() != 0)
            return nullptr;
    }
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        ch->path_ = path;
        ch->dev_ = st.st_dev;
        ch->ino_ = st.st_ino;
    }
    // Every user may query: 0666 is what the channel must be.
    if (ch->path_.empty() || listen(ch->listener_.get(), SOMAXCONN) != 0 ||
        chmod(path.c_str(), 0666) != 0)
        return nullptr;
    return ch;
}

Channel::~Channel() {
    for (int32_t id : conns_)
        conns().remove(id);
    // Remove the socket file, unless another server has bound the path since.
    struct stat st;
    if (!path_.empty() && lstat(path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_)
        unlink(path_.c_str());
}

bool Channel::start() {
    if (started_.exchange(true))
        return true;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = epoll_key(Tag::listener, 0);
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, listener_.get(), &ev) == 0)
        return true;
    started_ = false;
    return false;
}

void Channel::set_listening(bool on) {
    epoll_event ev{};
    ev.events = on ? uint32_t(EPOLLIN) : 0;
    ev.data.u64 = epoll_key(Tag::listener, 0);
    if (epoll_ctl(epoll_, EPOLL_CTL_MOD, listener_.get(), &ev) == 0)
        paused_ = !on;
}

void Channel::accept_all() {
    for (;;) {
        Fd fd(accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            // Out of descriptors: the listen queue keeps the client until a connection closes.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                set_listening(false);
            return;
        }
        int raw = fd.get();
        ucred cred{};
        socklen_t cred_len = sizeof cred;
        uid_t uid =
            getsockopt(raw, SOL_SOCKET, SO_PEERCRED, &cred, &cred_len) == 0 ? cred.uid : uid_t(-1);
        if (!make_room(uid))
            continue;  // the client sees its connection closed
        // Room for a few whole replies, wherever the system default is smaller.
        int sndbuf = 4 * int(kMaxRequest + sizeof(int32_t));
        setsockopt(raw, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
        auto conn = std::make_shared<Conn>();
        conn->fd = std::move(fd);
        conn->uid = uid;
        conn->active_ms = mono_ms();
        int32_t id = conns().add(std::move(conn));
        if (id == 0)
            continue;  // no reply id left: the client sees its connection closed
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLRDHUP;
        ev.data.u64 = epoll_key(Tag::conn, uint32_t(id));
        if (epoll_ctl(epoll_, EPOLL_CTL_ADD, raw, &ev) != 0) {
            conns().remove(id);
            continue;
        }
        conns_.insert(id);
    }
}

// Before a connection of UID is taken: closes the idle connections of every uid beyond the ones
// it may keep, and at the descriptor limit the longest idle one of the uid that holds the most,
// when that uid holds more than UID would then. False when there is no room for UID.
bool Channel::make_room(uid_t uid) {
    int64_t now = mono_ms();
    struct Held {
        int64_t active;
        int32_t id;
        int fd;
    };
    std::map<uid_t, std::vector<Held>> by_uid;
    for (int32_t id : conns_)
        if (auto c = conns().find(id))
            by_uid[c->uid].push_back({c->active_ms.load(), id, c->fd.get()});
    for (auto &[who, held] : by_uid) {
        if (held.size() <= KEEP_PER_UID)
            continue;
        std::sort(held.begin(), held.end(), [](auto &a, auto &b) { return a.active < b.active; });
        size_t extra = held.size() - KEEP_PER_UID, closed = 0;
        while (closed < extra && now - held[closed].active >= IDLE_MS) {
            close_conn(held[closed].id, held[closed].fd);
            ++closed;
        }
        held.erase(held.begin(), held.begin() + long(closed));
    }
    if (conns_.size() < max_conns_)
        return true;
    std::vector<Held> *most = nullptr;
    for (auto &[who, held] : by_uid)
        if (!most || held.size() > most->size())
            most = &held;
    size_t mine = by_uid.count(uid) ? by_uid[uid].size() : 0;
    if (!most || most->empty() || most->size() <= mine + 1)
        return false;
    close_conn(most->front().id, most->front().fd);
    return true;
}

void Channel::close_conn(int32_t id, int fd) {
    epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
    conns().remove(id);
    conns_.erase(id);
    if (paused_)
        set_listening(true);
}

bool Channel::receive(int32_t id, uint32_t events, void *buf, size_t cap) {
    auto conn = conns().find(id);
    if (!conn)
        return false;  // closed since epoll reported it
    int fd = conn->fd.get();
    // The record's length, without taking it: a record that does not fit is dropped whole.
    ssize_t len = recv(fd, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
    if (len < 0) {
        if (errno != EAGAIN && errno != EINTR)
            close_conn(id, fd);
        return false;
    }
    if (len == 0) {
        // End of file once the client has hung up; otherwise an empty record.
        if (events & (EPOLLHUP | EPOLLRDHUP | EPOLLERR)) {
            close_conn(id, fd);
            return false;
        }
        recv(fd, nullptr, 0, MSG_DONTWAIT);
        send_reply(fd, EBADMSG, nullptr, 0);
        return false;
    }
    if (size_t(len) > cap) {
        recv(fd, nullptr, 0, MSG_TRUNC | MSG_DONTWAIT);
        send_reply(fd, EMSGSIZE, nullptr, 0);
        return false;
    }
    if (recv(fd, buf, size_t(len), MSG_DONTWAIT) != len) {
        close_conn(id, fd);
        return false;
    }
    conn->length = uint64_t(len);
    conn->active_ms = mono_ms();
    return true;
}

}  // namespace platform::detail

using namespace platform::detail;

extern "C" int event_message_attach(evm_handle_t handle, const void *, event_msg_handler_t handler,
                                    void *user) {
    auto m = find_manager(handle);
    if (!m) {
        errno = EBADF;
        return -1;
    }
    if (!handler || !m->channel) {
        errno = EINVAL;
        return -1;
    }
    {
        std::lock_guard lock(m->mu);
        m->on_message = handler;
        m->msg_user = user;
    }
    return m->channel->start() ? 0 : -1;
}

extern "C" int msg_get_clinfo_m_msglen(int32_t reply_id, uint64_t *length) {
    auto conn = conns().find(reply_id);
    if (!conn) {
        errno = ENOENT;
        return -1;
    }
    if (length)
        *length = conn->length;
    return 0;
}

namespace {

// Sends one reply record to the client named by REPLY_ID.
int reply_to(int32_t reply_id, int32_t status, const void *buffer, size_t length) {
    auto conn = conns().find(reply_id);
    if (!conn) {
        errno = ENOENT;
        return -1;
    }
    return send_reply(conn->fd.get(), status, buffer, length) ? 0 : -1;
}

}  // namespace

extern "C" int msg_reply(int32_t reply_id, int32_t, const void *buffer, size_t length) {
    if (!buffer && length) {
        errno = EINVAL;
        return -1;
    }
    return reply_to(reply_id, 0, buffer, length);
}

extern "C" int msg_error(int32_t reply_id, int32_t error) {
    if (error <= 0) {
        errno = EINVAL;
        return -1;
    }
    return reply_to(reply_id, error, nullptr, 0);
}
