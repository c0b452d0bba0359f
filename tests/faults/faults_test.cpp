// Faults with the real processes: platformd killed under a serving tzd, the verifier killed or
// stopped in the middle of a commit, bad clients of the query channel, a full disk under the
// database. Each case checks that the service serves on (or again) and that the stored
// configuration is intact. A kill of platformd in a burst of commits is the configuration
// database's own test (tests/cfgdb, KillingPlatformdInABurstOfCommitsLeavesEachItemOldOrNew).
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <thread>

#include "rig.h"

using namespace faults;

namespace {

class Faults : public ::testing::Test {
  protected:
    // A new router, after the logs of the last when the test failed.
    Rig &make() {
        dump();
        rig_ = std::make_unique<Rig>();
        return *rig_;
    }
    // platformd and tzd of card 0 running, CET Europe/Paris committed and in effect.
    bool boot(Rig &r) {
        pd = r.start_platformd();
        tzd = pd > 0 ? r.start_tzd(0) : -1;
        return tzd > 0 && r.commit_zone_eventually("CET", "Europe/Paris") &&
               r.zone_in_effect(0) == "Europe/Paris";
    }
    void dump() {
        if (HasFailure() && rig_)
            std::cerr << rig_->logs();
    }
    void TearDown() override { dump(); }
    bool serves(Rig &r) { return r.tzctl({"zone-of", "Asia/Kolkata"}).status == 0; }

    std::unique_ptr<Rig> rig_;
    pid_t pd = -1, tzd = -1;
};

// Queries tzd of card 0 without pause on another thread (its own tzctl runs: the router is not
// for two threads) until stopped; counts answers and failures.
class Querier {
  public:
    explicit Querier(Rig &r) : env_(r.env(0)), thread_([this] { loop(); }) {}
    ~Querier() { finish(); }
    void finish() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    // Waits for N more answers.
    bool more(int n) {
        int target = answered + n;
        return eventually([&] { return answered >= target; });
    }
    std::atomic<int> answered{0}, failed{0};

  private:
    void loop() {
        std::string program = bin("tzctl");
        std::vector<char *> argv = {program.data(), const_cast<char *>("complete"),
                                    const_cast<char *>("CET"), nullptr};
        std::vector<char *> envp;
        for (auto &e : env_)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
        while (!stop_) {
            pid_t pid;
            int w = -1;
            if (posix_spawn(&pid, program.c_str(), &fa, nullptr, argv.data(), envp.data()) == 0)
                waitpid(pid, &w, 0);
            (w == 0 ? answered : failed)++;
        }
        posix_spawn_file_actions_destroy(&fa);
    }
    std::vector<std::string> env_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

int connect_channel(const std::string &path) {
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0)
        return fd;
    if (fd >= 0)
        close(fd);
    return -1;
}

}  // namespace

TEST_F(Faults, PlatformdKilledAndRestartedUnderAServingTzd) {
    Rig &r = make();
    ASSERT_TRUE(boot(r));
    Querier q(r);
    ASSERT_TRUE(q.more(3));
    r.stop(pd, SIGKILL);
    // tzd answers on its own while platformd is gone...
    EXPECT_TRUE(q.more(3));
    ASSERT_GT(pd = r.start_platformd(), 0) << r.logs();
    EXPECT_TRUE(q.more(3));
    q.finish();
    EXPECT_EQ(q.failed, 0);

    // ...and its verifier registration comes back: the next commit is verified and applied.
    EXPECT_EQ(r.stored_zone(), "CET Europe/Paris");
    ASSERT_TRUE(r.commit_zone_eventually("EST", "America/New_York"));
    EXPECT_EQ(r.zone_in_effect(0), "America/New_York");
    EXPECT_TRUE(r.running(tzd));
}

// The verifier dies in the middle of a commit: killed while it verifies, or stopped past the
// time platformd waits for it.
TEST_F(Faults, VerifierKilledOrSilentInTheMiddleOfACommit) {
    struct Case {
        const char *name;
        const char *timeout_ms;  // for fault cfg-verify-timeout; null: kill while it verifies
        const char *reason;
    };
    for (const Case &c : {Case{"killed", nullptr, "went away during the commit"},
                          Case{"silent", "300", "did not answer within 300 ms"}}) {
        SCOPED_TRACE(c.name);
        Rig &r = make();
        ASSERT_TRUE(boot(r));
        if (c.timeout_ms) {
            ASSERT_EQ(r.platformctl({"fault", "cfg-verify-timeout", c.timeout_ms}).status, 0);
        }
        ASSERT_EQ(kill(tzd, SIGSTOP), 0);
        Result commit;
        std::thread committer([&] {
            commit = r.platformctl({"cfg", "set", TZ_ITEM, "EST", "America/New_York"});
        });
        if (!c.timeout_ms) {
            EXPECT_TRUE(eventually([&] {
                return contains(r.platformctl({"status"}).out, "1 waiting or in progress");
            }));
            r.stop(tzd, SIGKILL);
        }
        committer.join();
        if (c.timeout_ms)
            r.stop(tzd, SIGKILL);
        EXPECT_EQ(commit.status, 1);
        EXPECT_TRUE(contains(commit.err, c.reason)) << commit.err;
        EXPECT_EQ(r.stored_zone(), "CET Europe/Paris");

        // A new tzd puts the stored zone back into effect and verifies again.
        std::filesystem::remove(r.localtime(0));
        ASSERT_GT(tzd = r.start_tzd(0), 0) << r.logs();
        EXPECT_TRUE(eventually([&] { return r.zone_in_effect(0) == "Europe/Paris"; }));
        EXPECT_TRUE(r.commit_zone_eventually("IST", "Asia/Kolkata"));
        EXPECT_EQ(r.zone_in_effect(0), "Asia/Kolkata");
    }
}

