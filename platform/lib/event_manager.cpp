// Event managers: one epoll loop per manager, owned by the thread that created it. The loop
// watches its channel, the descriptors of other platform components, an eventfd for posted work
// and a signalfd for process-timer expiries. SIGTERM and SIGINT end the main thread's loop.
#include <errno.h>
#include <signal.h>
#include <stdint.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "evm_internal.h"

namespace platform::detail {
namespace {

// Never destroyed: detached threads may still run their loops while the process exits.
struct Registry {
    std::mutex mu;
    std::unordered_map<uint64_t, std::shared_ptr<Manager>> managers;
    uint64_t next_id = 1;
};
Registry &registry() {
    static Registry *r = new Registry;
    return *r;
}

// The manager whose loop SIGTERM and SIGINT end; 0 while there is none.
std::atomic<uint64_t> main_manager{0};
std::atomic<uint64_t> next_source{1};

// Process timers by the cookie their signal carries. A timer's owner deletes it with
// timer_delete, unseen by us, so a record is checked against the kernel before it is used.
struct TimerRecord {
    uint64_t evm = 0;
    proctimer_handler_t handler = nullptr;
    void *arg = nullptr;
    timer_t timer{};
};
struct Timers {
    std::mutex mu;
    std::unordered_map<uint64_t, TimerRecord> by_cookie;
    uint64_t next_cookie = 1;
};
Timers &timers() {
    static Timers *t = new Timers;
    return *t;
}

bool timer_alive(timer_t timer) {
    itimerspec spec;
    return timer_gettime(timer, &spec) == 0;
}

int timer_signal() {
    return SIGRTMIN + 6;
}

evm_handle_t to_handle(uint64_t id) {
    return reinterpret_cast<evm_handle_t>(uintptr_t(id));
}

bool watch(Manager &m, int fd, Tag tag, uint64_t id) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = epoll_key(tag, id);
    return epoll_ctl(m.epoll.get(), EPOLL_CTL_ADD, fd, &ev) == 0;
}

void wake(Manager &m) {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(m.wake.get(), &one, sizeof one);
}

// SIGTERM and SIGINT end the main manager's loop once it runs; before that (a program still
// starting up, waiting for its platform) they stop the process the ordinary way, so an operator's
// stop is never left pending.
std::atomic<int> stop_wake_fd{-1};
std::atomic<bool> main_loop_entered{false};
std::atomic<bool> stop_requested{false};

extern "C" void on_stop_signal(int sig) {
    if (!main_loop_entered.load()) {
        signal(sig, SIG_DFL);
        raise(sig);
        return;
    }
    stop_requested.store(true);
    int fd = stop_wake_fd.load();
    if (fd >= 0) {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(fd, &one, sizeof one);
    }
}

// The main thread's first manager without a channel is the one SIGTERM and SIGINT stop.
void claim_main(Manager &m) {
    uint64_t none = 0;
    if (!main_manager.compare_exchange_strong(none, m.id))
        return;
    stop_requested.store(false);
    main_loop_entered.store(false);
    stop_wake_fd.store(m.wake.get());
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
}

bool stop_due(const Manager &m) {
    return m.stopped || (m.id == main_manager.load() && stop_requested.load());
}

int fire_timer(Manager &m, uint64_t cookie) {
    TimerRecord rec;
    {
        Timers &t = timers();
        std::lock_guard lock(t.mu);
        auto it = t.by_cookie.find(cookie);
        if (it == t.by_cookie.end())
            return 0;
        if (!timer_alive(it->second.timer)) {  // deleted after it fired
            t.by_cookie.erase(it);
            return 0;
        }
        rec = it->second;
    }
    if (rec.evm != m.id) {
        // Another manager of this thread owns the timer: its own loop runs the handler.
        evm_post(to_handle(rec.evm), [cookie](event_context *ctx) {
            if (auto owner = find_manager(ctx->evm))
                fire_timer(*owner, cookie);
        });
        return 0;
    }
    return rec.handler(rec.arg);
}

void run_source(Source &s, event_context *ctx) {
    int fd;
    {
        std::lock_guard lock(s.mu);
        if (s.removed)
            return;
        s.running = true;
        fd = s.fd.get();
    }
    s.on_ready(ctx, fd);
    {
        std::lock_guard lock(s.mu);
        s.running = false;
    }
    s.idle.notify_all();
}

// Handles one ready descriptor; true when it left an event for dispatch.
bool take(Manager &m, const epoll_event &ev, event_context *ctx) {
    Pending &p = m.pending;
    switch (key_tag(ev.data.u64)) {
        case Tag::wake: {
            uint64_t count;
            [[maybe_unused]] ssize_t n = read(m.wake.get(), &count, sizeof count);
            std::lock_guard lock(m.mu);
            if (m.posted.empty())
                return false;
            p.posts.swap(m.posted);
            p.kind = Pending::Kind::posts;
            ctx->reply_id = 0;
            return true;
        }
        case Tag::signal: {
            signalfd_siginfo si;
            if (read(m.signals.get(), &si, sizeof si) != ssize_t(sizeof si))
                return false;
            if (si.ssi_signo == SIGTERM || si.ssi_signo == SIGINT) {
                m.stopped = true;
                return false;
            }
            if (int(si.ssi_signo) != timer_signal() || si.ssi_code != SI_TIMER)
                return false;
            p.kind = Pending::Kind::timer;
            p.cookie = si.ssi_ptr;
            ctx->reply_id = 0;
            return true;
        }
        case Tag::listener:
            if (m.channel)
                m.channel->accept_all();
            return false;
        case Tag::conn: {
            if (!m.channel)
                return false;
            auto id = int32_t(key_id(ev.data.u64));
            size_t cap = ctx->buffer ? std::min<uint64_t>(ctx->buffer_size, kMaxRequest) : 0;
            if (!m.channel->receive(id, ev.events, ctx->buffer, cap))
                return false;
            std::lock_guard lock(m.mu);
            p.kind = Pending::Kind::message;
            p.on_message = m.on_message;
            p.user = m.msg_user;
            ctx->reply_id = id;
            return true;
        }
        case Tag::source: {
            std::lock_guard lock(m.mu);
            auto it = m.sources.find(key_id(ev.data.u64));
            if (it == m.sources.end())
                return false;
            p.kind = Pending::Kind::source;
            p.source = it->second;
            ctx->reply_id = 0;
            return true;
        }
    }
    return false;
}

// The manager of CTX, when the calling thread owns it; null with errno set otherwise.
std::shared_ptr<Manager> owned_manager(event_context *ctx) {
    if (!ctx) {
        errno = EINVAL;
        return nullptr;
    }
    auto m = find_manager(ctx->evm);
    if (!m)
        errno = EBADF;
    else if (m->owner != this_thread_id()) {
        errno = EPERM;
        m.reset();
    }
    return m;
}

}  // namespace

