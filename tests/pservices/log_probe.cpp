// Raises one syslog line and one error record, for tests that look at a separate program's
// standard error and records file.
#include <errno.h>

#include "platform_log.h"

static const char facility[] = "TZ";
static const char group[] = "OS";
static const char mnemonic[] = "SYSDB";
static const char format[] = "%s: %s";

int main() {
    vel_msg_rec rec{};
    rec.format = format;
    rec.facility = facility;
    rec.group = group;
    rec.mnemonic = mnemonic;
    rec.flag = 1;
    rec.severity = 3;
    rec.msg_id = 0x0247006c;
    vk_syslog(3, "probe: hello %d\n ", 42);
    return vel_errmsg(&rec, 3, "Registration failed", cerr_strerror(ENOENT)) == 0 ? 0 : 1;
}
