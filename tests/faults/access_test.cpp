// Who may do what to platformd: everyone reads, only root and the owner of the socket's directory
// change anything. The second user is a forked child that dropped to another uid.
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/proto.h"
#include "platform/proto_cfg.h"
#include "rig.h"

using namespace faults;
namespace proto = platform::proto;

namespace {

struct Call {
    std::vector<std::string> args;
    const char *refusal;  // what a refused caller may not do; null: anyone may
};

// platformctl as a user who may read but not change the router.
const std::vector<Call> kCalls = {
    {{"role", "show"}, nullptr},
    {{"status"}, nullptr},
    {{"cfg", "get", TZ_ITEM}, nullptr},
    {{"cfg", "list", "/cfg/"}, nullptr},
    {{"fault", "list"}, nullptr},
    {{"role", "set", "1"}, "move the dLRSC role"},
    {{"fault", "lrd-fail", "60"}, "set or clear faults"},
    {{"fault", "clear"}, "set or clear faults"},
    {{"cfg", "set", TZ_ITEM, "EST", "America/New_York"}, "commit configuration"},
    {{"cfg", "delete", TZ_ITEM}, "commit configuration"},
};

std::string refusal(const std::string &dir, const std::string &what) {
    return "permission denied: only root or the owner of " + dir + " may " + what;
}

// As the calling user, over the wire: the statuses of a verifier registration, a notification
// registration, a role-event registration (and the event it brings), the LR question and a
// readiness report, as "verifier=1 notify=0 ...".
std::string protocol_calls(const std::string &socket) {
    proto::Conn c;
    std::string err;
    if (!c.connect(socket, 2000, &err) || !proto::hello(c, 1, uint32_t(getpid()), "probe", 0, err))
        return "no connection: " + err;
    std::string out;
    auto call = [&](const char *name, uint16_t type, const proto::Writer &w) {
        uint32_t status = ~0u;
        std::string message;
        std::vector<uint8_t> body;
        c.call(type, w, status, message, body);
        out += std::string(name) + "=" + std::to_string(status) + " ";
    };
    proto::Writer path;
    path.str("/cfg/gl/clock/").u32(0);
    call("verifier", proto::T_CFG_REG_VERIFY, path);
    call("notify", proto::T_CFG_REG_NOTIFY, path);
    call("events", proto::T_SYSMGR_LR_REGISTER, proto::Writer().u32(36));
    proto::Frame ev;
    uint32_t event = 0;
    if (c.recv(ev, 5000) == proto::Recv::ok && ev.type == proto::T_SYSMGR_LR_EVENT)
        proto::Reader(ev).u32(event);
    out += "event=" + std::to_string(event) + " ";
    call("lrd", proto::T_LRD_AM_I_DLRSC, proto::Writer());
    call("ready", proto::T_SYSMGR_READY, proto::Writer().str("probe"));
    return out;
}

class Access : public ::testing::Test {
  protected:
    void TearDown() override {
        if (HasFailure())
            std::cerr << rig.logs();
    }
    Rig rig;
};

}  // namespace

TEST_F(Access, AnotherUserReadsButChangesNothing) {
    ASSERT_GT(rig.start_platformd(), 0) << rig.logs();
    ASSERT_GT(rig.start_tzd(0), 0) << rig.logs();
    ASSERT_TRUE(rig.commit_zone_eventually("CET", "Europe/Paris"));
    const std::string &dir = rig.dir();

    for (const Call &call : kCalls) {
        SCOPED_TRACE(testing::PrintToString(call.args));  // some calls have one word only
        Result r = rig.platformctl(call.args, NOBODY);
        if (call.refusal) {
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, "platformctl: " + refusal(dir, call.refusal) + "\n");
        } else {
            EXPECT_EQ(r.status, 0) << r.err;
        }
    }
    // The refused calls changed nothing; root's calls still work.
    EXPECT_EQ(rig.stored_zone(), "CET Europe/Paris");
    Result status = rig.platformctl({"status"});
    EXPECT_TRUE(contains(status.out, "dLRSC: card 0")) << status.out;
    EXPECT_TRUE(contains(status.out, "faults: none")) << status.out;
    EXPECT_TRUE(contains(status.out, "changes allowed to root and uid 0 (owner of " + dir + ")"));
    EXPECT_EQ(rig.platformctl({"role", "set", "--force", "1"}).status, 0);
    EXPECT_EQ(rig.platformctl({"role", "set", "0"}).status, 0);

    // tzctl: the queries answer over the channel, a change is refused with the same reason.
    Result q = rig.tzctl({"zone-of", "Europe/Paris"}, NOBODY);
    EXPECT_EQ(q.status, 0) << q.err;
    EXPECT_TRUE(contains(q.out, "CET"));
    EXPECT_EQ(rig.tzctl({"show"}, NOBODY).status, 0);
    for (auto args : {std::vector<std::string>{"set", "EST", "America/New_York"},
                      std::vector<std::string>{"unset"}}) {
        Result r = rig.tzctl(args, NOBODY);
        EXPECT_NE(r.status, 0);
        EXPECT_TRUE(contains(r.err, refusal(dir, "commit configuration"))) << r.err;
    }
    EXPECT_EQ(rig.stored_zone(), "CET Europe/Paris");
    EXPECT_EQ(rig.zone_in_effect(0), "Europe/Paris");

    // Over the wire: only the verifier registration is refused.
    EXPECT_EQ(as_user(NOBODY, [&] { return protocol_calls(rig.socket()); }),
              "verifier=1 notify=0 events=0 event=32 lrd=0 ready=0 ");
    EXPECT_EQ(as_user(0, [&] { return protocol_calls(rig.socket()); }),
              "verifier=0 notify=0 events=0 event=32 lrd=0 ready=0 ");
}

