// tzctl as an operator runs it: a separate process against the query service (the test server
// program on a hermetic zoneinfo tree, or on this machine's tree), against a canned server for
// the error replies, and with nothing listening.
#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "query_util.h"

using namespace qtest;

namespace {

const std::string kTzctl = TZCTL_PATH;
const std::string kServer = QUERY_SERVER_PATH;

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}

std::vector<std::string> words(const std::string &line) {
    std::vector<std::string> out;
    std::istringstream in(line);
    for (std::string w; in >> w;)
        out.push_back(w);
    return out;
}

// tzctl with PLATFORM_RUNDIR pointing at RUNDIR.
Outcome tzctl(const std::string &rundir, const std::vector<std::string> &args) {
    return run_program(kTzctl, args, {"PLATFORM_RUNDIR=" + rundir});
}

// The daylight-saving state of ZONE now, as the libc of this machine tells it.
std::pair<bool, std::string> dst_now(const std::string &zone) {
    setenv("TZ", zone.c_str(), 1);
    tzset();
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    std::pair<bool, std::string> r{tm.tm_isdst > 0, tzname[1] ? tzname[1] : ""};
    unsetenv("TZ");
    tzset();
    return r;
}

class Tzctl : public ::testing::Test {
  protected:
    void SetUp() override {
        zoneinfo_ = dir_.path() + "/zoneinfo";
        for (const char *z : {"Europe/Paris", "Europe/Berlin", "Asia/Kolkata", "America/New_York"})
            copy_zone(zoneinfo_, z);
        rundir_ = dir_.path() + "/run";
    }
    // Starts the service on the hermetic tree (or on ZONEINFO).
    void serve(const std::string &zoneinfo) {
        server_ = std::make_unique<Server>(kServer, rundir_, zoneinfo);
        ASSERT_TRUE(server_->ready());
    }
    Outcome run(const std::vector<std::string> &args) { return tzctl(rundir_, args); }

    TempDir dir_;
    std::string zoneinfo_, rundir_;
    std::unique_ptr<Server> server_;
};

// A stand-in service that answers every request with the bytes RESPOND makes of it.
class CannedServer {
  public:
    using Respond = std::function<std::vector<uint8_t>(const std::vector<uint8_t> &)>;
    CannedServer(const std::string &path, Respond respond) : respond_(std::move(respond)) {
        std::filesystem::create_directories(path.substr(0, path.rfind('/')));
        unlink(path.c_str());  // a socket left by an earlier server
        fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        listen(fd_, 8);
        thread_ = std::thread([this] {
            for (;;) {
                int c = accept(fd_, nullptr, nullptr);
                if (c < 0)
                    return;
                std::vector<uint8_t> req(TZ_CLI_MSG_SIZE + 16);
                ssize_t n = recv(c, req.data(), req.size(), 0);
                if (n > 0) {
                    requests_++;
                    req.resize(size_t(n));
                    auto reply = respond_(req);
                    send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
                }
                close(c);
            }
        });
    }
    ~CannedServer() {
        shutdown(fd_, SHUT_RDWR);
        close(fd_);
        thread_.join();
    }
    int requests() const { return requests_; }

    static std::vector<uint8_t> status(int32_t code) {
        uint32_t v = uint32_t(code);
        return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    }
    static std::vector<uint8_t> data(const tz_cli_msg &m) {
        auto out = status(0);
        const uint8_t *b = bytes_of(m);
        out.insert(out.end(), b, b + sizeof m);
        return out;
    }

  private:
    Respond respond_;
    int fd_;
    std::atomic<int> requests_{0};
    std::thread thread_;
};

}  // namespace

