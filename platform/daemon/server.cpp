#include "server.h"

#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "cfgdb.h"
#include "platform/env.h"

namespace platformd {
namespace {

constexpr uint64_t ID_LISTEN = 1;
constexpr uint64_t ID_TIMER = 2;
constexpr uint64_t ID_SIGNAL = 3;
constexpr uint64_t ID_WATCHED = uint64_t(1) << 62;  // and up: descriptors given to watch_fd()
// Frames read from one client per wake-up, so one busy client cannot starve the others.
constexpr int READS_PER_WAKEUP = 32;

std::string errno_text(const char *what) {
    return std::string(what) + ": " + strerror(errno);
}

std::string parent_dir(const std::string &path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string Client::describe() const {
    std::string s = "client " + std::to_string(id);
    if (hello)
        s += " (card " + std::to_string(card) + " pid " + std::to_string(pid) + " " + program + ")";
    else
        s += " (peer pid " + std::to_string(peer_pid) + ")";
    return s;
}

Server::Server(Options opts) : opts_(std::move(opts)) {}

Server::~Server() {
    for (auto &[id, c] : clients_)
        if (c->fd >= 0)
            close(c->fd);
    for (int fd : {listen_fd_, epoll_fd_, timer_fd_, signal_fd_})
        if (fd >= 0)
            close(fd);
    if (owns_socket_)
        unlink(opts_.socket_path.c_str());
    if (lock_fd_ >= 0)
        close(lock_fd_);
}

void Server::log(const std::string &text) {
    std::string line = "platformd: " + text + "\n";
    ssize_t n = write(STDERR_FILENO, line.data(), line.size());
    (void)n;
}

int64_t Server::now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool Server::listen(std::string &error) {
    const std::string &path = opts_.socket_path;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(addr.sun_path)) {
        error = "socket path is empty or too long: '" + path + "'";
        return false;
    }
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);

    // Its owner gets change rights, so the directory must not be one that another user could
    // have made (a per-user default below /tmp, made first by someone else).
    std::string dir = parent_dir(path);
    uid_t owner = 0;
    if (std::string why = platform::own_dir(dir, 0755, &owner); !why.empty()) {
        error = "refusing the socket's directory: " + why;
        return false;
    }
    admin_dir_ = dir;
    admin_uid_ = owner;

    // One daemon per socket: the lock beside it settles a race between two starting daemons.
    // Only its owner may open it, or anyone could hold the lock and keep platformd from starting.
    std::string lock_path = path + ".lock";
    lock_fd_ = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lock_fd_ < 0) {
        error = "cannot open " + lock_path + ": " + strerror(errno);
        return false;
    }
    fchmod(lock_fd_, 0600);
    if (flock(lock_fd_, LOCK_EX | LOCK_NB) != 0) {
        error = "another platformd is serving " + path;
        return false;
    }

