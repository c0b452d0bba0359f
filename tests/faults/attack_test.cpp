// What another local user can do to the router with what every user may open: platformd's socket,
// the query channel, the trace buffers, the link's directory, a runtime directory made first.
// Each attack runs as uid 65534 in a child that holds what it took while root's commands run;
// root must be answered within kAnswer throughout, and the router must not be taken over.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <fstream>

#include "platform/proto_cfg.h"
#include "rig.h"

using namespace faults;
namespace proto = platform::proto;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// How long root may wait for an answer during an attack.
const std::string kAnswer = "2";

class Attack : public RigTest {
  protected:
    // Root's PROGRAM ARGS, killed unless it ends within kAnswer seconds (status 137 then).
    Result root(const std::string &program, std::vector<std::string> args,
                const std::vector<std::string> &extra = {}) {
        args.insert(args.begin(), {"-s", "KILL", kAnswer, bin(program)});
        return rig.run("/usr/bin/timeout", args, 0, extra);
    }
};

// Resident memory of PID in KiB; -1 when unknown.
long rss_kib(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// N connections to platformd's socket, each having said HELLO as card CARD (+ its index when
// SPREAD) unless SILENT.
std::vector<proto::Conn> connections(const std::string &socket, int n, bool silent = false,
                                     uint32_t card = 1, bool spread = false) {
    std::vector<proto::Conn> conns;
    std::string err;
    for (int i = 0; i < n; ++i) {
        proto::Conn c;
        if (!c.connect(socket, 2000, &err))
            break;
        if (silent || proto::hello(c, card + (spread ? i : 0), getpid(), "tzd", 0, err))
            conns.push_back(std::move(c));
    }
    return conns;
}

// A SOCK_SEQPACKET socket at PATH, bound (and listening, open to all, when LISTEN) or connected.
int unix_socket(const std::string &path, bool listen) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    auto *a = reinterpret_cast<sockaddr *>(&addr);
    bool ok = listen ? bind(fd, a, sizeof addr) == 0 && ::listen(fd, 8) == 0 &&
                           chmod(path.c_str(), 0666) == 0
                     : connect(fd, a, sizeof addr) == 0;
    if (!ok)
        close(fd);
    return ok ? fd : -1;
}

}  // namespace

// One user's registrations cannot use up the room a verifier needs.
TEST_F(Attack, RegistrationsOfOneUserLeaveRoomForTheVerifier) {
    ASSERT_GT(rig.start_platformd(), 0);
    std::vector<proto::Conn> held;
    Holder attacker(NOBODY, [&] {
        held = connections(rig.socket(), 1);
        int made = 0;
        while (!held.empty() && made < 10000 &&
               call(held[0], proto::T_CFG_REG_NOTIFY, proto::Writer().str("/zz/").u32(0)) == 0)
            ++made;
        return made <= 256 ? "bounded" : std::to_string(made) + " registrations";
    });
    ASSERT_EQ(attacker.report(), "bounded");
    // A tzd started now registers as verifier and serves commits.
    ASSERT_GT(rig.start_tzd(0), 0);
    EXPECT_TRUE(rig.commit_zone_eventually("CET", "Europe/Paris"));
    EXPECT_EQ(rig.zone_in_effect(0), "Europe/Paris");
    EXPECT_TRUE(ended(root("platformctl", {"status"}), 0, "dLRSC: card 0"));
}

