// Cluster mode as an operator runs it: a real 3-member etcd cluster and 3 cards, each a
// platformd with PLATFORM_ETCD set and its own tzd, sharing nothing but the etcd endpoints.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>

#include "etcd/etcd.h"
#include "etcd_cluster.h"
#include "partition.h"
#include "platform/ltrace_reader.h"
#include "support.h"

using namespace std::chrono_literals;
using ts::contains;
using ts::eventually;
namespace etcd = platform::etcd;

namespace {

const std::string kItem = "/cfg/gl/clock/timezone";
constexpr int kCards = 3;

class Cluster : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(etcd_.ready()) << etcd_.dir();
        router_ = "r" + std::to_string(getpid());
        for (int n = 0; n < kCards; n++) {
            card_[n].add_zones({"UTC", "Europe/Paris", "Europe/Berlin", "Asia/Kolkata"});
            endpoints_[n] = etcd_.endpoint_list();
        }
    }
    // Card N's platformd on ENDPOINTS (all members unless a test chose some), then its tzd.
    void start_card(int n) {
        pd_[n] = card_[n].start(ts::bin("platformd"), {}, n,
                                {"PLATFORM_ETCD=" + endpoints_[n], "PLATFORM_ROUTER=" + router_});
        ASSERT_TRUE(eventually([&] { return ctl(n, {"status"}).status == 0; }))
            << card_[n].log(pd_[n]);
        tzd_[n] = card_[n].start(ts::bin("tzd"), {}, n);
    }
    void start_all() {
        for (int n = 0; n < kCards; n++)
            start_card(n);
        for (int n = 0; n < kCards; n++)
            ASSERT_TRUE(eventually([&] {
                return card_[n].tzctl(n, {"complete", "CET"}).status == 0;
            })) << card_[n].log(tzd_[n]);
        // Through start-up: from then on each tzd follows every role change.
        for (int n = 0; n < kCards; n++)
            ASSERT_TRUE(eventually([&] {
                return contains(ctl(n, {"trace", "tz_ltrace"}).out, "dlrsc event = ");
            })) << card_[n].log(tzd_[n]);
    }
    ts::Result ctl(int n, const std::vector<std::string> &args) {
        return card_[n].run(ts::bin("platformctl"), args, n);
    }
    ts::Result set(int n, const std::string &abbr, const std::string &zone) {
        return ctl(n, {"cfg", "set", kItem, abbr, zone});
    }
    // True once a commit from card N succeeds (the dLRSC's verifier may still be registering).
    bool commits(int n, const std::string &abbr, const std::string &zone) {
        return eventually([&] { return set(n, abbr, zone).status == 0; });
    }
    bool in_effect_everywhere(const std::string &zone, std::chrono::milliseconds t = 20s) {
        return eventually(
            [&] {
                for (int n = 0; n < kCards; n++)
                    if (card_[n].zone_in_effect(n) != zone)
                        return false;
                return true;
            },
            t);
    }
    std::string where() {
        std::string s;
        for (int n = 0; n < kCards; n++)
            s += " card " + std::to_string(n) + ": '" + card_[n].zone_in_effect(n) + "'";
        return s;
    }
    // The member the cluster takes for its leader.
    int leader() {
        etcd::Options o;
        o.endpoints = etcd_.endpoints();
        etcd::Client c(o);
        auto r = c.status_sync();
        for (int m = 0; m < etcd_.size(); m++) {
            etcd::Options one;
            one.endpoints = {etcd_.endpoint(m)};
            etcd::Client cm(one);
            if (cm.status_sync().member == r.leader)
                return m;
        }
        return 0;
    }
    // The item's key as etcd has it: its value ("" when absent) and mod revision.
    std::pair<std::string, int64_t> stored() { return key("cfg" + kItem); }
    // A key below the router's, as etcd has it.
    std::pair<std::string, int64_t> key(const std::string &name) {
        etcd::Options o;
        o.endpoints = etcd_.endpoints();
        etcd::Client c(o);
        auto r = c.range_sync("/" + router_ + "/" + name);
        if (!r.ok() || r.kvs.empty())
            return {"", 0};
        return {r.kvs[0].value, r.kvs[0].mod_revision};
    }

    // The last role event card N's tzd traced and when (CLOCK_REALTIME ns); {-1, 0} when none.
    std::pair<int, uint64_t> tzd_event(int n) {
        std::vector<platform::LtraceEntry> lines;
        std::string error;
        platform::ltrace_read_file(card_[n].rundir(n) + "/ltrace/tz_ltrace", lines, error);
        for (auto it = lines.rbegin(); it != lines.rend(); ++it)
            if (auto at = it->text.find("state = "); at != std::string::npos)
                return {atoi(it->text.c_str() + at + 8), it->time_ns};
        return {-1, 0};
    }
    // The card whose tzd has event 4 while every other card in LIVE has 32; -1 when not so.
    int sole_holder(const std::vector<int> &live) {
        int holder = -1;
        for (int n : live) {
            int e = tzd_event(n).first;
            if (e == 4 && holder >= 0)
                return -1;
            if (e == 4)
                holder = n;
            else if (e != 32)
                return -1;
        }
        return holder;
    }
    // Card N's etcd traffic goes through a loopback address of its own, so that it can be cut.
    void own_addresses() {
        for (int n = 0; n < kCards; n++)
            endpoints_[n] = etcd_.endpoint_list(ts::EtcdCluster::ALIASES[n]);
    }
    static uint64_t now_ns() {
        timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
    }

    ts::EtcdCluster etcd_;  // first made, last gone: the cards stop before their etcd
    std::string router_;
    std::string endpoints_[kCards];
    ts::Router card_[kCards];
    pid_t pd_[kCards] = {-1, -1, -1}, tzd_[kCards] = {-1, -1, -1};
};

}  // namespace