    struct stat st;
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            error = path + " exists and is not a socket; not replacing it";
            return false;
        }
        // A socket someone still answers on is live: never take it over.
        int probe = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (probe >= 0) {
            int r = connect(probe, reinterpret_cast<sockaddr *>(&addr), sizeof(addr));
            int e = errno;
            close(probe);
            if (r == 0 || e == EAGAIN) {
                error = "another process is listening on " + path;
                return false;
            }
        }
        if (unlink(path.c_str()) != 0 && errno != ENOENT) {
            error = "cannot remove stale socket " + path + ": " + strerror(errno);
            return false;
        }
        log("replaced stale socket " + path);
    }

    // Bound and listening under a temporary name first, then renamed into place: whoever sees
    // the socket can connect to it.
    std::string tmp = path + ".new";
    sockaddr_un tmp_addr{};
    tmp_addr.sun_family = AF_UNIX;
    if (tmp.size() >= sizeof(tmp_addr.sun_path)) {
        error = "socket path is too long: '" + path + "'";
        return false;
    }
    memcpy(tmp_addr.sun_path, tmp.c_str(), tmp.size() + 1);
    unlink(tmp.c_str());
    listen_fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) {
        error = errno_text("socket");
        return false;
    }
    // The socket file takes this mode less the umask at bind: whatever the umask, it appears
    // private and is opened up by the chmod below, never the other way round.
    if (fchmod(listen_fd_, 0600) != 0) {
        error = errno_text("fchmod of the socket");
        return false;
    }
    if (bind(listen_fd_, reinterpret_cast<sockaddr *>(&tmp_addr), sizeof(tmp_addr)) != 0) {
        error = "cannot bind " + tmp + ": " + strerror(errno);
        return false;
    }
    if (chmod(tmp.c_str(), opts_.socket_mode) != 0 || ::listen(listen_fd_, 128) != 0 ||
        rename(tmp.c_str(), path.c_str()) != 0) {
        error = "cannot set up " + path + ": " + strerror(errno);
        unlink(tmp.c_str());
        return false;
    }
    owns_socket_ = true;

    epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
    timer_fd_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGHUP);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    signal_fd_ = signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC);
    if (epoll_fd_ < 0 || timer_fd_ < 0 || signal_fd_ < 0) {
        error = errno_text("event loop set-up");
        return false;
    }
    itimerspec its{};
    its.it_interval.tv_nsec = TICK_MS * 1000000L;
    its.it_value = its.it_interval;
    timerfd_settime(timer_fd_, 0, &its, nullptr);

    auto add = [&](int fd, uint64_t id) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = id;
        return epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev) == 0;
    };
    if (!add(listen_fd_, ID_LISTEN) || !add(timer_fd_, ID_TIMER) || !add(signal_fd_, ID_SIGNAL)) {
        error = errno_text("epoll_ctl");
        return false;
    }
    handle(proto::T_PING, [this](Client &c, const proto::Frame &f) { reply(c, f, 0); });
    handle(proto::T_CTL_STATUS,
           [this](Client &c, const proto::Frame &f) { on_status_frame(c, f); });
    handle(proto::T_CTL_FAULT, [this](Client &c, const proto::Frame &f) { on_fault_frame(c, f); });
    rbuf_.resize(proto::MAX_FRAME + 1);
    return true;
}

int Server::run() {
    running_ = true;
    epoll_event events[64];
    while (running_) {
        int n = epoll_wait(epoll_fd_, events, 64, -1);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            log(errno_text("epoll_wait"));
            return 1;
        }
        for (int i = 0; i < n; ++i) {
            uint64_t id = events[i].data.u64;
            if (id == ID_LISTEN) {
                accept_clients();
            } else if (id == ID_TIMER) {
                uint64_t expirations;
                while (read(timer_fd_, &expirations, sizeof(expirations)) > 0) {
                }
                expire_silent();
                for (auto &fn : ticks_)
                    fn();
                cfgdb_tick(*this);
            } else if (id >= ID_WATCHED) {
                if (auto w = watched_.find(id); w != watched_.end())
                    w->second();
            } else if (id == ID_SIGNAL) {
                signalfd_siginfo si;
                while (read(signal_fd_, &si, sizeof(si)) == sizeof(si)) {
                    if (si.ssi_signo == SIGTERM || si.ssi_signo == SIGINT) {
                        log(std::string("stopping on ") + strsignal(int(si.ssi_signo)));
                        running_ = false;
                    }
                }
            } else {
                Client *c = client(id);
                if (!c || c->closing)
                    continue;
                if (events[i].events & EPOLLOUT)
                    flush(*c);
                // A client that is not being read still hangs up.
                if (!c->closing && c->read_paused && (events[i].events & (EPOLLHUP | EPOLLERR)))
                    drop(*c, "hung up with replies unread");
                if (!c->closing && (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)))
                    read_client(*c);
            }
        }
        reap();
    }
    // Let the clients see the end of the connection before the socket goes away.
    for (auto &[id, c] : clients_)
        if (!c->closing)
            drop(*c, "daemon stopping");
    reap();
    return 0;
}

void Server::accept_clients() {
    for (;;) {
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno != EAGAIN)
                log(errno_text("accept"));
            return;
        }
        auto c = std::make_unique<Client>();
        c->id = next_id_++;
        c->fd = fd;
        c->connected_ms = now_ms();
        ucred cred{};
        socklen_t len = sizeof(cred);
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && len == sizeof(cred)) {
            c->peer_known = true;
            c->peer_pid = cred.pid;
            c->peer_uid = cred.uid;
            c->peer_gid = cred.gid;
        }
        c->privileged = privileged(*c);
        if (!admit(*c)) {
            close(fd);
            continue;
        }
        if (!c->privileged) {
            ++uid_use_[c->peer_uid].connections;
            ++shared_connections_;
        }
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = c->id;
        if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
            log(errno_text("epoll_ctl"));
            close(fd);
            if (!c->privileged) {
                --uid_use_[c->peer_uid].connections;
                --shared_connections_;
            }
            continue;
        }
        clients_[c->id] = std::move(c);
    }
}