pid_t this_thread_id() {
    thread_local pid_t tid = gettid();
    return tid;
}

std::shared_ptr<Manager> find_manager(evm_handle_t handle) {
    auto id = uint64_t(reinterpret_cast<uintptr_t>(handle));
    Registry &r = registry();
    std::lock_guard lock(r.mu);
    auto it = r.managers.find(id);
    return it == r.managers.end() ? nullptr : it->second;
}

Manager::~Manager() {
    Timers &t = timers();
    std::lock_guard lock(t.mu);
    std::erase_if(t.by_cookie, [this](const auto &entry) { return entry.second.evm == id; });
}

}  // namespace platform::detail

using namespace platform;
using namespace platform::detail;

// The kind, the depth and the slot carry nothing this platform needs.
extern "C" evm_handle_t event_manager_create(int32_t, const char *channel, int32_t, void *) {
    auto m = std::make_shared<Manager>();
    m->owner = this_thread_id();

    // Timer expiries are signals to the owner thread, read from the signalfd, so they stay blocked
    // there; SIGRTMIN+10 is kept blocked beside it, as in every thread of the service.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, timer_signal());
    sigaddset(&set, SIGRTMIN + 10);
    if (int rc = pthread_sigmask(SIG_BLOCK, &set, nullptr); rc != 0) {
        errno = rc;
        return nullptr;
    }
    sigdelset(&set, SIGRTMIN + 10);

    m->epoll.reset(epoll_create1(EPOLL_CLOEXEC));
    if (!m->epoll)
        return nullptr;
    m->wake.reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    m->signals.reset(signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
    if (!m->wake || !m->signals || !watch(*m, m->wake.get(), Tag::wake, 0) ||
        !watch(*m, m->signals.get(), Tag::signal, 0))
        return nullptr;
    bool has_channel = channel && *channel;
    if (has_channel && !(m->channel = Channel::open(channel, m->epoll.get())))
        return nullptr;

    {
        Registry &r = registry();
        std::lock_guard lock(r.mu);
        m->id = r.next_id++;
        r.managers.emplace(m->id, m);
    }
    if (!has_channel && m->owner == getpid())
        claim_main(*m);
    return to_handle(m->id);
}

// The loop ends at its next wake-up; the manager goes once nothing of its loop runs any more.
extern "C" int event_manager_destroy(evm_handle_t *handle) {
    if (!handle) {
        errno = EINVAL;
        return -1;
    }
    std::shared_ptr<Manager> m;
    {
        Registry &r = registry();
        std::lock_guard lock(r.mu);
        auto it = r.managers.find(uint64_t(reinterpret_cast<uintptr_t>(*handle)));
        if (it == r.managers.end()) {
            errno = EBADF;
            return -1;
        }
        m = std::move(it->second);
        r.managers.erase(it);
    }
    uint64_t id = m->id;
    if (main_manager.compare_exchange_strong(id, 0))
        stop_wake_fd.store(-1);
    m->destroyed = true;
    wake(*m);
    *handle = nullptr;
    return 0;
}

extern "C" int event_block(event_context *ctx) {
    auto m = owned_manager(ctx);
    if (!m)
        return -1;
    if (m->pending.kind != Pending::Kind::none)
        return 0;  // still waiting for its dispatch
    if (m->id == main_manager.load())
        main_loop_entered.store(true);
    for (;;) {
        if (stop_due(*m)) {
            m->stopped = true;
            errno = EINTR;
            return -1;
        }
        if (m->destroyed) {
            errno = EBADF;
            return -1;
        }
        if (m->next == m->nready) {
            int n = epoll_wait(m->epoll.get(), m->ready, Manager::kBatch, -1);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return -1;
            }
            m->next = 0;
            m->nready = n;
            continue;
        }
        if (take(*m, m->ready[m->next++], ctx))
            return 0;
    }
}