TEST_F(Faults, BadClientsOfTheQueryChannelDoNotHoldUpTheOthers) {
    Rig &r = make();
    ASSERT_TRUE(boot(r));
    const std::string ch = r.channel(0);
    std::vector<int> idle;
    for (int i = 0; i < 50; i++)
        idle.push_back(connect_channel(ch));  // connect and never send
    for (int i = 0; i < 20; i++) {
        int fd = connect_channel(ch);  // half a message, then gone
        ASSERT_GE(fd, 0);
        EXPECT_EQ(send(fd, "\x01\x00\x00", 3, MSG_NOSIGNAL), 3);
        close(fd);
    }
    int mute = connect_channel(ch);  // sends on and on, never reads a reply
    ASSERT_GE(mute, 0);
    std::vector<char> req(64, 0);
    for (int i = 0; i < 2000; i++)
        if (send(mute, req.data(), req.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0)
            break;

    for (int fd : idle)
        EXPECT_GE(fd, 0);
    Result q = r.tzctl({"locations", "CET"});
    EXPECT_EQ(q.status, 0) << q.err;
    EXPECT_TRUE(contains(q.out, "Europe/Paris"));
    EXPECT_TRUE(serves(r));
    for (int fd : idle)
        close(fd);
    close(mute);
    EXPECT_TRUE(serves(r));
    EXPECT_TRUE(r.running(tzd));
    EXPECT_EQ(r.stored_zone(), "CET Europe/Paris");
}

// A full disk under the database, made with a small tmpfs in a mount namespace of this test
// process and its children. (A read-only bind mount cannot be switched on under a running
// platformd: the kernel refuses to make a mount read-only while files on it are open for
// writing, and chmod does not stop root.)
TEST_F(Faults, AFullDiskRefusesCommitsAndLosesNothing) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr))
        GTEST_SKIP() << "no private mount namespace here: " << strerror(errno);
    Rig &r = make();
    const std::string disk = r.statedir();
    ASSERT_EQ(mkdir(disk.c_str(), 0700), 0);
    if (mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=512k,mode=0700") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs: " << strerror(errno);
    // Gone before the router removes its directory.
    struct Unmount {
        std::string dir;
        ~Unmount() { umount2(dir.c_str(), MNT_DETACH); }
    } unmount{disk};
    ASSERT_TRUE(boot(r));

    // Fill what is left, to the last page.
    const std::string filler = disk + "/filler";
    int fd = open(filler.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    std::vector<char> block(4096, 'x');
    while (write(fd, block.data(), block.size()) > 0) {
    }
    EXPECT_EQ(errno, ENOSPC);
    close(fd);

    // Changes and deletions are refused with the reason; the stored item stays, and so does the
    // zone in effect (tzd had applied the change; it is handed the stored item back).
    for (auto args : {std::vector<std::string>{"cfg", "set", TZ_ITEM, "EST", "America/New_York"},
                      std::vector<std::string>{"cfg", "delete", TZ_ITEM}}) {
        SCOPED_TRACE(args[1]);
        Result c = r.platformctl(args);
        EXPECT_EQ(c.status, 1);
        EXPECT_TRUE(contains(c.err, "disk is full")) << c.err;
        EXPECT_EQ(r.stored_zone(), "CET Europe/Paris");
        EXPECT_TRUE(eventually([&] { return r.zone_in_effect(0) == "Europe/Paris"; }))
            << r.zone_in_effect(0);
        EXPECT_TRUE(serves(r));
    }

    // Space again: commits work, and what they stored outlives platformd.
    ASSERT_EQ(unlink(filler.c_str()), 0);
    Result c = r.platformctl({"cfg", "set", TZ_ITEM, "EST", "America/New_York"});
    EXPECT_EQ(c.status, 0) << c.err;
    EXPECT_TRUE(eventually([&] { return r.zone_in_effect(0) == "America/New_York"; }));
    r.stop(pd, SIGKILL);
    ASSERT_GT(pd = r.start_platformd(), 0) << r.logs();
    EXPECT_EQ(r.stored_zone(), "EST America/New_York");
}
