// The catalogue, the query handler's build flag, the debug trace, the doubles and the zone
// variables put back as they were at process start, so that the tests of the catalogue pass alike
// whether each runs in a process of its own or all run in one.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <optional>
#include <string>

#include "../../fuzz/catalogue_tables.h"
#include "fake_platform.h"
#include "tz_cli.h"
#include "tz_config.h"
#include "tz_log.h"

namespace fake {

inline void reset_catalogue() {
    free_catalogue();
    memset(package_path, 0, sizeof package_path);
    handler_called = 0;
    tz_debug_level = 1;
    timezone_ltrace = nullptr;
    reset_sysdb();
    clear_log();

    // TZ and TZDIR as the process found them.
    auto env = [](const char *name) {
        const char *v = getenv(name);
        return v ? std::optional<std::string>(v) : std::nullopt;
    };
    static const std::optional<std::string> tz = env("TZ"), tzdir = env("TZDIR");
    for (auto [name, value] : {std::pair{"TZ", &tz}, std::pair{"TZDIR", &tzdir}}) {
        if (*value)
            setenv(name, (*value)->c_str(), 1);
        else
            unsetenv(name);
    }
}

// A test that starts from the state of a fresh process. (Nothing is reset after a test: a thread
// that a test left waiting on the doubles must not find them gone.)
class FreshCatalogue : public ::testing::Test {
  protected:
    void SetUp() override { reset_catalogue(); }
};

}  // namespace fake