// Whether a new connection fits its uid's quota and the room left to its kind; logs a refusal
// (at most once a second, with how many went unlogged).
bool Server::admit(const Client &c) {
    std::string why;
    if (clients_.size() >= MAX_CLIENTS) {
        why = std::to_string(MAX_CLIENTS) + " clients already";
    } else if (!c.privileged) {
        auto it = uid_use_.find(c.peer_uid);
        size_t mine = it == uid_use_.end() ? 0 : it->second.connections;
        if (mine >= UID_CONNECTIONS)
            why = "uid " + std::to_string(c.peer_uid) + " holds " + std::to_string(mine) +
                  " connections already";
        else if (shared_connections_ >= MAX_CLIENTS - RESERVED_CONNECTIONS)
            why = "the connections not kept for root and uid " + std::to_string(admin_uid_) +
                  " are taken";
    }
    if (why.empty())
        return true;
    int64_t now = now_ms();
    if (now - refused_logged_ms_ >= 1000) {
        std::string more = refused_unlogged_ ? " (and " + std::to_string(refused_unlogged_) +
                                                   " more refused since the last such line)"
                                             : std::string();
        log("refusing a connection of pid " + std::to_string(c.peer_pid) + ": " + why + more);
        refused_logged_ms_ = now;
        refused_unlogged_ = 0;
    } else {
        ++refused_unlogged_;
    }
    return false;
}

// A connection costs a descriptor and a slot; one that does not even say who it is gives it
// back soon.
void Server::expire_silent() {
    int64_t now = now_ms();
    for (auto &[id, c] : clients_)
        if (!c->hello && !c->closing && now - c->connected_ms > HELLO_DEADLINE_MS)
            drop(*c, "no HELLO within " + std::to_string(HELLO_DEADLINE_MS) + " ms");
}

void Server::read_client(Client &c) {
    for (int i = 0; i < READS_PER_WAKEUP && !c.closing; ++i) {
        if (c.outq_bytes > READ_PAUSE_BYTES) {
            // Its replies wait for it: read no more requests until it takes them.
            c.read_paused = true;
            update_epoll(c);
            return;
        }
        iovec iov{rbuf_.data(), rbuf_.size()};
        msghdr mh{};
        mh.msg_iov = &iov;
        mh.msg_iovlen = 1;
        ssize_t n = recvmsg(c.fd, &mh, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN)
                return;
            drop(c, errno_text("receive"));
            return;
        }
        if (n == 0) {
            drop(c, "hung up");
            return;
        }
        proto::Frame f;
        if (mh.msg_flags & MSG_TRUNC) {
            // The header may still be readable: answer so the client learns why.
            proto::decode(rbuf_.data(), proto::HEADER_SIZE, f);
            reply(c, f, EMSGSIZE,
                  "frame larger than " + std::to_string(proto::MAX_PAYLOAD) + " bytes of payload");
            continue;
        }
        proto::Decode d = proto::decode(rbuf_.data(), size_t(n), f);
        switch (d) {
            case proto::Decode::ok:
                dispatch(c, f);
                break;
            case proto::Decode::too_short:
            case proto::Decode::bad_magic:
                drop(c, std::string("sent garbage: ") + proto::decode_text(d));
                return;
            case proto::Decode::bad_version:
                send_raw_and_drop(c, f.seq, EPROTONOSUPPORT,
                                  "protocol version not supported; platformd speaks version " +
                                      std::to_string(proto::PROTO_VERSION),
                                  "sent a frame of another protocol version");
                return;
            case proto::Decode::bad_length:
            case proto::Decode::too_large:
                reply(c, f, EBADMSG, proto::decode_text(d));
                break;
        }
    }
}