// A commit from a card that does not hold the role is verified on the dLRSC, stored in etcd
// and in effect on every card; a refused one leaves all of that as it was; so does the status.
TEST_F(Cluster, CommitFromAFollowerCardReachesEveryCard) {
    start_all();
    ASSERT_TRUE(commits(1, "CET", "Europe/Paris")) << card_[0].log(pd_[0]) << card_[1].log(pd_[1]);
    EXPECT_EQ(stored().first, R"(["CET","Europe/Paris"])");
    EXPECT_TRUE(in_effect_everywhere("Europe/Paris")) << where();
    auto got = ctl(2, {"cfg", "get", kItem});
    EXPECT_EQ(got.out, "CET Europe/Paris\n") << got.err;

    auto before = stored();
    auto refused = set(2, "XXX", "Nowhere/City");
    EXPECT_EQ(refused.status, 1) << refused.out << refused.err;
    EXPECT_FALSE(refused.err.empty());
    EXPECT_EQ(stored(), before);
    EXPECT_EQ(card_[0].zone_in_effect(0), "Europe/Paris");
    EXPECT_EQ(card_[2].zone_in_effect(2), "Europe/Paris");

    auto del = ctl(2, {"cfg", "delete", kItem});
    EXPECT_EQ(del.status, 0) << del.err;
    EXPECT_EQ(stored().first, "");
    EXPECT_TRUE(in_effect_everywhere("")) << where();

    // Each card is up in etcd, with its ready programs.
    for (int n = 0; n < kCards; n++)
        EXPECT_TRUE(eventually([&] {
            auto card =
                nlohmann::json::parse(key("cards/" + std::to_string(n)).first, nullptr, false);
            return !card.is_discarded() && card["pid"] == pd_[n] &&
                   card["ready"] == nlohmann::json::array({"tzd"});
        })) << key("cards/" + std::to_string(n)).first;

    // Every card's report of the zone in effect reaches the status of any card.
    EXPECT_TRUE(eventually([&] {
        std::string out = ctl(1, {"status"}).out;
        for (int n = 0; n < kCards; n++)
            if (!contains(out,
                          "  card " + std::to_string(n) + ": none, as stored (reported by pid"))
                return false;
        return true;
    })) << ctl(1, {"status"}).out;

    auto st = ctl(1, {"status"});
    ASSERT_EQ(st.status, 0);
    for (auto *line : {"mode: cluster", "etcd endpoints: ", "etcd member in use: http://127.0.0.1:",
                       "etcd health: healthy", "last seen revision: ", "cards up in etcd: 0 1 2\n"})
        EXPECT_TRUE(contains(st.out, line)) << line << "\n" << st.out;
}