// Locks another user can take on what it may open (the link's directory, the trace directory and
// buffer) neither hold the setter nor keep a starting tzd from serving.
TEST_F(Attack, LocksOfAnotherUserHoldNeitherSetterNorTrace) {
    ASSERT_GT(rig.start_platformd(), 0);
    pid_t tzd = rig.start_tzd(0);
    ASSERT_TRUE(rig.commit_zone_eventually("CET", "Europe/Paris"));
    const std::string trace_dir = rig.rundir(0) + "/ltrace";
    auto lock = [](const std::vector<std::string> &paths) {
        std::string took;
        for (const std::string &path : paths) {
            int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            took += (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) ? "locked " : "not ";
        }
        return took;
    };
    Holder dirs(NOBODY, [&] { return lock({rig.rundir(0), trace_dir}); });
    ASSERT_EQ(dirs.report(), "locked locked ");
    EXPECT_TRUE(ended(rig.tzctl({"set", "EST", "America/New_York"}), 0));
    EXPECT_EQ(rig.zone_in_effect(0), "America/New_York");
    EXPECT_EQ(rig.stop(tzd), 0);  // SIGTERM ends it: its main thread waits for nobody

    // The buffer itself, once its writer is gone, before the next tzd starts.
    Holder buffer(NOBODY, [&] { return lock({trace_dir + "/tz_ltrace"}); });
    ASSERT_EQ(buffer.report(), "locked ");
    EXPECT_GT(rig.start_tzd(0), 0);
    EXPECT_TRUE(ended(root("tzctl", {"zone-of", "Europe/Paris"}), 0, "CET"));
    EXPECT_TRUE(ended(root("platformctl", {"trace", "tz_ltrace"}), 0));
}

// A directory made first by another user, where anyone may make one (as /tmp/platform-$UID can
// be), is refused by the program that would have served in it or trusted its owner.
TEST_F(Attack, DirectoriesMadeFirstByAnotherUserAreRefused) {
    const std::string shared = rig.dir() + "/tmp";  // as /tmp: anyone may create, sticky
    ASSERT_EQ(mkdir(shared.c_str(), 01777), 0);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    const std::string evil_run = shared + "/platform-0", evil_sock = shared + "/platform-1";
    Holder attacker(NOBODY, [&] {
        // A runtime directory open to all (but its group) with a fake channel and a fake
        // platformd in it, and a socket directory of its own (closed to others: its owner would
        // have had change rights).
        mkdir(evil_run.c_str(), 0757);
        chmod(evil_run.c_str(), 0757);
        mkdir((evil_run + "/dev").c_str(), 0755);
        mkdir(evil_sock.c_str(), 0755);
        bool ready = unix_socket(evil_run + "/dev/tz_cli_msg_transfer", true) >= 0 &&
                     unix_socket(evil_run + "/platformd.sock", true) >= 0;
        return ready ? "ready" : "no fake sockets";
    });
    ASSERT_EQ(attacker.report(), "ready");

    rig.set_socket_dir(evil_sock);
    pid_t refused = rig.start(bin("platformd"));
    EXPECT_EQ(rig.wait_exit(refused), 1);
    EXPECT_TRUE(contains(rig.log(refused),
                         "refusing the socket's directory: " + evil_sock + " belongs to uid 65534"))
        << rig.log(refused);

    rig.set_socket_dir(rig.dir());
    ASSERT_GT(rig.start_platformd(), 0);
    // tzd refuses to serve there, naming the directory; the tools do not ask the fakes.
    pid_t tzd = rig.start(bin("tzd"), {}, 0, {"PLATFORM_RUNDIR=" + evil_run});
    EXPECT_NE(rig.wait_exit(tzd), -1);
    EXPECT_TRUE(contains(
        rig.log(tzd), "refusing the runtime directory: " + evil_run + " is writable by every user"))
        << rig.log(tzd);
    EXPECT_TRUE(ended(root("tzctl", {"zone-of", "Europe/Paris"}, {"PLATFORM_RUNDIR=" + evil_run}),
                      3, "not asking the channel at " + evil_run));
    EXPECT_TRUE(
        ended(root("platformctl", {"status"}, {"PLATFORM_SOCKET=" + evil_run + "/platformd.sock"}),
              3, "not connecting to " + evil_run));
}

