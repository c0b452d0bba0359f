// tzctl as an operator runs it: a process of its own against the query service (the CLI thread in
// this test process, on the platform's real channel and a hermetic zoneinfo tree), against a
// canned server for the answers that service does not give, and with nothing listening.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>

#include "platform_events.h"
#include "support.h"
#include "tz_cli.h"
#include "tz_cli_msg.h"
#include "zone_tree.h"

namespace {

// A stand-in service on the real channel: it answers every query with MESSAGE, or with ERROR when
// that is not 0.
struct Canned {
    std::mutex mu;
    tz_cli_msg message{};
    int error = 0, requests = 0;
} &canned = *new Canned;

int canned_handler(event_context *ctx, void *) {
    std::lock_guard lock(canned.mu);
    canned.requests++;
    return canned.error ? msg_error(ctx->reply_id, canned.error)
                        : msg_reply(ctx->reply_id, 0, &canned.message, TZ_CLI_MSG_SIZE);
}

void *canned_loop(void *) {
    static const uint8_t attributes[4] = {0xFF, 0x8F, 0x13, 0x02};
    static tz_cli_msg buffer;
    uint64_t slot;
    event_context ctx{};
    ctx.evm = event_manager_create(0, "/dev/tz_cli_msg_transfer", 6, &slot);
    ctx.buffer = &buffer;
    ctx.buffer_size = sizeof buffer;
    event_message_attach(ctx.evm, attributes, canned_handler, nullptr);
    while (event_block(&ctx) != -1)
        vk_event_dispatch(&ctx, 0);
    return nullptr;
}

class Tzctl : public ::testing::Test {
  protected:
    // The query service (its zoneinfo tree still empty), or the canned one.
    void serve(void *(*loop)(void *)) {
        setenv("PLATFORM_RUNDIR", rundir_.c_str(), 1);
        setenv("TZDIR", (tree_.root() + "/zoneinfo/").c_str(), 1);  // one trailing slash dropped
        std::thread(loop, nullptr).detach();
        for (int i = 0; i < 500 && run({"zone-of", "X"}).status == 3; i++)
            usleep(10000);
    }
    // Runs PROGRAM (tzctl by default) against this test's channel and tree; EXTRA as ts::Router.
    ts::Result run(const std::vector<std::string> &args, const std::string &program = TZCTL_PATH,
                   std::vector<std::string> extra = {}) {
        extra.insert(extra.end(),
                     {"PLATFORM_RUNDIR=" + rundir_, "TZDIR=" + tree_.root() + "/zoneinfo"});
        return router_.run(program, args, 0, extra);
    }
    // Runs every case and compares status and output; ERR is compared as a prefix.
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out = "", err = "";
    };
    void check(const std::vector<Case> &cases) {
        for (auto &c : cases) {
            ts::Result r = run(c.args);
            SCOPED_TRACE(c.args.empty() ? "" : c.args.back());
            EXPECT_EQ(r.status, c.status);
            EXPECT_EQ(r.out, c.out);
            EXPECT_EQ(r.err.substr(0, c.err.size()), c.err) << r.err;
            EXPECT_EQ(c.err.empty(), r.err.empty()) << r.err;
        }
    }

    Tzctl() { router_.inherit_environment = false; }  // the service's thread sets TZ meanwhile

    ts::Router router_;
    fake::ZoneTree tree_;
    std::string rundir_ = tree_.root() + "/run";
};

TEST_F(Tzctl, QueriesPrintTheirAnswersAndExitStatuses) {
    serve(tz_cli_msg_thread);
    check({{{"list"}, 1, "", "tzctl: ENOPKG: zoneinfo package not available\n"}});
    for (const char *z :
         {"Europe/Paris", "Europe/Berlin", "Asia/Kolkata", "America/New_York", "America/St_Johns"})
        tree_.zone(std::string("zoneinfo/") + z, z);
    // Links count as locations; the skip list holds at the top level only.
    tree_.link("zoneinfo/Link/Paris", "../Europe/Paris");
    tree_.zone("zoneinfo/posix/Europe/Paris", "Europe/Paris");
    tree_.zone("zoneinfo/Sub/zone.tab", "Asia/Kolkata");
    check({
        {{"list"},
         0,
         "ABBREV  UTC OFFSETS  LOCATIONS\nCET     +01:00       3\nEST     -05:00       1\n"
         "IST     +05:30       2\nNST     -03:30       1\n"},
        {{"locations", "IST"},
         0,
         "LOCATION      UTC OFFSET  DST NOW  DST ABBREV\n"
         "Asia/Kolkata  +05:30      no       -\nSub/zone.tab  +05:30      no       -\n"},
        {{"locations", "XYZ"}, 4, "", "tzctl: no such abbreviation: XYZ\n"},
        {{"complete", "CE"}, 0, "CET\n"},
        {{"zone-of", "Asia/Kolkata"}, 0, "IST\n"},
        {{"all-locations"},
         0,
         "America/New_York\nAmerica/St_Johns\nAsia/Kolkata\nEurope/Berlin\nEurope/Paris\n"
         "Link/Paris\nSub/zone.tab\n"},
    });
}