// Card 2 talks only to one member; while that member is stopped the others store a commit and a
// deletion. When it is back, card 2's follower is handed both, the deletion included.
TEST_F(Cluster, CardCutOffCatchesUpWithACommitAndADeletion) {
    const std::string other = "/cfg/gl/clock/ts";
    // The member cut off is not the leader, so that the others go on without an election.
    int cut = (leader() + 1) % 3, a = (cut + 1) % 3, b = (cut + 2) % 3;
    endpoints_[2] = etcd_.endpoint(cut);
    endpoints_[0] = endpoints_[1] = etcd_.endpoint(a) + "," + etcd_.endpoint(b);
    start_all();
    pid_t peer = card_[2].start(ts::bin("platform_peer"), {"--notify"}, 2);
    ASSERT_TRUE(commits(1, "IST", "Asia/Kolkata"));
    ASSERT_EQ(ctl(1, {"cfg", "set", other, "a", "b"}).status, 0);
    ASSERT_TRUE(in_effect_everywhere("Asia/Kolkata")) << where();
    ASSERT_TRUE(card_[2].wait_line(peer, "notified ts 0 a|b")) << card_[2].log(peer);

    etcd_.pause(cut);
    auto paris = set(0, "CET", "Europe/Paris");
    ASSERT_EQ(paris.status, 0) << paris.err << card_[0].log(pd_[0]);
    ASSERT_EQ(ctl(1, {"cfg", "delete", other}).status, 0);
    EXPECT_EQ(card_[2].zone_in_effect(2), "Asia/Kolkata");  // cut off: still the old one
    // Card 2 finds its stream dead; when it reopens, it reads everything and works out the rest.
    EXPECT_TRUE(eventually([&] { return contains(ctl(2, {"status"}).out, "(watch broken"); }));
    etcd_.resume(cut);

    EXPECT_TRUE(card_[2].wait_line(peer, "notified timezone 0 CET|Europe/Paris"))
        << card_[2].log(peer) << card_[2].log(pd_[2]);
    EXPECT_TRUE(card_[2].wait_line(peer, "notified ts 4 -")) << card_[2].log(peer);
    EXPECT_TRUE(in_effect_everywhere("Europe/Paris")) << where();
}

