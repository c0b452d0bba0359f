// The time-zone notification library: a card that follows the verifier applies each notified
// change of the time-zone item through the same setter, so every card ends with the same zone.
#include <stdlib.h>
#include <string.h>
#include <syslog.h>

#include "platform_log.h"
#include "platform_sysdb.h"

extern "C" int32_t tz_lib_srp_notify(sysdb_item *item, void * /*second*/, void * /*third*/,
                                     sysdb_conn * /*conn*/, uint32_t /*handle*/,
                                     int32_t /*flags*/) {
    if (!item) {
        vk_syslog(LOG_ERR, "tz_lib_srp_notify: notification without an item");
        return -1;
    }
    const char *what = item->path ? item->path : item->name ? item->name : "(unnamed item)";
    // "ts" is not a time-zone item and is never applied.
    if (item->name && strcmp(item->name, "ts") == 0)
        return 0;
    if (item->flags & SYSDB_ITEM_DELETE)
        return conf_set_timezone_string(nullptr, 0) ? 0 : -1;

    char *abbreviation = nullptr;
    char *zone = nullptr;
    if (tuple_unpack(item->value, "%S%S", &abbreviation, &zone) < 0) {
        vk_syslog(LOG_ERR, "tz_lib_srp_notify: cannot unpack the value of %s", what);
        return -1;
    }
    free(abbreviation);
    if (!zone) {
        vk_syslog(LOG_ERR, "tz_lib_srp_notify: %s holds no zone name", what);
        return -1;
    }
    return conf_set_timezone_string(zone, 0) ? 0 : -1;
}