extern "C" int vk_event_dispatch(event_context *ctx, int) {
    auto m = owned_manager(ctx);
    if (!m)
        return -1;
    Pending p = std::move(m->pending);
    m->pending = Pending{};
    switch (p.kind) {
        case Pending::Kind::message:
            return p.on_message(ctx, p.user);
        case Pending::Kind::timer:
            return fire_timer(*m, p.cookie);
        case Pending::Kind::source:
            run_source(*p.source, ctx);
            return 0;
        case Pending::Kind::posts:
            for (auto &fn : p.posts)
                fn(ctx);
            return 0;
        case Pending::Kind::none:
            break;
    }
    errno = ENOMSG;
    return -1;
}

// The code, the flags and the priority carry nothing this platform needs.
extern "C" int event_async_attach_proctimer(evm_handle_t handle, int32_t, int32_t,
                                            proctimer_handler_t handler, void *arg, int32_t,
                                            timer_t *timer) {
    if (!handler || !timer) {
        errno = EINVAL;
        return -1;
    }
    auto m = find_manager(handle);
    if (!m) {
        errno = EBADF;
        return -1;
    }
    Timers &t = timers();
    std::lock_guard lock(t.mu);
    // Forget the timers that their owners have deleted.
    std::erase_if(t.by_cookie, [](const auto &entry) { return !timer_alive(entry.second.timer); });

    uint64_t cookie = t.next_cookie++;
    sigevent sev{};
    sev.sigev_notify = SIGEV_THREAD_ID;
    sev.sigev_signo = timer_signal();
    sev.sigev_value.sival_ptr = reinterpret_cast<void *>(uintptr_t(cookie));
    sev._sigev_un._tid = m->owner;
    timer_t id;
    if (timer_create(CLOCK_MONOTONIC, &sev, &id) != 0)
        return -1;
    t.by_cookie.emplace(cookie, TimerRecord{m->id, handler, arg, id});
    *timer = id;
    return 0;
}

extern "C" int getprio(pid_t pid) {
    return getpriority(PRIO_PROCESS, id_t(pid));
}

namespace platform {

uint64_t evm_add_fd(evm_handle_t evm, int fd, FdHandler on_ready) {
    Fd owned(fd);
    if (fd < 0 || !on_ready) {
        errno = EINVAL;
        return 0;
    }
    auto m = find_manager(evm);
    if (!m) {
        errno = EBADF;
        return 0;
    }
    auto s = std::make_shared<Source>();
    s->id = next_source++;
    s->on_ready = std::move(on_ready);
    s->fd = std::move(owned);
    {
        std::lock_guard lock(m->mu);
        m->sources.emplace(s->id, s);
    }
    if (!watch(*m, fd, Tag::source, s->id)) {
        std::lock_guard lock(m->mu);
        m->sources.erase(s->id);
        return 0;
    }
    return s->id;
}

void evm_remove_fd(evm_handle_t evm, uint64_t source) {
    auto m = find_manager(evm);
    if (!m)
        return;
    std::shared_ptr<Source> s;
    {
        std::lock_guard lock(m->mu);
        auto it = m->sources.find(source);
        if (it == m->sources.end())
            return;
        s = std::move(it->second);
        m->sources.erase(it);
    }
    std::unique_lock lock(s->mu);
    s->removed = true;
    epoll_ctl(m->epoll.get(), EPOLL_CTL_DEL, s->fd.get(), nullptr);
    if (m->owner != this_thread_id())
        s->idle.wait(lock, [&] { return !s->running; });
    s->fd.reset();
}

bool evm_post(evm_handle_t evm, Posted fn) {
    auto m = find_manager(evm);
    if (!m || !fn)
        return false;
    bool first;
    {
        std::lock_guard lock(m->mu);
        first = m->posted.empty();
        m->posted.push_back(std::move(fn));
    }
    // The loop takes the whole queue at once, so only the first of a batch needs to wake it.
    if (first)
        wake(*m);
    return true;
}

bool evm_valid(evm_handle_t evm) {
    return find_manager(evm) != nullptr;
}

}  // namespace platform