TEST_F(Tzctl, QueriesPrintTheirAnswersAndExitStatuses) {
    serve(zoneinfo_);

    auto r = run({"list"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "ABBREV  UTC OFFSETS  LOCATIONS\n"
              "CET     1:00         2\n"
              "EST     -5:00        1\n"
              "IST     5:30         1\n");
    EXPECT_EQ(r.err, "");

    r = run({"locations", "CET"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto rows = lines(r.out);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(words(rows[0]), (std::vector<std::string>{"LOCATION", "UTC", "OFFSET", "DST", "NOW",
                                                        "DST", "ABBREV"}));
    for (size_t i = 1; i < 3; i++) {
        std::string zone = i == 1 ? "Europe/Berlin" : "Europe/Paris";
        auto [dst, dst_name] = dst_now(zone);
        EXPECT_EQ(words(rows[i]), (std::vector<std::string>{zone, "1:00", dst ? "yes" : "no",
                                                            dst ? dst_name : "-"}));
    }

    r = run({"locations", "XYZ"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "tzctl: no such abbreviation: XYZ\n");

    for (auto [prefix, answer] : std::vector<std::pair<std::string, std::string>>{
             {"CE", "CET"}, {"CET", "CET"}, {"E", "EST"}}) {
        r = run({"complete", prefix});
        EXPECT_EQ(r.status, 0) << prefix;
        EXPECT_EQ(r.out, answer + "\n");
    }
    for (std::string none : {"", "Q", "CETX"}) {
        r = run({"complete", none});
        EXPECT_EQ(r.status, 1) << none;
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("no unique completion"), std::string::npos);
    }

    r = run({"zone-of", "Asia/Kolkata"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "IST\n");
    r = run({"zone-of", "Nowhere/City"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tzctl: unknown location: Nowhere/City\n");

    r = run({"all-locations"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "America/New_York\nAsia/Kolkata\nEurope/Berlin\nEurope/Paris\n");
}

TEST_F(Tzctl, JsonOutputIsOneObjectWithStableKeys) {
    serve(zoneinfo_);
    auto expect = [&](const std::vector<std::string> &args, int status, const std::string &json) {
        auto r = run(args);
        EXPECT_EQ(r.status, status) << args[0] << ": " << r.err;
        EXPECT_EQ(r.out, json + "\n");
    };
    expect({"list", "--json"}, 0,
           R"({"count": 3, "possibly_truncated": false, "abbreviations": [)"
           R"({"abbreviation": "CET", "utc_offsets": ["1:00"], )"
           R"("more_offsets": false, "locations": 2}, )"
           R"({"abbreviation": "EST", "utc_offsets": ["-5:00"], )"
           R"("more_offsets": false, "locations": 1}, )"
           R"({"abbreviation": "IST", "utc_offsets": ["5:30"], )"
           R"("more_offsets": false, "locations": 1}]})");
    expect(
        {"--json", "locations", "IST"}, 0,
        R"({"abbreviation": "IST", "found": true, "count": 1, "possibly_truncated": false, )"
        R"("locations": [{"location": "Asia/Kolkata", "utc_offset": "5:30", "dst_active": false, )"
        R"("dst_abbreviation": null, "info": "5:30 DST_ACTIV NO "}]})");
    expect({"locations", "XYZ", "--json"}, 1,
           R"({"abbreviation": "XYZ", "found": false, "count": 0, "possibly_truncated": false, )"
           R"("locations": []})");
    expect({"complete", "--json", "CE"}, 0,
           R"({"prefix": "CE", "exact": false, "unique": true, "completion": "CET"})");
    expect({"complete", "--json", ""}, 1,
           R"({"prefix": "", "exact": false, "unique": false, "completion": null})");
    expect({"--json", "zone-of", "Nowhere/City"}, 1,
           R"({"location": "Nowhere/City", "found": false, "abbreviation": null})");
    expect({"--json", "all-locations"}, 0,
           R"({"count": 4, "possibly_truncated": false, "locations": ["America/New_York", )"
           R"("Asia/Kolkata", "Europe/Berlin", "Europe/Paris"]})");
}

TEST_F(Tzctl, TooLongArgumentsAreRefusedBeforeAnythingIsSent) {
    CannedServer canned(rundir_ + "/dev/tz_cli_msg_transfer",
                        [](const std::vector<uint8_t> &) { return CannedServer::status(EIO); });
    auto r = run({"locations", "ABCDEFGHIJK"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "tzctl: abbreviation 'ABCDEFGHIJK' is too long (at most 10 characters)\n");
    r = run({"complete", "ABCDEFGHIJK"});
    EXPECT_EQ(r.status, 2);
    r = run({"zone-of", std::string(64, 'x')});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("is too long (at most 63 characters)"), std::string::npos);
    EXPECT_EQ(canned.requests(), 0);

    // At the limits the request goes out.
    run({"locations", "ABCDEFGHIJ"});
    run({"zone-of", std::string(63, 'x')});
    EXPECT_EQ(canned.requests(), 2);
}

TEST_F(Tzctl, NoServiceIsReportedAsNotRunning) {
    auto r = run({"list"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("tzctl: time-zone service not running"), std::string::npos) << r.err;

    // A socket file left behind by a service that is gone.
    std::string path = rundir_ + "/dev/tz_cli_msg_transfer";
    {
        CannedServer gone(path,
                          [](const std::vector<uint8_t> &) { return std::vector<uint8_t>(); });
    }
    r = run({"zone-of", "Europe/Paris"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("tzctl: time-zone service not running"), std::string::npos) << r.err;
}

TEST_F(Tzctl, ErrorRepliesAreNamedInWords) {
    serve(dir_.path() + "/missing");
    auto r = run({"list"});
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.err, "tzctl: ENOPKG: zoneinfo package not available\n");
    server_.reset();

    std::atomic<int32_t> code{0};
    CannedServer canned(rundir_ + "/dev/tz_cli_msg_transfer",
                        [&](const std::vector<uint8_t> &) { return CannedServer::status(code); });
    for (auto [c, name] : std::vector<std::pair<int, std::string>>{{ENOENT, "ENOENT: "},
                                                                   {EINVAL, "EINVAL: "},
                                                                   {EBADMSG, "EBADMSG: "},
                                                                   {EOPNOTSUPP, "EOPNOTSUPP: "},
                                                                   {EIO, "EIO: "}}) {
        code = c;
        r = run({"all-locations"});
        EXPECT_EQ(r.status, 4) << c;
        EXPECT_EQ(r.err.rfind("tzctl: " + name, 0), 0u) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(Tzctl, MalformedAnswersAndFullListsAreReported) {
    std::atomic<int> mode{0};
    CannedServer canned(rundir_ + "/dev/tz_cli_msg_transfer", [&](const std::vector<uint8_t> &) {
        auto m = std::make_unique<tz_cli_msg>();
        memset(m.get(), 0, sizeof *m);
        switch (mode.load()) {
            case 0:  // a status without its message
                return CannedServer::status(0);
            case 1:  // a count beyond the list
                m->loc_list_count = TZ_LOC_LIST_MAX + 1;
                return CannedServer::data(*m);
            default:  // a full list, and an offsets text that was cut
                m->tz_list_count = TZ_LIST_MAX;
                for (int i = 0; i < TZ_LIST_MAX; i++) {
                    snprintf(m->tz_list[i].abbrev, 11, "A%03d", i);
                    tz_msg_put_text(m->tz_list[i].offsets, 50, "UTC 1:00 2:00 ...");
                    m->tz_list[i].num_locations = 9;
                }
                return CannedServer::data(*m);
        }
    });
    auto r = run({"list"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("malformed answer"), std::string::npos) << r.err;
    mode = 1;
    r = run({"all-locations"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("malformed answer"), std::string::npos) << r.err;

    mode = 2;
    r = run({"list", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind(R"({"count": 200, "possibly_truncated": true, "abbreviations": [)"
                          R"({"abbreviation": "A000", "utc_offsets": ["1:00", "2:00"], )"
                          R"("more_offsets": true, "locations": 9}, )",
                          0),
              0u)
        << r.out;
    EXPECT_NE(r.err.find("the list may be incomplete"), std::string::npos);
    r = run({"list"});
    EXPECT_EQ(lines(r.out)[1], "A000    1:00 2:00 ...  9");
}

TEST_F(Tzctl, CommandLine) {
    auto r = run({"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char *part : {"SYNOPSIS", "COMMANDS", "OPTIONS", "EXIT STATUS", "ENVIRONMENT",
                             "PLATFORM_RUNDIR", "list", "locations ABBR", "complete PREFIX",
                             "zone-of LOCATION", "all-locations", "--json"})
        EXPECT_NE(r.out.find(part), std::string::npos) << part;
    r = run({"locations", "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("Usage: tzctl [OPTIONS] locations ABBR\n", 0), 0u);
    r = run({"--list-commands"});
    EXPECT_EQ(r.out.rfind("list\nlocations\ncomplete\nzone-of\nall-locations\n", 0), 0u) << r.out;

    for (auto args : std::vector<std::vector<std::string>>{{},
                                                           {"bogus"},
                                                           {"list", "extra"},
                                                           {"locations"},
                                                           {"--frobnicate", "list"},
                                                           {"--timeout", "x", "list"}}) {
        r = run(args);
        EXPECT_EQ(r.status, 2) << (args.empty() ? "" : args[0]);
        EXPECT_FALSE(r.err.empty());
    }

    // Abbreviations that begin with a dash are arguments, not options.
    serve(zoneinfo_);
    r = run({"locations", "-03"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tzctl: no such abbreviation: -03\n");
}

TEST_F(Tzctl, BashCompletionOffersCommandsAbbreviationsAndLocations) {
    if (access("/bin/bash", X_OK) != 0)
        GTEST_SKIP() << "no bash";
    serve(zoneinfo_);
    std::string bindir = kTzctl.substr(0, kTzctl.rfind('/'));
    auto complete = [&](const std::string &line) {
        std::string script = "source '" + std::string(TZCTL_COMPLETION) +
                             "'\n"
                             "COMP_LINE='" +
                             line +
                             "'\n"
                             "read -ra COMP_WORDS <<< \"$COMP_LINE\"\n"
                             "[[ $COMP_LINE == *' ' ]] && COMP_WORDS+=('')\n"
                             "COMP_CWORD=$((${#COMP_WORDS[@]} - 1))\n"
                             "COMP_POINT=${#COMP_LINE}\n"
                             "_tzctl tzctl\n"
                             "printf '%s\\n' \"${COMPREPLY[@]}\" | sort\n";
        auto r = run_program(
            "/bin/bash", {"--norc", "-c", script},
            {"PLATFORM_RUNDIR=" + rundir_, "PATH=" + bindir + ":" + std::string(getenv("PATH"))});
        return r.out;
    };
    EXPECT_EQ(complete("tzctl loc"), "locations\n");
    EXPECT_EQ(complete("tzctl locations C"), "CET\n");
    EXPECT_EQ(complete("tzctl --json locations "), "CET\nEST\nIST\n");
    EXPECT_EQ(complete("tzctl zone-of Europe/"), "Europe/Berlin\nEurope/Paris\n");
    EXPECT_EQ(complete("tzctl list "), "\n");
}

// --- this machine's zoneinfo tree -----------------------------------------------------------

namespace {

// The abbreviation table's bucket of TEXT; negative for texts the table has no bucket for.
int32_t abbreviation_bucket(const std::string &text) {
    static const int32_t primes[] = {23, 29, 31, 37, 41, 43, 47, 53, 59, 61, 67};
    uint32_t h = 1;
    for (size_t i = 0; i < text.size(); i++)
        h = h * uint32_t(primes[std::min<size_t>(i, 10)]) +
            uint32_t(int32_t(static_cast<signed char>(text[i])));
    return int32_t(h) % 109;
}

// abbreviation -> (hours, minutes) -> number of zones, by the libc calls the service makes.
using Census = std::map<std::string, std::map<std::pair<int, int>, int>>;

void census(const std::string &root, const std::string &rel, int level, Census &out) {
    static const std::set<std::string> skipped = {"posix",       "right",    "Factory",
                                                  "iso3166.tab", "zone.tab", "posixrules"};
    std::string dir = level ? root + "/" + rel : root;
    DIR *d = opendir(dir.c_str());
    if (!d)
        return;
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == ".." || (level == 0 && skipped.count(name)))
            continue;
        struct stat st;
        if (lstat((dir + "/" + name).c_str(), &st) != 0)
            continue;
        std::string path = level ? rel + "/" + name : name;
        if (S_ISDIR(st.st_mode)) {
            census(root, path, level + 1, out);
            continue;
        }
        setenv("TZ", path.c_str(), 1);
        tzset();
        time_t now = time(nullptr);
        struct tm utc, local;
        gmtime_r(&now, &utc);
        time_t a = mktime(&utc);
        localtime_r(&now, &local);
        time_t b = mktime(&local);
        int64_t minutes = int64_t(difftime(b, a)) / 60;
        out[tzname[0]][{int(minutes / 60), int(std::llabs(minutes % 60))}]++;
    }
    closedir(d);
}

}  // namespace

TEST_F(Tzctl, ListAgreesWithAnIndependentWalkOfThisMachinesTree) {
    if (access("/usr/share/zoneinfo/Europe/Paris", R_OK) != 0)
        GTEST_SKIP() << "no zoneinfo tree on this machine";
    serve("");
    auto r = run({"--json", "list"});
    ASSERT_EQ(r.status, 0) << r.err;

    unsetenv("TZDIR");
    Census walk;
    census("/usr/share/zoneinfo", "", 0, walk);
    std::map<std::string, std::pair<std::set<std::string>, int>> expected;
    for (auto &[abbrev, groups] : walk) {
        if (abbrev.size() > 10 || abbreviation_bucket(abbrev) < 0)
            continue;
        auto &e = expected[abbrev];
        for (auto &[offset, count] : groups) {
            char text[32];
            snprintf(text, sizeof text, "%d:%02d", offset.first, offset.second);
            e.first.insert(text);
            e.second += std::min(count, 50);
        }
    }
    ASSERT_LT(expected.size(), size_t(TZ_LIST_MAX)) << "the list would be cut on this machine";

    std::set<std::string> listed;
    std::regex entry_re(R"x(\{"abbreviation": "([^"]*)", "utc_offsets": \[([^\]]*)\], )x"
                        R"x("more_offsets": (true|false), "locations": (\d+)\})x");
    std::regex offset_re(R"x("([^"]*)")x");
    for (std::sregex_iterator m(r.out.begin(), r.out.end(), entry_re), end; m != end; ++m) {
        std::string abbrev = (*m)[1], offsets_json = (*m)[2];
        listed.insert(abbrev);
        auto it = expected.find(abbrev);
        ASSERT_NE(it, expected.end()) << abbrev << " is not in the walk";
        EXPECT_EQ(std::stoi((*m)[4]), it->second.second) << abbrev;
        std::set<std::string> offsets;
        for (std::sregex_iterator o(offsets_json.begin(), offsets_json.end(), offset_re); o != end;
             ++o)
            offsets.insert((*o)[1]);
        if ((*m)[3] == "true") {
            EXPECT_TRUE(std::includes(it->second.first.begin(), it->second.first.end(),
                                      offsets.begin(), offsets.end()))
                << abbrev;
        } else {
            EXPECT_EQ(offsets, it->second.first) << abbrev;
        }
    }
    EXPECT_EQ(r.out.rfind("{\"count\": " + std::to_string(expected.size()) + ",", 0), 0u);
    EXPECT_EQ(listed.size(), expected.size());
}

TEST_F(Tzctl, AllLocationsOnThisMachineIsCutAtTheMessageCapacity) {
    if (access("/usr/share/zoneinfo/Europe/Paris", R_OK) != 0)
        GTEST_SKIP() << "no zoneinfo tree on this machine";
    serve("");
    unsetenv("TZDIR");
    Census walk;
    census("/usr/share/zoneinfo", "", 0, walk);
    int zones = 0;
    for (auto &[abbrev, groups] : walk)
        if (abbrev.size() <= 10)  // longer ones are refused by the catalogue
            for (auto &[offset, count] : groups)
                zones += count;

    auto r = run({"all-locations"});
    ASSERT_EQ(r.status, 0) << r.err;
    int listed = int(lines(r.out).size());
    EXPECT_EQ(listed, std::min(zones, TZ_LOC_LIST_MAX));
    if (zones >= TZ_LOC_LIST_MAX) {
        EXPECT_NE(r.err.find("the list may be incomplete"), std::string::npos);
    }
}