// Connections held open, to platformd and to the query channel (some sending half a message or
// never reading), leave root its commands and tzd the descriptors for its own files.
TEST_F(Attack, HeldConnectionsLeaveRootItsCommands) {
    ASSERT_GT(rig.start_platformd(), 0);
    // tzd at a small descriptor limit, as a service manager's default of 1024 is for a bigger
    // flood.
    pid_t tzd = rig.start("/usr/bin/prlimit", {"--nofile=256", bin("tzd")}, 0);
    ASSERT_TRUE(rig.commit_zone_eventually("CET", "Europe/Paris"));

    std::vector<proto::Conn> silent;
    std::vector<int> queries;
    Holder attacker(NOBODY, [&] {
        silent = connections(rig.socket(), 1005, true);
        for (int i = 0; i < 300; ++i)
            if (int fd = unix_socket(rig.channel(0), false); fd >= 0)
                queries.push_back(fd);
        // Half a message then gone, and one that sends on and on without reading a reply.
        for (int i = 0; i < 20 && !queries.empty(); ++i) {
            send(queries.back(), "\x01\x00\x00", 3, MSG_NOSIGNAL);
            close(queries.back());
            queries.pop_back();
        }
        std::vector<char> req(64, 0);
        for (int i = 0; i < 2000 && !queries.empty(); i++)
            if (send(queries[0], req.data(), req.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0)
                break;
        return std::to_string(silent.size()) + " " + std::to_string(queries.size());
    });
    ASSERT_NE(attacker.report(), "child failed");

    EXPECT_TRUE(ended(root("platformctl", {"status"}), 0, "dLRSC: card 0"));
    EXPECT_TRUE(ended(root("tzctl", {"zone-of", "Europe/Paris"}), 0, "CET"));
    EXPECT_TRUE(ended(rig.tzctl({"set", "EST", "America/New_York"}), 0));
    EXPECT_EQ(rig.zone_in_effect(0), "America/New_York");
    EXPECT_TRUE(rig.running(tzd));
    // Connections that never said HELLO are let go.
    EXPECT_TRUE(eventually([&] {
        std::string out = rig.platformctl({"status"}).out;
        auto at = out.find(" connection(s)"), start = out.rfind(", ", at);
        return at != std::string::npos && start != std::string::npos &&
               std::stoi(out.substr(start + 2)) < 10;
    }));
}

// Clients of another user that announce cards and then send without reading their replies: their
// cards are not cards of the router, and they cost platformd bounded memory.
TEST_F(Attack, ClientsOfAnotherUserGetNoCardsAndBoundedMemory) {
    pid_t pd = rig.start_platformd();
    long idle = rss_kib(pd);
    ASSERT_GT(idle, 0);
    {
        std::vector<proto::Conn> held;
        Holder attacker(NOBODY, [&] {
            held = connections(rig.socket(), 60, false, 100, true);
            for (auto &c : held)
                call(c, proto::T_SYSMGR_READY, proto::Writer().str("tzd"));
            std::vector<uint8_t> frame;
            proto::Writer w;
            w.str("list").u32(0);
            proto::encode(proto::T_CTL_FAULT, 1, w.data().data(), w.size(), frame);
            // Requests on every connection until none takes one for a second (or 30 s passed).
            auto start = std::chrono::steady_clock::now(), progress = start;
            while (std::chrono::steady_clock::now() - progress < 1s &&
                   std::chrono::steady_clock::now() - start < 30s)
                for (auto &c : held)
                    while (send(c.fd(), frame.data(), frame.size(), MSG_DONTWAIT | MSG_NOSIGNAL) >
                           0)
                        progress = std::chrono::steady_clock::now();
            return std::to_string(held.size()) + " connections";
        });
        ASSERT_EQ(attacker.report(), "60 connections");
        // A sanitizer keeps freed memory in quarantine and adds its own: RSS says nothing there.
        long during = rss_kib(pd);
        EXPECT_TRUE(kSanitized || during - idle <= 64 * 1024)
            << "RSS " << idle << " KiB idle, " << during << " under attack";
        Result show = root("platformctl", {"role", "show"});
        EXPECT_TRUE(ended(show, 0, "dLRSC: card 0"));
        EXPECT_FALSE(contains(show.out, "card 130")) << show.out;
    }
    // And nothing of them is left once they are gone.
    EXPECT_TRUE(eventually([&] {
        return !contains(rig.platformctl({"role", "show"}).out, "card 1");
    })) << rig.platformctl({"role", "show"}).out;
}
