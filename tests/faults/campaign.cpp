// A fault campaign on a router of two cards (card 0 holds the dLRSC role at first): rounds of
// random commits and deletions of the time-zone item, the last of each round with one fault, chosen
// and timed from a seed. After each round every card must have the stored zone in effect within 10
// s, every commit answered ok must have been stored and every one answered failed must not.
//
//   campaign [--rounds N] [--seed S] [--quiet]
//
// Faults: a card's tzd killed (SIGKILL) before or in the middle of a commit and started again;
// platformd killed in the middle of a commit, or while the dLRSC applies it, and started again; a
// tzd stopped (SIGSTOP) for one to three seconds while a commit waits and a second one is given up
// by its client; the dLRSC's apply held up past the commit's time (the directory of its time-zone
// link locked, as another setter would); the state disk full (a small tmpfs, in a mount namespace
// of this process, where the machine allows one); the dLRSC role moved to the other card in the
// middle of a commit. Prints its figures; exits 1 on any divergence,
// lost or phantom commit.
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "rig.h"

using namespace faults;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int CARDS = 2;
constexpr const char *COMMIT_TIMEOUT_MS = "1500";
constexpr auto CONVERGE_WITHIN = 10s;

enum Kind { KILL_TZD, KILL_PLATFORMD, STOP_TZD, SLOW_APPLY, ROLE_MOVED, FULL_DISK, KINDS };
const char *const KIND_NAMES[KINDS] = {"tzd killed",  "platformd killed",
                                       "tzd stopped", "apply past its time",
                                       "role moved",  "state disk full"};

struct Change {
    std::string abbr, zone;  // empty abbr: the deletion
    std::string stored() const { return abbr.empty() ? "" : abbr + " " + zone; }
};

const Change CHANGES[] = {{"CET", "Europe/Paris"},
                          {"EST", "America/New_York"},
                          {"IST", "Asia/Kolkata"},
                          {"JST", "Asia/Tokyo"},
                          {"UTC", "UTC"},
                          {"XXX", "Nowhere/City"},  // refused
                          {"", ""},
                          {"", ""}};

// What a failed commit's reason says, in a few words.
const char *const REASONS[][2] = {
    {"refused by the verifier", "refused by the check"},
    {"no such item", "deletion of nothing"},
    {"not stored", "not stored (disk full)"},
    {"did not answer", "verifier past its time"},
    {"went away", "verifier went away"},
    {"no verifier", "no verifier registered"},
};

struct Figures {
    int rounds = 0;
    int faults[KINDS] = {};
    int commits = 0, ok = 0, failed = 0, unknown = 0;
    std::map<std::string, int> why;  // failed commits by reason
    int lost = 0, phantom = 0, divergences = 0;
    double slowest_s = 0;
};

class Campaign {
  public:
    Campaign(uint32_t seed, bool quiet, bool disk) : rng_(seed), quiet_(quiet), disk_(disk) {}

    bool boot() {
        r.add_zones({"Asia/Tokyo"});
        if (disk_) {
            mkdir(r.statedir().c_str(), 0700);
            if (mount("tmpfs", r.statedir().c_str(), "tmpfs", 0, "size=16m,mode=0700") != 0)
                disk_ = false;
        }
        if (!start_platformd())
            return false;
        for (int c = 0; c < CARDS; c++)
            if ((tzd_[c] = r.start_tzd(c)) <= 0)
                return false;
        return r.commit_zone_eventually("CET", "Europe/Paris");
    }
    ~Campaign() {
        if (disk_)
            umount2(r.statedir().c_str(), MNT_DETACH);
    }

    void round() {
        f.rounds++;
        int kinds = disk_ ? KINDS : FULL_DISK;
        Kind kind = Kind(pick(0, kinds - 1));
        f.faults[kind]++;
        std::set<std::string> may_be = {stored()};
        int ops = pick(1, 3);
        for (int i = 0; i < ops; i++) {
            const Change &c = change();
            Result res = i == ops - 1 ? with_fault(kind, c, may_be) : commit(c);
            account(c, res, may_be);
        }
        recover();
        check(kind, may_be);
    }

    Figures f;

  private:
    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    const Change &change() { return CHANGES[pick(0, int(std::size(CHANGES)) - 1)]; }

    bool start_platformd() {
        pd_ = r.start_platformd();
        return pd_ > 0 &&
               r.platformctl({"fault", "cfg-verify-timeout", COMMIT_TIMEOUT_MS}).status == 0;
    }