// The role key moves the verifier: commits are then verified on the new dLRSC. A card that is
// not up in etcd is refused the role.
TEST_F(Cluster, RoleSetMovesTheVerifier) {
    start_all();
    auto refused = ctl(0, {"role", "set", "7"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(contains(refused.err, "card 7 is down")) << refused.err;

    ASSERT_EQ(ctl(0, {"role", "set", "2"}).status, 0);
    ASSERT_TRUE(eventually([&] { return contains(ctl(1, {"status"}).out, "dLRSC: card 2\n"); }));
    ASSERT_TRUE(eventually([&] { return sole_holder({0, 1, 2}) == 2; }));
    // Forced to a card that is down: wanted, but the holder keeps the role meanwhile.
    auto since = tzd_event(2).second;
    auto forced = ctl(0, {"role", "set", "--force", "7"});
    EXPECT_EQ(forced.status, 0) << forced.err;
    EXPECT_TRUE(contains(forced.out, "card 7 is down; it is wanted")) << forced.out;
    EXPECT_EQ(key("dlrsc-wanted").first, "7");
    std::this_thread::sleep_for(3s);  // longer than the others wait before they campaign
    EXPECT_EQ(tzd_event(2), std::make_pair(4, since));
    ASSERT_TRUE(commits(0, "IST", "Asia/Kolkata")) << card_[2].log(pd_[2]);
    EXPECT_TRUE(in_effect_everywhere("Asia/Kolkata")) << where();
    // tzctl commits from any card too.
    auto tz = card_[1].tzctl(1, {"set", "Europe/Berlin"});
    EXPECT_EQ(tz.status, 0) << tz.err;
    EXPECT_TRUE(in_effect_everywhere("Europe/Berlin")) << where();
    EXPECT_TRUE(contains(ctl(2, {"status"}).out, "2 stored as the dLRSC"))
        << ctl(2, {"status"}).out;
}

// role show on any card describes every card of the router from the cards' keys: which is up,
// which holds the role, and a card whose platformd has gone as down.
TEST_F(Cluster, RoleShowDescribesEveryCard) {
    start_all();
    ASSERT_EQ(ctl(0, {"role", "set", "2"}).status, 0);
    ASSERT_TRUE(eventually([&] {
        return contains(ctl(1, {"role", "show"}).out, "dLRSC: card 2\n");
    }));
    auto shown = ctl(1, {"role", "show"}).out;
    for (auto *line : {"card 0: not dLRSC, up, ready (2 processes, 1 ready, 1 registered",
                       "card 1: not dLRSC, up, ready", "card 2: dLRSC, up, ready"})
        EXPECT_TRUE(contains(shown, line)) << line << "\n" << shown;

    card_[0].stop(tzd_[0], SIGTERM);
    card_[0].stop(pd_[0], SIGTERM);
    EXPECT_TRUE(eventually([&] {
        return contains(ctl(1, {"role", "show"}).out, "card 0: not dLRSC, down\n");
    })) << ctl(1, {"role", "show"}).out;
}

// A member is killed and started again while one card commits a stream of items: every commit
// that was acknowledged reaches a follower exactly once and in order, none that failed does.
TEST_F(Cluster, MemberKilledUnderAStreamOfCommits) {
    start_all();
    pid_t peer = card_[2].start(ts::bin("platform_peer"), {"--notify"}, 2);
    ASSERT_TRUE(commits(1, "C0", "Europe/Paris"));
    ASSERT_TRUE(card_[2].wait_line(peer, "notified timezone 0 C0|Europe/Paris"));

    constexpr int kCommits = 40;
    std::vector<int> status(kCommits, -1);
    std::atomic<int> done{0};
    std::thread committer([&] {
        for (int i = 1; i < kCommits; i++) {
            status[i] =
                set(1, "C" + std::to_string(i), i % 2 ? "Europe/Berlin" : "Europe/Paris").status;
            done = i;
        }
    });
    int victim = leader();  // the hardest one to lose
    ASSERT_TRUE(eventually([&] { return done >= 8; }, 60s));
    etcd_.kill(victim);
    ASSERT_TRUE(eventually([&] { return done >= 20; }, 120s));
    EXPECT_TRUE(etcd_.start(victim));
    committer.join();

    // What the follower was handed, in order, once it has caught up with what is stored (the
    // watch hands the last commits over after their replies).
    std::vector<int> seen;
    auto follower_caught_up = [&] {
        seen.clear();
        for (auto &line : card_[2].lines(peer, "notified timezone 0 C"))
            seen.push_back(std::stoi(line.substr(strlen("notified timezone 0 C"))));
        int last = seen.empty() ? -1 : seen.back();
        return stored().first == "[\"C" + std::to_string(last) + "\",\"" +
                                     (last % 2 ? "Europe/Berlin" : "Europe/Paris") + "\"]";
    };
    EXPECT_TRUE(eventually(follower_caught_up, 10s)) << stored().first;
    int acked = 0;
    for (int i = 1; i < kCommits; i++) {
        int times = int(std::count(seen.begin(), seen.end(), i));
        EXPECT_TRUE(status[i] == 0 || status[i] == 1 || status[i] == 5) << i << ": " << status[i];
        if (status[i] == 0)
            EXPECT_EQ(times, 1) << "commit " << i << " acknowledged";
        else if (status[i] == 1)
            EXPECT_EQ(times, 0) << "commit " << i << " failed";
        else
            EXPECT_LE(times, 1) << "commit " << i << " of unknown outcome";
        acked += status[i] == 0;
    }
    printf("commits acknowledged: %d of %d (the others failed or had an unknown outcome)\n", acked,
           kCommits - 1);
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_GE(acked, kCommits / 2);
    int last = seen.empty() ? -1 : seen.back();
    EXPECT_EQ(stored().first, "[\"C" + std::to_string(last) + "\",\"" +
                                  (last % 2 ? "Europe/Berlin" : "Europe/Paris") + "\"]");
}

// Without a quorum a commit ends within its time as failed or "outcome unknown", never done;
// queries go on and no card's zone changes. Once the quorum is back, commits go through again.
TEST_F(Cluster, QuorumLostAndRegained) {
    start_all();
    ASSERT_TRUE(commits(1, "CET", "Europe/Paris"));
    ASSERT_TRUE(in_effect_everywhere("Europe/Paris")) << where();
    int keep = leader(), a = (keep + 1) % 3, b = (keep + 2) % 3;
    etcd_.kill(a);
    etcd_.kill(b);

    auto lost = set(1, "CET", "Europe/Berlin");
    EXPECT_TRUE(lost.status == 1 || lost.status == 5) << lost.status << lost.err;
    printf("commit without a quorum: exit status %d, %s", lost.status, lost.err.c_str());
    auto got = ctl(2, {"cfg", "get", kItem});
    EXPECT_EQ(got.out, "CET Europe/Paris\n") << got.err;
    EXPECT_TRUE(contains(ctl(2, {"status"}).out, "mode: cluster"));
    for (int n = 0; n < kCards; n++)
        EXPECT_EQ(card_[n].zone_in_effect(n), "Europe/Paris") << n;

    ASSERT_TRUE(etcd_.start(a) && etcd_.start(b));
    ASSERT_TRUE(commits(2, "IST", "Asia/Kolkata"));
    EXPECT_TRUE(in_effect_everywhere("Asia/Kolkata")) << where();
}

// A committer that goes away before its commit is stored takes it back: the dLRSC's verifier,
// held up meanwhile, accepts and applies it, but the store finds the commit withdrawn, nothing is
// stored and the verifier's card goes back to the stored zone.
TEST_F(Cluster, CommitOfAGoneCommitterIsNeverStored) {
    start_all();
    ASSERT_TRUE(commits(1, "CET", "Europe/Paris"));
    ASSERT_TRUE(in_effect_everywhere("Europe/Paris")) << where();
    auto before = stored();

    kill(tzd_[0], SIGSTOP);
    pid_t committer =
        card_[1].start(ts::bin("platformctl"), {"cfg", "set", kItem, "IST", "Asia/Kolkata"}, 1);
    EXPECT_TRUE(eventually([&] { return contains(ctl(0, {"status"}).out, " 1 queued here"); }));
    card_[1].stop(committer, SIGKILL);
    EXPECT_TRUE(eventually([&] { return contains(ctl(1, {"status"}).out, " 0 of this card"); }));
    kill(tzd_[0], SIGCONT);

    EXPECT_TRUE(eventually([&] { return contains(ctl(0, {"status"}).out, " 0 queued here"); }));
    EXPECT_EQ(stored(), before);
    EXPECT_TRUE(in_effect_everywhere("Europe/Paris")) << where();
    EXPECT_TRUE(contains(card_[0].log(tzd_[0]), "Asia/Kolkata"))  // it did apply it meanwhile
        << card_[0].log(tzd_[0]);
}

// The holder's card fails in one of three ways; another card's tzd has event 4 within the
// deadline and commits go through it. A holder cut off from etcd (a real partition as root)
// gives its tzd event 32 before any other card's tzd has event 4. Once the fault ends there is
// one holder and every card has the stored zone.
class HolderFault : public Cluster, public ::testing::WithParamInterface<std::string> {};

TEST_P(HolderFault, AnotherCardTakesTheRole) {
    std::string fault = GetParam();
    own_addresses();
    start_all();
    const std::vector<int> all = {0, 1, 2};
    ASSERT_TRUE(eventually([&] { return sole_holder(all) == 0; })) << where();
    ASSERT_TRUE(commits(1, "CET", "Europe/Paris"));
    ASSERT_TRUE(in_effect_everywhere("Europe/Paris")) << where();

    ts::Partition cut;
    bool real_cut = fault == "partition" && ts::Partition::available();
    if (fault == "partition" && !real_cut)
        printf("not root (or no nftables): the partition is stood in for by SIGSTOP\n");
    uint64_t t0 = now_ns();
    if (fault == "kill") {
        card_[0].stop(pd_[0], SIGKILL);
        card_[0].stop(tzd_[0], SIGKILL);
    } else if (real_cut) {
        ASSERT_TRUE(cut.cut_address(ts::EtcdCluster::ALIASES[0], etcd_.client_ports()));
    } else {
        kill(pd_[0], SIGSTOP);
    }
    int next = -1;
    ASSERT_TRUE(eventually(
        [&] {
            for (int n : {1, 2})
                if (auto [e, t] = tzd_event(n); e == 4 && t > t0)
                    next = n;
            return next >= 0;
        },
        10s))
        << card_[1].log(pd_[1]) << card_[2].log(pd_[2]);
    auto [event, at] = tzd_event(next);
    printf("failover after %s of the holder's platformd: card %d's tzd had event 4 after %llu ms\n",
           fault.c_str(), next, (unsigned long long)((at - t0) / 1000000));
    if (real_cut) {
        auto [e0, t32] = tzd_event(0);
        EXPECT_EQ(e0, 32) << card_[0].log(pd_[0]);
        EXPECT_LT(t32, at) << "the cut-off holder demoted itself after another card took over";
    }
    int other = 3 - next;
    EXPECT_TRUE(eventually([&] { return set(other, "IST", "Asia/Kolkata").status == 0; }, 10s))
        << card_[next].log(pd_[next]);

    cut.heal();
    if (fault == "kill") {
        start_card(0);
        ASSERT_TRUE(eventually([&] { return tzd_event(0).first == 32; })) << card_[0].log(tzd_[0]);
    } else {
        kill(pd_[0], SIGCONT);
    }
    // One holder, the one etcd names (normally still NEXT; a load spike may have moved it on).
    EXPECT_TRUE(eventually(
        [&] {
            int h = sole_holder(all);
            return h >= 0 && key("dlrsc").first == std::to_string(h);
        },
        10s))
        << tzd_event(0).first << " " << tzd_event(1).first << " " << tzd_event(2).first;
    EXPECT_TRUE(in_effect_everywhere("Asia/Kolkata", 10s)) << where();
    EXPECT_EQ(stored().first, R"(["IST","Asia/Kolkata"])");
}

INSTANTIATE_TEST_SUITE_P(Cluster, HolderFault, ::testing::Values("kill", "stop", "partition"),
                         [](const auto &info) { return info.param; });

// A holder paused in the middle of a commit loses the role; when it runs again it finishes the
// commit, but its store is fenced on the role as it took it and stores nothing, while the new
// holder's verifier still holds the same commit back. Once that verifier goes on, the commit is
// the new holder's to finish. (Verifiers of the item itself, which win over tzd's of the folder
// and, unlike tzd, stay verifiers whatever the role.)
TEST_F(Cluster, DeposedHolderNeverStores) {
    start_all();
    ASSERT_TRUE(commits(1, "CET", "Europe/Paris"));
    ASSERT_TRUE(in_effect_everywhere("Europe/Paris")) << where();
    ASSERT_TRUE(eventually([&] { return sole_holder({0, 1, 2}) == 0; }));
    auto before = stored();
    pid_t verifier[2];
    for (int n : {0, 1}) {  // card 1 is the next holder: the lowest card up
        verifier[n] = card_[n].start(ts::bin("platform_peer"), {"--verify", "--path=" + kItem}, n);
        std::string count = n == 0 ? "verifiers 2," : "verifiers 1,";  // and tzd's on card 0
        ASSERT_TRUE(eventually([&] { return contains(ctl(n, {"status"}).out, count); }));
        kill(verifier[n], SIGSTOP);
    }
    pid_t committer =
        card_[2].start(ts::bin("platformctl"), {"cfg", "set", kItem, "IST", "Asia/Kolkata"}, 2);
    ASSERT_TRUE(eventually([&] { return contains(ctl(0, {"status"}).out, " 1 queued here"); }));
    kill(pd_[0], SIGSTOP);
    EXPECT_TRUE(eventually([&] { return contains(ctl(1, {"status"}).out, " 1 queued here"); }))
        << ctl(1, {"status"}).out;
    kill(pd_[0], SIGCONT);
    kill(verifier[0], SIGCONT);
    // The old holder's verifier accepts and applies; its store must find the role gone.
    EXPECT_TRUE(eventually([&] { return contains(ctl(0, {"status"}).out, " 0 queued here"); }))
        << card_[0].log(pd_[0]);
    EXPECT_TRUE(contains(card_[0].log(pd_[0]), "no longer holds the dLRSC role"))
        << card_[0].log(pd_[0]);
    EXPECT_EQ(stored(), before);

    kill(verifier[1], SIGCONT);
    // Done by card 1 (or, on a slow machine, timed out there): stored exactly when acknowledged.
    int status = card_[2].wait_exit(committer);
    ASSERT_TRUE(status == 0 || status == 1) << status << card_[2].log(committer);
    EXPECT_EQ(stored().first, status == 0 ? R"(["IST","Asia/Kolkata"])" : before.first);
    std::string zone = status == 0 ? "Asia/Kolkata" : "Europe/Paris";
    for (int n : {0, 2})
        EXPECT_TRUE(eventually([&] { return card_[n].zone_in_effect(n) == zone; }, 10s)) << where();
}

// The fault campaign: seeded, bounded rounds of random commits from random cards with one fault
// per round (a card's platformd killed, stopped or cut off; an etcd member killed, stopped or
// cut off, the leader included), then a check of the recorded history: one holder at a time in
// etcd, every store made by the holder of its revision, acknowledged commits stored once and in
// order, failed ones never, and every card converged within 10 s of the fault's end.
// TZD_CAMPAIGN_ROUNDS (default 3) and TZD_CAMPAIGN_SEED (default 1) choose the run.
TEST_F(Cluster, FaultCampaign) {
    const char *kinds[] = {"card killed",   "card stopped",   "card cut off",
                           "member killed", "member stopped", "member cut off"};
    int rounds = getenv("TZD_CAMPAIGN_ROUNDS") ? atoi(getenv("TZD_CAMPAIGN_ROUNDS")) : 3;
    unsigned seed = getenv("TZD_CAMPAIGN_SEED") ? unsigned(atoi(getenv("TZD_CAMPAIGN_SEED"))) : 1;
    std::mt19937 rng(seed);
    auto pick = [&](int n) { return int(rng() % unsigned(n)); };
    own_addresses();
    start_all();
    const std::vector<int> all = {0, 1, 2};
    ASSERT_TRUE(eventually([&] { return sole_holder(all) >= 0; })) << where();
    // The history as etcd records it, from the first revision on, followed all along (a watch
    // from the first revision at the end would have to catch up with the whole run at once).
    const std::string root = "/" + router_ + "/";
    etcd::Options o;
    o.endpoints = etcd_.endpoints();
    etcd::Client recorder(o);
    std::vector<etcd::WatchUpdate::Event> events;  // the pump's until it is joined
    std::atomic<int64_t> seen{0};
    recorder.watch(root, true, 1, [&](const etcd::WatchUpdate &u) {
        if (u.kind == etcd::WatchUpdate::Kind::events) {
            events.insert(events.end(), u.events.begin(), u.events.end());
            seen = u.revision;
        }
    });
    std::atomic<bool> recording{true};
    std::thread pump([&] {
        while (recording) {
            pollfd p{recorder.fd(), POLLIN, 0};
            poll(&p, 1, 100);
            recorder.dispatch();
        }
    });
    struct Joiner {
        std::atomic<bool> &on;
        std::thread &t;
        ~Joiner() {
            on = false;
            if (t.joinable())
                t.join();
        }
    } joiner{recording, pump};
    bool real_cut = ts::Partition::available();
    if (!real_cut)
        printf("not root (or no nftables): partitions are stood in for by SIGSTOP\n");

    struct Commit {
        std::string abbr;
        int status;
        uint64_t sent, ended;
    };
    std::mutex mu;
    std::vector<Commit> commits;
    std::atomic<int> serial{0};
    int by_kind[6] = {}, divergences = 0;
    std::vector<double> failovers;
    double slowest_ms = 0;  // from a fault's end to every card converged
    const char *zones[] = {"Europe/Paris", "Europe/Berlin", "Asia/Kolkata"};

    for (int round = 0; round < rounds; round++) {
        int kind = pick(6);
        int holder = sole_holder(all);
        int card = holder >= 0 && pick(2) ? holder : pick(kCards);
        int member = pick(2) ? leader() : pick(etcd_.size());
        by_kind[kind]++;
        std::atomic<bool> stop{false};
        std::vector<std::thread> committers;
        for (int t = 0; t < 2; t++)
            committers.emplace_back([&, t] {
                std::mt19937 local(seed * 7919u + unsigned(round * 2 + t));
                while (!stop) {
                    int from = int(local() % kCards);
                    if (kind < 3 && from == card)
                        continue;  // a card under a fault takes no commands meanwhile
                    int i = serial++;
                    Commit c{"K" + std::to_string(i), -1, now_ns(), 0};
                    c.status = set(from, c.abbr, zones[i % 3]).status;
                    c.ended = now_ns();
                    std::lock_guard g(mu);
                    commits.push_back(c);
                }
            });
        std::this_thread::sleep_for(std::chrono::milliseconds(300 + pick(700)));

        ts::Partition cut;
        uint64_t t0 = now_ns();
        if (kind == 0) {
            card_[card].stop(pd_[card], SIGKILL);
            card_[card].stop(tzd_[card], SIGKILL);
        } else if (kind == 1 || (kind == 2 && !real_cut)) {
            kill(pd_[card], SIGSTOP);
        } else if (kind == 2) {
            ASSERT_TRUE(cut.cut_address(ts::EtcdCluster::ALIASES[card], etcd_.client_ports()));
        } else if (kind == 3) {
            etcd_.kill(member);
        } else if (kind == 4 || !real_cut) {
            etcd_.pause(member);
        } else {
            ASSERT_TRUE(cut.cut_ports({etcd_.client_port(member), etcd_.peer_port(member)}));
        }
        int64_t hold_ms = 2500 + pick(1500);
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(hold_ms);
        if (kind < 3 && card == holder) {
            int next = -1;
            eventually(
                [&] {
                    for (int n : all)
                        if (auto [e, t] = tzd_event(n); n != card && e == 4 && t > t0)
                            next = n;
                    return next >= 0;
                },
                10s);
            if (next >= 0)
                failovers.push_back(double(tzd_event(next).second - t0) / 1e6);
        }
        std::this_thread::sleep_until(until);

        cut.heal();
        if (kind == 0)
            start_card(card);
        else if (kind == 1 || kind == 2)
            kill(pd_[card], SIGCONT);
        else if (kind == 3)
            EXPECT_TRUE(etcd_.start(member)) << etcd_.log(member);
        else
            etcd_.resume(member);
        auto healed = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(1s);
        stop = true;
        for (auto &t : committers)
            t.join();
        // A commit in flight when the fault ended may take its whole time (10 s) to end, and its
        // store moves the target: the 10 s count from the fault's end or that commit's end.
        auto quiet = std::chrono::steady_clock::now();
        // Converged: one holder, the one etcd names, and the stored zone in effect everywhere.
        bool converged = eventually(
            [&] {
                auto role = key("dlrsc").first;
                int h = sole_holder(all);
                if (h < 0 || role != std::to_string(h))
                    return false;
                auto value = nlohmann::json::parse(stored().first, nullptr, false);
                std::string zone = value.is_array() ? value[1].get<std::string>() : "";
                for (int n : all)
                    if (card_[n].zone_in_effect(n) != zone)
                        return false;
                return true;
            },
            std::chrono::duration_cast<std::chrono::milliseconds>(
                quiet + 10s - std::chrono::steady_clock::now()));
        double took =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - healed)
                .count();
        slowest_ms = std::max(slowest_ms, took);
        int after_commits =
            int(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - quiet)
                    .count());
        printf("round %d: %s (card %d, member %d)%s, converged %s\n", round, kinds[kind], card,
               member, kind < 3 && card == holder ? ", the holder" : "",
               converged ? (std::to_string(int(took)) + " ms after its end, " +
                            std::to_string(after_commits) + " ms after the commits ended")
                               .c_str()
                         : "NOT");
        fflush(stdout);  // a long run is followed as it goes
        if (!converged) {
            divergences++;
            ADD_FAILURE() << "round " << round << " (" << kinds[kind] << " " << card << "/"
                          << member
                          << "): not converged 10 s after the fault and its commits ended: "
                          << where();
            ASSERT_TRUE(eventually([&] { return sole_holder(all) >= 0; }, 30s));
        }
    }

    int64_t last = recorder.put_sync(root + "campaign-end", "").revision;
    ASSERT_TRUE(eventually([&] { return seen >= last; }, 60s)) << seen << " of " << last;
    recording = false;
    pump.join();  // EVENTS is this thread's from here on
    const std::string role_key = "/" + router_ + "/dlrsc", item = "/" + router_ + "/cfg" + kItem;
    int64_t role_created = 0;
    int role_holder = -1, two_holders = 0, foreign_stores = 0;
    std::map<int64_t, int> stored_by;  // revision -> the card that stored (its result says)
    for (auto &e : events)
        if (!e.deleted && e.kv.key.find("/result/") != std::string::npos) {
            auto j = nlohmann::json::parse(e.kv.value, nullptr, false);
            if (j.is_object() && j.value("status", -1) == 0)
                stored_by[e.kv.mod_revision] = j.value("by", -1);
        }
    std::vector<std::string> stored_seq;
    for (auto &e : events) {
        if (e.kv.key == role_key) {
            if (e.deleted) {
                role_created = 0;
                role_holder = -1;
            } else {
                // A new holder only after a deletion: never a key made anew or rewritten in place.
                if (role_created && (e.kv.create_revision != role_created ||
                                     atoi(e.kv.value.c_str()) != role_holder))
                    two_holders++;
                role_created = e.kv.create_revision;
                role_holder = atoi(e.kv.value.c_str());
            }
        } else if (e.kv.key == item) {
            int64_t rev = e.kv.mod_revision;
            if (!role_created || !stored_by.count(rev) || stored_by[rev] != role_holder)
                foreign_stores++;
            auto j = nlohmann::json::parse(e.kv.value, nullptr, false);
            if (j.is_array())
                stored_seq.push_back(j[0].get<std::string>());
        }
    }
    EXPECT_EQ(two_holders, 0);
    EXPECT_EQ(foreign_stores, 0) << "stores made by a card that did not hold the role";
    int acked = 0, failed = 0, unknown = 0, misplaced = 0;
    std::map<std::string, size_t> position;
    for (size_t i = 0; i < stored_seq.size(); i++)
        position[stored_seq[i]] = i;
    for (auto &cm : commits) {
        auto n = std::count(stored_seq.begin(), stored_seq.end(), cm.abbr);
        if (cm.status == 0) {
            acked++;
            EXPECT_EQ(n, 1) << cm.abbr << " acknowledged";
        } else if (cm.status == 5) {
            unknown++;
            EXPECT_LE(n, 1) << cm.abbr << " of unknown outcome";
        } else {
            failed++;
            EXPECT_EQ(n, 0) << cm.abbr << " failed with status " << cm.status;
        }
    }
    // In order: no acknowledged commit stored before one acknowledged before it was sent.
    std::vector<const Commit *> by_end, by_send;
    for (auto &cm : commits)
        if (cm.status == 0)
            by_end.push_back(&cm), by_send.push_back(&cm);
    std::sort(by_end.begin(), by_end.end(), [](auto *x, auto *y) { return x->ended < y->ended; });
    std::sort(by_send.begin(), by_send.end(), [](auto *x, auto *y) { return x->sent < y->sent; });
    size_t done = 0;
    long highest = -1;  // the highest position of the commits acknowledged so far
    for (auto *b : by_send) {
        for (; done < by_end.size() && by_end[done]->ended < b->sent; done++)
            highest = std::max(highest, long(position[by_end[done]->abbr]));
        misplaced += highest > long(position[b->abbr]);
    }
    EXPECT_EQ(misplaced, 0) << "acknowledged commits stored out of order";
    std::sort(failovers.begin(), failovers.end());
    printf("campaign seed %u, %d rounds, partitions %s\n", seed, rounds,
           real_cut ? "by nftables" : "by SIGSTOP");
    for (int k = 0; k < 6; k++)
        printf("  faults %-15s %d\n", kinds[k], by_kind[k]);
    printf("  commits: %d acknowledged, %d failed, %d outcome unknown\n", acked, failed, unknown);
    printf("  failovers: %zu, median %.0f ms, max %.0f ms\n", failovers.size(),
           failovers.empty() ? 0.0 : failovers[failovers.size() / 2],
           failovers.empty() ? 0.0 : failovers.back());
    printf(
        "  two holders at once: %d, stores by a non-holder: %d, out of order: %d, "
        "divergences: %d, slowest convergence %.1f s\n",
        two_holders, foreign_stores, misplaced, divergences, slowest_ms / 1000);
}
