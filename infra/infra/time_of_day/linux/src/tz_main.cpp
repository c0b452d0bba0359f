// tzd: the time-zone service. It reads no configuration file and takes no arguments; --help and
// --version only print and exit, before anything starts.
#include <stdio.h>
#include <string.h>

#include "tz_startup.h"
#include "tzd_version.h"

static const char tz_usage[] = "usage: tzd [--help | --version]\n";

static const char tz_help[] =
    "\n"
    "The time-zone service of one card of the router. It answers time-zone queries on the\n"
    "channel $PLATFORM_RUNDIR/dev/tz_cli_msg_transfer (tzctl is its client), verifies and\n"
    "applies the configured zone /cfg/gl/clock/timezone on the card that holds the dLRSC role\n"
    "and follows it on every other card. It runs in the foreground until it is stopped and\n"
    "reads no configuration file.\n"
    "\n"
    "environment:\n"
    "  PLATFORM_RUNDIR     this card's runtime directory (default /run/platform or per-user)\n"
    "  PLATFORM_SOCKET     platformd's socket (default $PLATFORM_RUNDIR/platformd.sock)\n"
    "  PLATFORM_CARD       the card this process runs on (default 0)\n"
    "  PLATFORM_LOCALTIME  the link pointed at the zone in effect (a system sets /etc/localtime)\n"
    "  PLATFORM_LOG_STDERR 1: syslog lines also go to standard error\n"
    "  TZDIR               the zoneinfo root (default /usr/share/zoneinfo)\n"
    "\n"
    "See tzd(8).\n";

int main(int argc, char **argv) {
    if (argc > 1) {
        if (argc == 2 && strcmp(argv[1], "--version") == 0) {
            printf("tzd %s\n", TZD_VERSION);
            return 0;
        }
        if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
            printf("%s%s", tz_usage, tz_help);
            return 0;
        }
        fprintf(stderr, "tzd: unexpected argument '%s'\n%s", argv[1], tz_usage);
        return 2;
    }
    tz_config_register();
    return 0;
}