    Result commit(const Change &c) {
        if (c.abbr.empty())
            return r.platformctl({"cfg", "delete", TZ_ITEM});
        return r.platformctl({"cfg", "set", TZ_ITEM, c.abbr, c.zone});
    }

    bool in_progress() {
        return contains(r.platformctl({"status"}).out, "1 waiting or in progress");
    }

    // The card that holds the dLRSC role, as platformd says; card 0 when it cannot tell.
    int dlrsc() {
        Result s = r.platformctl({"role", "show"});
        for (auto &l : lines(s.out, "dLRSC: card "))
            return atoi(l.c_str() + strlen("dLRSC: card "));
        return 0;
    }

    // Holds the setters' lock of the dLRSC's time-zone link: its apply waits (at most the
    // setter's deadline, after which the apply fails).
    int lock_link() { return hold_setter_lock(r.localtime(dl_)); }

    // Runs the commit C with the fault KIND injected into it. MAY_BE gets a commit that a client
    // gave up on.
    Result with_fault(Kind kind, const Change &c, std::set<std::string> &may_be) {
        Result res;
        auto run = [&] { res = commit(c); };
        int card = pick(0, CARDS - 1);
        auto delay = std::chrono::milliseconds(pick(0, 300));
        bool early = pick(0, 1) == 0;
        dl_ = dlrsc();
        switch (kind) {
            case KILL_TZD: {
                if (early) {  // the commit finds the card down
                    r.stop(tzd_[card], SIGKILL);
                    run();
                } else {
                    std::thread t(run);
                    std::this_thread::sleep_for(delay);
                    r.stop(tzd_[card], SIGKILL);
                    t.join();
                }
                tzd_[card] = r.start_tzd(card);
                break;
            }
            case KILL_PLATFORMD: {
                int fd = early ? lock_link() : -1;  // killed while card 0 applies
                std::thread t(run);
                if (early)
                    eventually([&] { return waits_for_setter_lock(tzd_[dl_], r.localtime(dl_)); },
                               3s);
                else
                    std::this_thread::sleep_for(delay);
                r.stop(pd_, SIGKILL);
                t.join();
                if (fd >= 0)
                    close(fd);
                start_platformd();
                break;
            }
            case STOP_TZD: {
                kill(tzd_[card], SIGSTOP);
                std::thread t(run);
                // With the verifier stopped, a second commit queued behind the first, whose
                // client gives up after a second.
                const Change &other = change();
                if (card == dl_ && eventually([&] { return in_progress(); }, 3s)) {
                    std::vector<std::string> args = {"--timeout", "1", "set", other.abbr,
                                                     other.zone};
                    if (other.abbr.empty())
                        args = {"--timeout", "1", "unset"};
                    if (r.tzctl(args).status != 0)
                        may_be.insert(other.stored());
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(pick(0, 2000)));
                kill(tzd_[card], SIGCONT);
                t.join();
                break;
            }
            case SLOW_APPLY: {
                int fd = lock_link();
                std::thread t(run);
                std::this_thread::sleep_for(std::chrono::milliseconds(pick(1700, 2500)));
                close(fd);
                t.join();
                break;
            }
            case ROLE_MOVED: {
                std::thread t(run);
                std::this_thread::sleep_for(delay);
                r.platformctl({"role", "set", std::to_string((dl_ + 1) % CARDS)});
                t.join();
                break;
            }
            case FULL_DISK: {
                std::string filler = r.statedir() + "/filler";
                int fd = open(filler.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
                std::vector<char> block(4096, 'x');
                while (fd >= 0 && write(fd, block.data(), block.size()) > 0) {
                }
                if (fd >= 0)
                    close(fd);
                run();
                unlink(filler.c_str());
                break;
            }
            case KINDS:
                break;
        }
        return res;
    }

    // The stored item as "ABBR ZONE", "" when none; waits for a platformd that is starting.
    std::string stored() {
        for (int i = 0; i < 100; i++) {
            Result g = r.platformctl({"cfg", "get", TZ_ITEM});
            if (g.status == 0) {
                if (!g.out.empty() && g.out.back() == '\n')
                    g.out.pop_back();
                return g.out;
            }
            if (contains(g.err, "no such item"))
                return "";
            std::this_thread::sleep_for(100ms);
        }
        return "?";
    }

    // Books the outcome of commit C: ok must be stored now, failed must leave what was stored.
    void account(const Change &c, const Result &res, std::set<std::string> &may_be) {
        f.commits++;
        if (res.status == 0) {
            f.ok++;
            std::string now = stored();
            if (now != c.stored()) {
                f.lost++;
                say("LOST: " + c.stored() + " answered ok, stored: " + now);
            }
            may_be = {c.stored()};
        } else if (res.status == 1) {
            f.failed++;
            const char *why = "other";
            for (auto &r : REASONS)
                if (contains(res.err, r[0])) {
                    why = r[1];
                    break;
                }
            f.why[why]++;
            std::string now = stored();
            if (!may_be.count(now)) {
                f.phantom++;
                say("PHANTOM: " + c.stored() + " answered failed (" + res.err +
                    "), stored: " + now);
            }
        } else {
            f.unknown++;
            may_be.insert(c.stored());
        }
    }

    // Every process up again (a tzd that died by itself too).
    void recover() {
        if (!r.running(pd_))
            start_platformd();
        for (int c = 0; c < CARDS; c++)
            if (!r.running(tzd_[c])) {
                say("tzd of card " + std::to_string(c) + " had to be started again");
                tzd_[c] = r.start_tzd(c);
            }
    }

    void check(Kind kind, const std::set<std::string> &may_be) {
        std::string now = stored();
        if (!may_be.count(now)) {
            f.phantom++;
            say("round " + std::to_string(f.rounds) + ": stored " + now + " was never committed");
        }
        std::string zone = now.empty() ? "" : now.substr(now.find(' ') + 1);
        auto start = Clock::now();
        bool same = eventually(
            [&] {
                for (int c = 0; c < CARDS; c++)
                    if (r.zone_in_effect(c) != zone)
                        return false;
                return true;
            },
            CONVERGE_WITHIN);
        double took = std::chrono::duration<double>(Clock::now() - start).count();
        if (same) {
            f.slowest_s = std::max(f.slowest_s, took);
        } else {
            f.divergences++;
            std::string cards;
            for (int c = 0; c < CARDS; c++)
                cards += " card " + std::to_string(c) + ": " + r.zone_in_effect(c);
            say("DIVERGED after " + std::string(KIND_NAMES[kind]) + ": stored " + now + ";" +
                cards);
        }
        if (!quiet_)
            say("round " + std::to_string(f.rounds) + " " + KIND_NAMES[kind] + ": stored \"" + now +
                "\", " + (same ? "converged" : "DIVERGED"));
    }

    void say(const std::string &s) { std::cout << s << std::endl; }

    Rig r;
    std::mt19937 rng_;
    bool quiet_, disk_;
    pid_t pd_ = -1, tzd_[CARDS] = {};
    int dl_ = 0;  // the dLRSC card
};

}  // namespace

