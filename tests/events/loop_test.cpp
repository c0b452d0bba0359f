// Loops: process timers, the end of the main loop on SIGTERM and SIGINT, descriptors and posted
// work from other threads.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>

#include "events_support.h"
#include "platform/evm_source.h"

using namespace events_test;

namespace {

struct Fired {
    std::atomic<int> count{0};
    std::atomic<pid_t> tid{0};
};

int on_timer(void *arg) {
    auto *fired = static_cast<Fired *>(arg);
    fired->tid = gettid();
    ++fired->count;
    return 0;
}

timer_t attach_timer(evm_handle_t evm, Fired *fired) {
    timer_t timer{};
    EXPECT_EQ(event_async_attach_proctimer(evm, 128, 0, on_timer, fired, getprio(0), &timer), 0);
    return timer;
}

void arm(timer_t timer, long ms) {
    itimerspec spec{};
    spec.it_value.tv_sec = ms / 1000;
    spec.it_value.tv_nsec = ms % 1000 * 1000000 + 1;
    EXPECT_EQ(timer_settime(timer, 0, &spec, nullptr), 0);
}

}  // namespace

TEST(Timers, ExpiryRunsOnTheLoopOfItsManagerWhoeverArmsIt) {
    Loop a, b;
    Fired fa, fb;
    timer_t ta = attach_timer(a.evm, &fa), tb = attach_timer(b.evm, &fb);
    arm(ta, 1);
    arm(tb, 1);
    ASSERT_TRUE(wait_for([&] { return fa.count == 1 && fb.count == 1; }));
    EXPECT_EQ(fa.tid, a.tid);
    EXPECT_EQ(fb.tid, b.tid);
    timer_delete(ta);
    timer_delete(tb);

    timer_t none;
    evm_handle_t gone = a.evm;
    a.stop();
    EXPECT_LT(event_async_attach_proctimer(gone, 128, 0, on_timer, &fa, 0, &none), 0);
}

TEST(Timers, DeletedTimerNeverRuns) {
    Loop loop;
    Fired deleted, later;
    timer_t timer = attach_timer(loop.evm, &deleted);
    arm(timer, 20);
    ASSERT_EQ(timer_delete(timer), 0);
    timer_t last = attach_timer(loop.evm, &later);
    arm(last, 50);  // expires after the deleted one would have
    ASSERT_TRUE(wait_for([&] { return later.count == 1; }));
    EXPECT_EQ(deleted.count, 0);
    timer_delete(last);
}

// Some kernels still deliver the expiry that was pending when a timer was deleted; it is forged
// here, carrying the deleted timer's cookie.
TEST(Timers, ExpiryOfADeletedTimerIsIgnored) {
    Loop loop;
    Fired deleted;
    timer_t timer = attach_timer(loop.evm, &deleted);
    uint64_t cookie = 0;
    std::ifstream timers("/proc/self/timers");
    std::string line, id = "ID: " + std::to_string(intptr_t(timer));
    while (std::getline(timers, line))
        if (line == id && std::getline(timers, line) && line.starts_with("signal: "))
            cookie = std::stoull(line.substr(line.find('/') + 1), nullptr, 16);
    if (cookie == 0)
        GTEST_SKIP() << "no /proc/self/timers";
    ASSERT_EQ(timer_delete(timer), 0);

    siginfo_t info{};
    info.si_signo = SIGRTMIN + 6;
    info.si_code = SI_TIMER;
    info.si_value.sival_ptr = reinterpret_cast<void *>(uintptr_t(cookie));
    if (syscall(SYS_rt_tgsigqueueinfo, getpid(), loop.tid, SIGRTMIN + 6, &info) != 0)
        GTEST_SKIP() << "cannot queue a timer signal: " << strerror(errno);
    // The second round trip starts after the batch that held the signal.
    EXPECT_TRUE(loop.run([] {}));
    EXPECT_TRUE(loop.run([] {}));
    EXPECT_EQ(deleted.count, 0);
}