TEST_F(Tzctl, AnswersOnlyTheStandInGives) {
    serve(canned_loop);
    auto answer = [](int error, std::function<void(tz_cli_msg &)> fill = {}) {
        std::lock_guard lock(canned.mu);
        canned.error = error;
        canned.message = {};
        if (fill)
            fill(canned.message);
    };
    const std::string malformed = "tzctl: malformed answer from the time-zone service";
    answer(EIO);
    check({{{"list"}, 1, "", "tzctl: EIO: "}});
    answer(0, [](tz_cli_msg &m) { m.loc_list_count = TZ_LOC_LIST_MAX + 1; });
    check({{{"all-locations"}, 3, "", malformed}});
    // JSON carries any byte of a field, escaped.
    answer(0, [](tz_cli_msg &m) {
        m.tz_found = m.loc_list_count = 1;
        tz_msg_put_text(m.loc_list[0].location, TZ_LOCATION_FIELD, "Z\xc3\xbc\x7f\x01");
        tz_msg_put_text(m.loc_list[0].info, TZ_INFO_FIELD, "1:00 DST_ACTIV YES DSTZ: CEST");
    });
    check({{{"--json", "locations", "CET"},
            0,
            R"({"abbreviation": "CET", "found": true, "count": 1, "possibly_truncated": false, )"
            R"("locations": [{"location": "Z\u00c3\u00bc\u007f\u0001", "utc_offset": "+01:00", )"
            R"("dst_active": true, "dst_abbreviation": "CEST", )"
            R"("info": "1:00 DST_ACTIV YES DSTZ: CEST"}]})"
            "\n"}});

    // Arguments the service cannot take are refused before anything is sent.
    auto requests = [] {
        std::lock_guard lock(canned.mu);
        return canned.requests;
    };
    int sent = requests();
    check({{{"locations", "ABCDEFGHIJK"},
            2,
            "",
            "tzctl: abbreviation 'ABCDEFGHIJK' is too long (at most 10 characters)\n"},
           {{"zone-of", std::string(64, 'x')}, 2, "", "tzctl: location '" + std::string(64, 'x')}});
    EXPECT_EQ(requests(), sent);
}

// Completion as bash runs it: the function called with the words typed so far, the program typed
// as a path of its own, and on PATH a tzctl that is not the one being completed.
TEST_F(Tzctl, CompletionAsksTheTzctlTypedAndTheTreePastACutList) {
    for (const char *z : {"Europe/Paris", "Europe/Berlin", "Asia/Kolkata"})
        tree_.zone(std::string("zoneinfo/") + z, z);
    // More zones than one answer carries: some are known only from the tree.
    for (int i = 0; i < TZ_LOC_LIST_MAX + 2; i++) {
        char name[32];
        snprintf(name, sizeof name, "zoneinfo/Many/Z%03d", i);
        tree_.link(name, "../Europe/Paris");
    }
    serve(tz_cli_msg_thread);
    std::filesystem::create_directories(tree_.root() + "/path");
    std::ofstream(tree_.root() + "/path/tzctl") << "#!/bin/sh\necho from-path\n";
    std::filesystem::permissions(tree_.root() + "/path/tzctl", std::filesystem::perms::owner_all);
    const std::string script =
        "[ -r /usr/share/bash-completion/bash_completion ] && "
        ". /usr/share/bash-completion/bash_completion\n"
        ". \"$COMPLETION\"\n"
        "COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1)); COMP_LINE=\"$*\"; "
        "COMP_POINT=${#COMP_LINE}\n"
        "_tzctl\n"
        "printf \"%s\\n\" \"${COMPREPLY[@]}\" | sort\n";
    struct Case {
        std::vector<std::string> words;
        std::string offered;
    } cases[] = {
        {{""}, "all-locations\ncomplete\nhelp\nlist\nlocations\nset\nshow\nunset\nzone-of\n"},
        {{"set", "Europe/P"}, "Europe/Paris\n"},
        {{"--json", "zone-of", "Many/Z59"},
         "Many/Z590\nMany/Z591\nMany/Z592\nMany/Z593\nMany/Z594\nMany/Z595\nMany/Z596\n"
         "Many/Z597\nMany/Z598\nMany/Z599\n"},
        {{"locations", "IS"}, "IST\n"},
    };
    for (auto &c : cases) {
        std::vector<std::string> args = {"-c", script, "bash", TZCTL_PATH};
        args.insert(args.end(), c.words.begin(), c.words.end());
        ts::Result r =
            run(args, "/bin/bash",
                {"COMPLETION=" TZCTL_COMPLETION, "PATH=" + tree_.root() + "/path:/usr/bin:/bin"});
        EXPECT_EQ(r.out, c.offered) << testing::PrintToString(c.words) << r.err;
    }
}

}  // namespace
