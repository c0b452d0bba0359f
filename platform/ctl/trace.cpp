// platformctl trace: prints a trace buffer of this card, oldest line first. Reads the buffer
// file directly, so it works while the writer runs, after it ended, and without platformd.
#include <stdio.h>
#include <time.h>

#include "ctl.h"
#include "platform/ltrace_reader.h"

namespace platformctl {
namespace {

int trace(const std::vector<std::string> &args) {
    bool times = false;
    std::string name;
    for (auto &a : args) {
        if (a == "-t" || a == "--time")
            times = true;
        else if (!a.empty() && a[0] == '-')
            return usage_error("trace", "", "unknown option '" + a + "'");
        else if (name.empty())
            name = a;
        else
            return usage_error("trace", "", "one trace buffer at a time");
    }
    if (name.empty())
        return usage_error("trace", "", "which trace buffer? (e.g. tz_ltrace)");
    std::vector<platform::LtraceEntry> entries;
    std::string error;
    std::string path = platform::ltrace_path(name);
    if (path.empty())
        return usage_error("trace", "", "'" + name + "' is not a trace buffer name");
    if (!platform::ltrace_read_file(path, entries, error))
        return fail(EXIT_FAILED, error);
    for (auto &e : entries) {
        std::string text = e.text;
        while (!text.empty() && text.back() == '\n')
            text.pop_back();
        if (times) {
            time_t secs = time_t(e.time_ns / 1000000000);
            struct tm tm;
            localtime_r(&secs, &tm);
            char stamp[32];
            strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &tm);
            printf("%s.%06u %s\n", stamp, unsigned(e.time_ns % 1000000000 / 1000), text.c_str());
        } else {
            printf("%s\n", text.c_str());
        }
    }
    return EXIT_OK;
}

Register reg({
    {"trace", "", "[-t] NAME", "print a trace buffer of this card, oldest line first (-t: times)",
     trace},
});

}  // namespace
}  // namespace platformctl
