// Who may do what to platformd: everyone reads, only root and the owner of the socket's directory
// change anything. The second user is a forked child that dropped to another uid.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/proto_cfg.h"
#include "rig.h"

using namespace faults;
namespace proto = platform::proto;

namespace {

// Permission bits of PATH (not following a link); -1 when it does not exist.
int mode_of(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

std::string refusal(const std::string &dir, const std::string &what) {
    return "permission denied: only root or the owner of " + dir + " may " + what;
}

// As the calling user, over the wire: the statuses of a verifier registration, a notification
// registration, a role-event registration (and the event it brings), the LR question and a
// readiness report, as "verifier=1 notify=0 ...".
std::string protocol_calls(const std::string &socket) {
    proto::Conn c;
    std::string err;
    if (!c.connect(socket, 2000, &err) || !proto::hello(c, 1, getpid(), "probe", 0, err))
        return "no connection: " + err;
    std::string out;
    proto::Writer path;
    path.str("/cfg/gl/clock/").u32(0);
    out += "verifier=" + std::to_string(call(c, proto::T_CFG_REG_VERIFY, path));
    out += " notify=" + std::to_string(call(c, proto::T_CFG_REG_NOTIFY, path));
    out +=
        " events=" + std::to_string(call(c, proto::T_SYSMGR_LR_REGISTER, proto::Writer().u32(36)));
    proto::Frame ev;
    uint32_t event = 0;
    if (c.recv(ev, 5000) == proto::Recv::ok && ev.type == proto::T_SYSMGR_LR_EVENT)
        proto::Reader(ev).u32(event);
    out += " event=" + std::to_string(event);
    out += " lrd=" + std::to_string(call(c, proto::T_LRD_AM_I_DLRSC, proto::Writer()));
    return out +
           " ready=" + std::to_string(call(c, proto::T_SYSMGR_READY, proto::Writer().str("probe")));
}

using Access = RigTest;

}  // namespace

TEST_F(Access, AnotherUserReadsButChangesNothing) {
    ASSERT_GT(rig.start_platformd(), 0);
    ASSERT_GT(rig.start_tzd(0), 0);
    ASSERT_TRUE(rig.commit_zone_eventually("CET", "Europe/Paris"));
    struct {
        const char *program;
        std::vector<std::string> args;
        const char *refusal;  // what a refused caller may not do; null: anyone may
    } calls[] = {
        {"platformctl", {"role", "show"}, nullptr},
        {"platformctl", {"status"}, nullptr},
        {"platformctl", {"cfg", "get", TZ_ITEM}, nullptr},
        {"platformctl", {"fault", "list"}, nullptr},
        {"tzctl", {"zone-of", "Europe/Paris"}, nullptr},
        {"tzctl", {"show"}, nullptr},
        {"platformctl", {"role", "set", "1"}, "move the dLRSC role"},
        {"platformctl", {"fault", "lrd-fail", "60"}, "set or clear faults"},
        {"platformctl", {"cfg", "set", TZ_ITEM, "EST", "America/New_York"}, "commit configuration"},
        {"tzctl", {"set", "EST", "America/New_York"}, "commit configuration"},
    };
    for (auto &c : calls) {
        Result r = rig.run_as(NOBODY, c.program, c.args);
        std::string err = c.refusal ? refusal(rig.dir(), c.refusal) : "";
        EXPECT_TRUE(ended(r, c.refusal ? 1 : 0, err)) << c.program << " " << c.args[0];
    }
    // The refused calls changed nothing; root's calls still work.
    EXPECT_EQ(rig.stored_zone(), "CET Europe/Paris");
    EXPECT_EQ(rig.zone_in_effect(0), "Europe/Paris");
    Result status = rig.platformctl({"status"});
    EXPECT_TRUE(contains(status.out, "dLRSC: card 0")) << status.out;
    EXPECT_TRUE(contains(status.out, "faults: none")) << status.out;
    EXPECT_TRUE(
        contains(status.out, "changes allowed to root and uid 0 (owner of " + rig.dir() + ")"));

    // Over the wire: only the verifier registration is refused.
    EXPECT_EQ(Holder(NOBODY, [&] { return protocol_calls(rig.socket()); }).report(),
              "verifier=1 notify=0 events=0 event=32 lrd=0 ready=0");
    EXPECT_EQ(protocol_calls(rig.socket()), "verifier=0 notify=0 events=0 event=32 lrd=0 ready=0");
}

TEST_F(Access, TheOwnerOfTheSocketDirectoryMayChangeTheRouter) {
    // The socket's directory was given to another user (by root, where only root can create one)
    // before platformd starts in it.
    const std::string dir = rig.dir() + "/backplane";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    ASSERT_EQ(chown(dir.c_str(), NOBODY, NOBODY), 0);
    rig.set_socket_dir(dir);
    ASSERT_GT(rig.start_platformd(), 0);
    for (std::vector<std::string> args : {std::vector<std::string>{"role", "set", "--force", "2"},
                                          {"fault", "lrd-fail", "60"},
                                          {"fault", "clear"}})
        EXPECT_TRUE(ended(rig.platformctl(args, NOBODY), 0)) << args[0];
    // Past the access check, the commit fails for want of a verifier.
    EXPECT_EQ(rig.platformctl({"cfg", "set", "/cfg/x", "1"}, NOBODY).err,
              "platformctl: no verifier is registered for /cfg/x; the dLRSC role is on card 2, "
              "which is down (no process of it is connected)\n");
    EXPECT_TRUE(contains(Holder(NOBODY, [&] { return protocol_calls(rig.socket()); }).report(),
                         "verifier=0 "));

    // Any other user still may not; root still may.
    EXPECT_EQ(rig.platformctl({"role", "set", "0"}, NOBODY - 1).err,
              "platformctl: " + refusal(dir, "move the dLRSC role") + "\n");
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
        pid_t pd = r.start_platformd(), tzd = r.start_tzd(0);
        umask(old);
        ASSERT_TRUE(pd > 0 && tzd > 0) << r.log(r.platformd());
        const std::string run = r.rundir(0), db = r.statedir() + "/cfgdb.sqlite3";
        const std::pair<std::string, int> modes[] = {
            {r.socket(), 0666},
            {r.socket() + ".lock", 0600},
            {r.statedir(), 0700},
            {db, 0600},
            {db + "-wal", 0600},
            {run + "/dev", 0755},
            {r.channel(0), 0666},
            {run + "/ltrace", 0755},
            {run + "/ltrace/.lock", 0600},
            {run + "/ltrace/tz_ltrace", 0644},
        };
        for (auto &[path, mode] : modes)
            EXPECT_EQ(mode_of(path), mode) << path << " has mode " << std::oct << mode_of(path);
        // And they serve: another user reads the trace and queries the channel.
        EXPECT_TRUE(ended(r.platformctl({"trace", "tz_ltrace"}, NOBODY), 0));
        EXPECT_TRUE(ended(r.tzctl({"complete", "CE"}, NOBODY), 0));
    }
}

// tzd of the dLRSC card run by another user: its verifier registration is refused, and it ends
// (a dLRSC that cannot verify must not run on) with an error record that says why, in a file
// every user may read whatever tzd's umask.
TEST_F(Access, ATzdOfAnotherUserCannotVerifyAndSaysWhy) {
    ASSERT_EQ(mkdir(rig.rundir(0).c_str(), 0755), 0);
    ASSERT_EQ(chown(rig.rundir(0).c_str(), NOBODY, NOBODY), 0);
    ASSERT_GT(rig.start_platformd(), 0);
    mode_t old = umask(077);
    pid_t tzd = rig.start_tzd(0, NOBODY);
    umask(old);
    ASSERT_GT(tzd, 0);
    ASSERT_TRUE(eventually([&] { return !rig.running(tzd); }, 60s));
    const std::string records = rig.rundir(0) + "/records";
    EXPECT_TRUE(
        contains(read_file(records + "/tzd.log"), "Verification failed : Operation not permitted"));
    EXPECT_EQ(mode_of(records + "/tzd.log"), 0644);
    EXPECT_EQ(mode_of(records), 0755);
    EXPECT_TRUE(
        contains(rig.log(rig.platformd()), "uid 65534: refused, may not register as a verifier"));
}