TEST_F(Access, TheOwnerOfTheSocketDirectoryMayChangeTheRouter) {
    // The socket's directory was given to another user (by root, where only root can create one)
    // before platformd starts in it.
    const std::string dir = rig.dir() + "/backplane";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    ASSERT_EQ(chown(dir.c_str(), NOBODY, NOBODY), 0);
    rig.set_socket_dir(dir);
    ASSERT_GT(rig.start_platformd(), 0) << rig.logs();

    Result r = rig.platformctl({"role", "set", "--force", "2"}, NOBODY);
    EXPECT_EQ(r.status, 0) << r.err;
    r = rig.platformctl({"fault", "lrd-fail", "60"}, NOBODY);
    EXPECT_EQ(r.status, 0) << r.err;
    r = rig.platformctl({"fault", "clear"}, NOBODY);
    EXPECT_EQ(r.status, 0) << r.err;
    // Past the access check, the commit fails for want of a verifier.
    r = rig.platformctl({"cfg", "set", "/cfg/x", "1"}, NOBODY);
    EXPECT_EQ(r.err,
              "platformctl: no verifier is registered for /cfg/x; the dLRSC role is on card 2, "
              "which is down (no process of it is connected)\n");
    EXPECT_TRUE(
        contains(as_user(NOBODY, [&] { return protocol_calls(rig.socket()); }), "verifier=0 "));

    // Any other user still may not; root still may.
    r = rig.platformctl({"role", "set", "0"}, NOBODY - 1);
    EXPECT_EQ(r.err, "platformctl: " + refusal(dir, "move the dLRSC role") + "\n");
    EXPECT_TRUE(contains(rig.platformctl({"role", "show"}).out, "dLRSC: card 2"));
    EXPECT_EQ(rig.platformctl({"role", "set", "--force", "0"}).status, 0);
}

// The modes do not depend on the umask platformd and tzd start with.
TEST_F(Access, FilesAndSocketsGetTheirModesWhateverTheUmask) {
    for (mode_t mask : {mode_t(0), mode_t(077)}) {
        SCOPED_TRACE("umask " + std::to_string(mask));
        Rig r;
        // The card's directory is the test's; what platformd and tzd make below it is checked.
        ASSERT_EQ(mkdir(r.rundir(0).c_str(), 0755), 0);
        mode_t old = umask(mask);
        pid_t pd = r.start_platformd();
        pid_t tzd = r.start_tzd(0);
        umask(old);
        ASSERT_GT(pd, 0) << r.logs();
        ASSERT_GT(tzd, 0) << r.logs();
        const std::vector<std::pair<std::string, int>> modes = {
            {r.socket(), 0666},
            {r.socket() + ".lock", 0600},
            {r.statedir(), 0700},
            {r.statedir() + "/cfgdb.sqlite3", 0600},
            {r.statedir() + "/cfgdb.sqlite3-wal", 0600},
            {r.rundir(0) + "/dev", 0755},
            {r.channel(0), 0666},
            {r.rundir(0) + "/ltrace", 0755},
            {r.rundir(0) + "/ltrace/tz_ltrace", 0644},
            {r.rundir(0) + "/ltrace/.lock", 0600},
        };
        for (auto &[path, mode] : modes)
            EXPECT_EQ(mode_of(path), mode) << path << " has mode " << std::oct << mode_of(path);
        // And they serve: another user reads the trace and queries the channel.
        Result trace = r.platformctl({"trace", "tz_ltrace"}, NOBODY);
        EXPECT_EQ(trace.status, 0) << trace.err;
        EXPECT_EQ(r.tzctl({"complete", "CE"}, NOBODY).status, 0);
    }
}

// tzd of the dLRSC card run by another user: its verifier registration is refused, and it ends
// (a dLRSC that cannot verify must not run on) with an error record that says why, in a file
// every user may read whatever tzd's umask.
TEST_F(Access, ATzdOfAnotherUserCannotVerifyAndSaysWhy) {
    ASSERT_EQ(mkdir(rig.rundir(0).c_str(), 0755), 0);
    ASSERT_EQ(chown(rig.rundir(0).c_str(), NOBODY, NOBODY), 0);
    ASSERT_GT(rig.start_platformd(), 0) << rig.logs();
    mode_t old = umask(077);
    pid_t tzd = rig.start_tzd(0, NOBODY);
    umask(old);
    ASSERT_GT(tzd, 0) << rig.logs();
    ASSERT_TRUE(eventually([&] { return !rig.running(tzd); }, 60s)) << rig.logs();
    const std::string records = read_file(rig.rundir(0) + "/records/tzd.log");
    EXPECT_TRUE(contains(records, "Verification failed : Operation not permitted")) << records;
    EXPECT_EQ(mode_of(rig.rundir(0) + "/records/tzd.log"), 0644);
    EXPECT_EQ(mode_of(rig.rundir(0) + "/records"), 0755);
    EXPECT_TRUE(
        contains(rig.log(rig.platformd()), "uid 65534: refused, may not register as a verifier"));
}