void Server::dispatch(Client &c, const proto::Frame &f) {
    if (f.type == proto::T_HELLO) {
        on_hello_frame(c, f);
        return;
    }
    if (f.type == proto::T_REPLY) {
        reply(c, f, EPROTO, "a reply is not a request");
        return;
    }
    if (!c.hello && f.type != proto::T_PING) {
        reply(c, f, EPROTO, "HELLO expected first");
        return;
    }
    if (proto::is_cfg_type(f.type)) {
        cfgdb_frame(*this, c, f);
        return;
    }
    auto it = handlers_.find(f.type);
    if (it == handlers_.end()) {
        reply(c, f, ENOSYS, "unknown request type " + std::to_string(f.type));
        return;
    }
    it->second(c, f);
}

void Server::on_hello_frame(Client &c, const proto::Frame &f) {
    proto::Reader r(f);
    uint32_t card = 0, pid = 0, flags = 0;
    std::string program;
    if (!r.u32(card) || !r.u32(pid) || !r.str(program, 255) || !r.u32(flags)) {
        reply(c, f, EBADMSG, "malformed HELLO");
        return;
    }
    if (c.hello) {
        reply(c, f, EALREADY, "HELLO already received on this connection");
        return;
    }
    if (card >= 1000) {
        reply(c, f, EINVAL, "card " + std::to_string(card) + " is out of range (0..999)");
        return;
    }
    c.hello = true;
    c.card = int(card);
    c.pid = pid_t(pid);
    c.program = program.empty() ? "?" : program;
    c.observer = (flags & proto::HELLO_OBSERVER) != 0;
    proto::Writer body;
    body.u64(c.id).u32(uint32_t(getpid()));
    reply(c, f, 0, {}, body);
    for (auto &fn : hello_)
        fn(c);
}

void Server::on_status_frame(Client &c, const proto::Frame &f) {
    std::vector<std::string> lines;
    lines.push_back("platformd pid " + std::to_string(getpid()) + ", socket " + opts_.socket_path +
                    ", " + std::to_string(clients_.size()) + " connection(s)");
    lines.push_back("changes allowed to root and uid " + std::to_string(admin_uid_) +
                    " (owner of " + admin_dir_ + ")");
    for (auto &fn : status_)
        fn(lines);
    cfgdb_status(*this, lines);
    bool any = false;
    for (auto &[name, fault] : faults_) {
        std::string s = fault.state ? fault.state() : std::string();
        if (!s.empty()) {
            if (!any)
                lines.push_back("faults:");
            any = true;
            lines.push_back("  " + name + ": " + s);
        }
    }
    if (!any)
        lines.push_back("faults: none");
    proto::Writer body;
    // Keep within one frame: drop lines that would not fit and say so.
    size_t budget = proto::MAX_PAYLOAD - 4096 - 4;
    std::vector<std::string> out;
    size_t used = 0;
    for (auto &l : lines) {
        if (used + l.size() + 4 > budget) {
            out.push_back("... " + std::to_string(lines.size() - out.size()) + " more lines");
            break;
        }
        used += l.size() + 4;
        out.push_back(l);
    }
    body.u32(uint32_t(out.size()));
    for (auto &l : out)
        body.str(l);
    reply(c, f, 0, {}, body);
}

bool Server::allowed(Client &c, const proto::Frame &request, const std::string &what) {
    if (privileged(c))
        return true;
    std::string who = c.peer_known ? "uid " + std::to_string(c.peer_uid) : "unknown uid";
    log(c.describe() + ", " + who + ": refused, may not " + what);
    reply(c, request, EPERM,
          "permission denied: only root or the owner of " + admin_dir_ + " may " + what);
    return false;
}

