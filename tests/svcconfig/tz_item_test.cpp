// The time-zone item's verification as the database runs it (callback, backend library, handler,
// tuple), checked against a zoneinfo tree of the test.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <optional>
#include <string>

#include "service_util.h"
#include "tz_sysdb.h"
#include "zone_tree.h"

namespace {

int second, fourth;

TEST(Item, ZoneIsCheckedAgainstTheZoneinfoTree) {
    fake::reset_service_state();
    fake::ZoneTree tree;
    tree.zone("Europe/Paris");
    tree.zone("Asia/Tokyo");
    const std::string root = tree.root(), lstat = "check_tz_args,Failed to lstat() ";
    struct Case {
        std::optional<std::string> tzdir;
        const char *abbrev, *zone;
        int priority;     // of the one log line; 0 for none
        std::string log;
    } cases[] = {
        {root, "CET", "Europe/Paris", 0, ""},
        {root + "/", "JST", "Asia/Tokyo", 0, ""},
        {root, "PST", "Europe/Paris", 4,
         "Warning:Incorrect timezone prefix \"PST\",using preifx \"CET\" for \"Europe/Paris\""},
        {root, "CET", "Europe/Nowhere", 3, lstat + root + "/Europe/Nowhere\n "},
        {root, "CET", "Europe", 3, "check_tz_args, Argument is not a binary"},
        {std::nullopt, "CET", "No/Such", 3, lstat + "/usr/share/zoneinfo/No/Such\n "},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.zone + std::string(" in ") + c.tzdir.value_or("<unset>"));
        if (c.tzdir)
            setenv("TZDIR", c.tzdir->c_str(), 1);
        else
            unsetenv("TZDIR");
        setenv("TZ", "untouched", 1);
        fake::clear_log();
        // Verified as the database runs it, the accept flag starting at 7.
        fake::Tuple tuple{{c.abbrev, c.zone}};
        sysdb_item item{};
        item.name = "clock";
        item.value = fake::as_tuple(&tuple);
        uint32_t accept = 7;
        bool accepted = c.priority != 3;
        EXPECT_EQ(tz_verify_func(&item, &second, &accept, &fourth), accepted ? 0 : -1);
        EXPECT_EQ(accept, accepted ? 1u : 0u);
        // The zone was loaded and TZ reset only when the file test passed.
        EXPECT_EQ(getenv("TZ"), std::string(c.log.find("check_tz_args") ? "" : "untouched"));
        auto lines = fake::syslog_lines();
        ASSERT_EQ(lines.size(), c.priority ? 1u : 0u);
        if (c.priority) {
            EXPECT_EQ(lines[0].priority, c.priority);
            EXPECT_EQ(lines[0].text, c.log);
        }
    }
}

}  // namespace
