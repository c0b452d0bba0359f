#include "exit_status.h"

namespace cli {

const char *exit_status_help() {
    return "    0   done: the query was answered, the change committed\n"
           "    1   refused or failed: the service or platformd answered with an error, refused\n"
           "        the change (also an unknown zone, caught before committing), or refused it to\n"
           "        this user; the reason is on standard error\n"
           "    2   bad command line or environment (e.g. PLATFORM_CARD=1x), or an argument\n"
           "        that cannot be sent (an abbreviation over 10 characters)\n"
           "    3   the time-zone service or platformd is not running, or the exchange with it\n"
           "        failed\n"
           "    4   the answer is \"none\": no such abbreviation, no unique completion, unknown\n"
           "        location, no such item, card or fault, nothing configured\n"
           "    5   outcome unknown: the change was handed to etcd (cluster mode) and no answer\n"
           "        came in time; it may or may not be stored, 'cfg get' tells later\n";
}

}  // namespace cli