void Server::on_fault_frame(Client &c, const proto::Frame &f) {
    proto::Reader r(f);
    std::string name;
    uint32_t argc = 0;
    if (!r.str(name, 64) || !r.u32(argc) || argc > 16) {
        reply(c, f, EBADMSG, "malformed fault request");
        return;
    }
    std::vector<std::string> args(argc);
    for (auto &a : args)
        if (!r.str(a, 256)) {
            reply(c, f, EBADMSG, "malformed fault request");
            return;
        }
    // Listing the faults only reads; arming or clearing one changes how the router behaves.
    if (name != "list" && !allowed(c, f, "set or clear faults"))
        return;
    if (name == "clear") {
        for (auto &[n, fault] : faults_)
            if (fault.clear)
                fault.clear();
        log("faults cleared by " + c.describe());
        reply(c, f, 0, "all faults cleared");
        return;
    }
    if (name == "list") {
        std::string msg;
        for (auto &[n, fault] : faults_) {
            std::string s = fault.state ? fault.state() : std::string();
            msg += n + " " + fault.usage + "\n    " + fault.help + "\n    " +
                   (s.empty() ? "inactive" : s) + "\n";
        }
        if (!msg.empty())
            msg.pop_back();
        reply(c, f, 0, msg.empty() ? "no faults are known" : msg);
        return;
    }
    auto it = faults_.find(name);
    if (it == faults_.end()) {
        std::string known;
        for (auto &[n, fault] : faults_)
            known += (known.empty() ? "" : ", ") + n;
        reply(c, f, ENOENT, "no fault named '" + name + "' (known: " + known + ")");
        return;
    }
    std::string msg;
    uint32_t status = it->second.set(args, msg);
    if (status == 0)
        log("fault " + name + " set by " + c.describe() + ": " + msg);
    reply(c, f, status, msg);
}

bool Server::watch_fd(int fd, std::function<void()> fn) {
    uint64_t id = ID_WATCHED + watched_.size();
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = id;
    if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev) != 0)
        return false;
    watched_[id] = std::move(fn);
    return true;
}

void Server::handle(uint16_t type, FrameHandler fn) {
    handlers_[type] = std::move(fn);
}

void Server::add_fault(Fault f) {
    std::string name = f.name;
    faults_[name] = std::move(f);
}

void Server::reply(Client &c, const proto::Frame &request, uint32_t status,
                   const std::string &message, const proto::Writer *body) {
    proto::Writer w = proto::reply_head(status, message);
    if (body)
        w.raw(body->data().data(), body->size());
    if (!w.ok()) {
        log("reply to " + c.describe() + " too large; answering EMSGSIZE");
        w = proto::reply_head(EMSGSIZE, "reply too large for one frame");
    }
    send(c, proto::T_REPLY, request.seq, w.data());
}

bool Server::send(uint64_t client_id, uint16_t type, uint32_t seq,
                  const std::vector<uint8_t> &payload) {
    Client *c = client(client_id);
    return c && send(*c, type, seq, payload);
}

bool Server::send(Client &c, uint16_t type, uint32_t seq, const std::vector<uint8_t> &payload) {
    if (c.closing)
        return false;
    std::vector<uint8_t> out;
    if (!proto::encode(type, seq, payload.data(), payload.size(), out))
        return false;
    if (c.outq.empty()) {
        // Straight out when the socket has room; queued (and paid for) only when it has not.
        ssize_t n = ::send(c.fd, out.data(), out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0)
            return true;
        if (errno != EAGAIN && errno != EINTR) {
            drop(c, errno_text("send"));
            return false;
        }
    }
    size_t cost = out.size() + FRAME_COST;
    std::string over;
    if (c.outq_bytes + cost > MAX_QUEUE_BYTES) {
        over = "its own share";
    } else if (!c.privileged) {
        if (uid_use_[c.peer_uid].queued + cost > UID_QUEUE_BYTES)
            over = "the share of uid " + std::to_string(c.peer_uid);
        else if (shared_queued_ + cost > SHARED_QUEUE_BYTES)
            over = "the share of all unprivileged clients";
    }
    if (over.empty() && total_queued_ + cost > TOTAL_QUEUE_BYTES)
        over = "the memory for all queued frames";
    if (!over.empty()) {
        drop(c, "not reading its frames (" + std::to_string(c.outq_bytes) +
                    " bytes queued; one more frame would pass " + over + ")");
        return false;
    }
    c.outq_bytes += cost;
    total_queued_ += cost;
    if (!c.privileged) {
        uid_use_[c.peer_uid].queued += cost;
        shared_queued_ += cost;
    }
    c.outq.push_back(std::move(out));
    flush(c);
    return !c.closing;
}