int main(int argc, char **argv) {
    int rounds = 10;
    uint32_t seed = 1;
    bool quiet = false;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--rounds" && i + 1 < argc)
            rounds = atoi(argv[++i]);
        else if (a == "--seed" && i + 1 < argc)
            seed = uint32_t(strtoul(argv[++i], nullptr, 10));
        else if (a == "--quiet")
            quiet = true;
        else {
            std::cerr << "usage: campaign [--rounds N] [--seed S] [--quiet]\n";
            return 2;
        }
    }
    // A private mount namespace, before any thread exists, for the full disk.
    bool disk = unshare(CLONE_NEWNS) == 0 &&
                mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    signal(SIGPIPE, SIG_IGN);
    auto start = Clock::now();
    Figures f;
    {
        Campaign c(seed, quiet, disk);
        if (!c.boot()) {
            std::cerr << "campaign: the router did not come up\n";
            return 1;
        }
        for (int i = 0; i < rounds; i++)
            c.round();
        f = c.f;
    }
    double took = std::chrono::duration<double>(Clock::now() - start).count();
    printf("campaign: seed %u, %d rounds in %.0f s, %d cards%s\n", seed, f.rounds, took, CARDS,
           disk ? "" : " (no full disk: no private mount namespace here)");
    printf("faults:");
    for (int k = 0; k < KINDS; k++)
        printf("%s %s %d", k ? "," : "", KIND_NAMES[k], f.faults[k]);
    printf("\ncommits: %d (ok %d, failed %d, outcome unknown %d)\nfailed:", f.commits, f.ok,
           f.failed, f.unknown);
    bool first = true;
    for (auto &[why, n] : f.why) {
        printf("%s %s %d", first ? "" : ",", why.c_str(), n);
        first = false;
    }
    printf("\n");
    printf("lost %d, phantom %d, divergences %d; slowest convergence %.1f s\n", f.lost, f.phantom,
           f.divergences, f.slowest_s);
    return f.lost || f.phantom || f.divergences ? 1 : 0;
}
