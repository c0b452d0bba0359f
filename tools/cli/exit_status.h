// The exit statuses of the command-line tools (tzctl and platformctl): one table for both, so
// that a script reads an outcome the same way whichever tool it ran.
#pragma once

namespace cli {

enum ExitStatus : int {
    kExitOk = 0,           // done; the query was answered
    kExitRefused = 1,      // refused or failed: an error answer, a refused change, no permission
    kExitUsage = 2,        // bad command line or environment, or an argument refused before sending
    kExitUnreachable = 3,  // the service or platformd is not running, or the exchange broke
    kExitNone = 4,         // the answer is "none": no such abbreviation, location, item or card
    kExitUnknown = 5,      // a change whose outcome is unknown: it may still be stored (cluster)
};

// The table as both tools' --help print it, each line indented by four spaces.
const char *exit_status_help();

}  // namespace cli