void Server::dequeue(Client &c, size_t cost) {
    c.outq_bytes -= cost;
    total_queued_ -= cost;
    freed_since_trim_ += cost;
    if (!c.privileged) {
        uid_use_[c.peer_uid].queued -= cost;
        shared_queued_ -= cost;
    }
}

void Server::flush(Client &c) {
    bool was_waiting = c.outq_head < c.outq.size() && c.outq_bytes > 0;
    while (c.outq_head < c.outq.size()) {
        auto &buf = c.outq[c.outq_head];
        ssize_t n = ::send(c.fd, buf.data(), buf.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN)
                break;
            drop(c, errno_text("send"));
            return;
        }
        dequeue(c, buf.size() + FRAME_COST);
        ++c.outq_head;
    }
    if (c.outq_head == c.outq.size()) {
        c.outq.clear();
        c.outq_head = 0;
    } else if (c.outq_head > 64) {
        c.outq.erase(c.outq.begin(), c.outq.begin() + long(c.outq_head));
        c.outq_head = 0;
    }
    bool waiting = !c.outq.empty();
    bool resume = c.read_paused && c.outq_bytes <= READ_PAUSE_BYTES / 2;
    if (resume)
        c.read_paused = false;
    if (waiting != was_waiting || waiting || resume)
        update_epoll(c);
}

void Server::update_epoll(Client &c) {
    epoll_event ev{};
    ev.events =
        (c.read_paused ? 0u : uint32_t(EPOLLIN)) | (c.outq.empty() ? 0u : uint32_t(EPOLLOUT));
    ev.data.u64 = c.id;
    epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, c.fd, &ev);
}

void Server::send_raw_and_drop(Client &c, uint32_t seq, uint32_t status, const std::string &msg,
                               const std::string &reason) {
    proto::Writer w = proto::reply_head(status, msg);
    std::vector<uint8_t> out;
    if (proto::encode(proto::T_REPLY, seq, w.data().data(), w.size(), out)) {
        ssize_t n = ::send(c.fd, out.data(), out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        (void)n;
    }
    drop(c, reason);
}

Client *Server::client(uint64_t id) {
    auto it = clients_.find(id);
    return it == clients_.end() ? nullptr : it->second.get();
}

Client *Server::client(const Later &l) {
    Client *c = client(l.client);
    return c && !c->closing ? c : nullptr;
}

Later Server::later(const Client &c, const proto::Frame &request) {
    Later l;
    l.client = c.id;
    l.request.type = request.type;
    l.request.seq = request.seq;
    return l;
}

Client *Server::reply(const Later &l, uint32_t status, const std::string &message,
                      const proto::Writer *body) {
    Client *c = client(l);
    if (c)
        reply(*c, l.request, status, message, body);
    return c;
}

void Server::for_each_client(const std::function<void(Client &)> &fn) {
    for (auto &[id, c] : clients_)
        if (!c->closing)
            fn(*c);
}

void Server::drop(Client &c, const std::string &reason) {
    if (c.closing)
        return;
    c.closing = true;
    c.close_reason = reason;
    dropped_.push_back(c.id);
}

void Server::reap() {
    while (!dropped_.empty()) {
        std::vector<uint64_t> ids;
        ids.swap(dropped_);
        for (uint64_t id : ids) {
            auto it = clients_.find(id);
            if (it == clients_.end())
                continue;
            Client &c = *it->second;
            // Readers of status see a tool's connection come and go all the time; log the others.
            if (!(c.observer && c.close_reason == "hung up"))
                log(c.describe() + " gone: " + c.close_reason);
            for (auto &fn : gone_)
                fn(c);
            cfgdb_client_gone(*this, c);
            epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, c.fd, nullptr);
            close(c.fd);
            for (size_t i = c.outq_head; i < c.outq.size(); ++i)
                dequeue(c, c.outq[i].size() + FRAME_COST);
            if (!c.privileged) {
                auto use = uid_use_.find(c.peer_uid);
                if (use != uid_use_.end() && --use->second.connections == 0)
                    uid_use_.erase(use);
                --shared_connections_;
            }
            clients_.erase(it);
        }
    }
    // Queues that were let go leave their memory with the allocator unless it is handed back.
    if (freed_since_trim_ > 4 * 1024 * 1024) {
        malloc_trim(0);
        freed_since_trim_ = 0;
    }
}

}  // namespace platformd