TEST(Signals, TermAndIntEndTheMainThreadsLoopOnly) {
    ASSERT_EQ(gettid(), getpid());
    evm_handle_t main_evm = event_manager_create(0, nullptr, 8, nullptr);
    ASSERT_NE(main_evm, nullptr);
    Loop worker;  // started afterwards: inherits SIGTERM and SIGINT blocked

    // Runs the main loop; a watchdog timer bounds the wait if no signal ends it.
    Fired watchdog;
    auto run_main = [&] {
        timer_t timer = attach_timer(main_evm, &watchdog);
        arm(timer, 10000);
        uint8_t buffer[128];
        event_context ctx{};
        ctx.evm = main_evm;
        ctx.buffer = buffer;
        ctx.buffer_size = sizeof buffer;
        int rc = 0;
        while (watchdog.count == 0 && (rc = event_block(&ctx)) != -1)
            vk_event_dispatch(&ctx, 0);
        int err = rc == -1 ? errno : 0;
        timer_delete(timer);
        return err;
    };

    ASSERT_EQ(kill(getpid(), SIGTERM), 0);
    EXPECT_EQ(run_main(), EINTR);
    EXPECT_EQ(run_main(), EINTR);  // stays ended
    std::atomic<bool> ran{false};
    EXPECT_TRUE(worker.run([&] { ran = true; }));
    EXPECT_TRUE(ran);

    // The main thread's next manager takes over.
    ASSERT_EQ(event_manager_destroy(&main_evm), 0);
    main_evm = event_manager_create(0, nullptr, 8, nullptr);
    ASSERT_EQ(kill(getpid(), SIGINT), 0);
    EXPECT_EQ(run_main(), EINTR);
    EXPECT_TRUE(worker.run([] {}));
    EXPECT_EQ(watchdog.count, 0);
    event_manager_destroy(&main_evm);
}

TEST(Sources, DescriptorsRunOnTheOwnerAndRemovalWaitsForARunningHandler) {
    Loop loop;
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    platform::Fd peer(sv[1]);
    std::atomic<int> reads{0};
    std::atomic<pid_t> tid{0};
    std::atomic<bool> entered{false}, release{false}, finished{false};
    uint64_t id = platform::evm_add_fd(loop.evm, sv[0], [&](event_context *, int fd) {
        char c;
        if (read(fd, &c, 1) != 1)
            return;
        tid = gettid();
        ++reads;
        if (c == 'B') {
            entered = true;
            wait_for([&] { return release.load(); });
            finished = true;
        }
    });
    ASSERT_NE(id, 0u);
    ASSERT_EQ(write(peer.get(), "a", 1), 1);
    ASSERT_TRUE(wait_for([&] { return reads == 1; }));
    EXPECT_EQ(tid, loop.tid);

    ASSERT_EQ(write(peer.get(), "B", 1), 1);
    ASSERT_TRUE(wait_for([&] { return entered.load(); }));
    std::atomic<bool> removed{false}, finished_first{false};
    std::thread remover([&] {
        platform::evm_remove_fd(loop.evm, id);
        finished_first = finished.load();
        removed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // lets the remover reach its wait
    EXPECT_FALSE(removed);
    release = true;
    remover.join();
    EXPECT_TRUE(finished_first);

    // The descriptor is closed and never watched again.
    EXPECT_EQ(send(peer.get(), "x", 1, MSG_NOSIGNAL), -1);
    EXPECT_TRUE(loop.run([] {}));
    EXPECT_EQ(reads, 2);
    platform::evm_remove_fd(loop.evm, id);  // already gone: nothing happens

    // A handler may remove its own source, here on end of file.
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    std::atomic<uint64_t> self{0};
    std::atomic<bool> self_removed{false};
    self = platform::evm_add_fd(loop.evm, sv[0], [&](event_context *ctx, int fd) {
        char c;
        if (read(fd, &c, 1) == 0) {
            platform::evm_remove_fd(ctx->evm, self);
            self_removed = true;
        }
    });
    close(sv[1]);
    ASSERT_TRUE(wait_for([&] { return self_removed.load(); }));
    EXPECT_TRUE(loop.run([] {}));
}

TEST(Sources, PostsFromManyThreadsRunInOrderOnTheOwner) {
    Loop loop;
    int count = 0;  // touched by the loop's thread only
    std::atomic<int> elsewhere{0};
    std::vector<std::thread> posters;
    for (int t = 0; t < 4; ++t)
        posters.emplace_back([&] {
            for (int i = 0; i < 250; ++i)
                platform::evm_post(loop.evm, [&](event_context *) {
                    if (gettid() != loop.tid)
                        ++elsewhere;
                    ++count;
                });
        });
    for (auto &t : posters)
        t.join();
    int seen = 0;
    EXPECT_TRUE(loop.run([&] { seen = count; }));
    EXPECT_EQ(seen, 1000);
    EXPECT_EQ(elsewhere, 0);
}

TEST(Sources, DestroyedManagerTakesNoMoreWork) {
    Loop loop;
    evm_handle_t evm = loop.evm;
    EXPECT_TRUE(platform::evm_valid(evm));
    loop.stop();
    EXPECT_FALSE(platform::evm_valid(evm));
    EXPECT_FALSE(platform::evm_post(evm, [](event_context *) {}));
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    EXPECT_EQ(platform::evm_add_fd(evm, p[0], [](event_context *, int) {}), 0u);
    EXPECT_EQ(fcntl(p[0], F_GETFD), -1);  // handed over, so closed
    close(p[1]);
}
