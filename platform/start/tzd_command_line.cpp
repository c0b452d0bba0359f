// The command line of the tzd program on this machine. The service itself takes no arguments and
// its main ignores them; what a person types here is answered before main runs, from the
// executable's own initialisation (glibc hands argc and argv to it): --help and --version print
// and exit 0, anything else is a usage error (status 2), and no argument at all starts the
// service. So nothing of the service starts for a mistyped command line.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "tzd_version.h"

namespace {

const char usage[] = "usage: tzd [--help | --version]\n";

const char help[] =
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

void tzd_command_line(int argc, char **argv, char **) {
    if (argc <= 1)
        return;
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        printf("tzd %s\n", TZD_VERSION);
        fflush(stdout);
        _exit(0);
    }
    if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        printf("%s%s", usage, help);
        fflush(stdout);
        _exit(0);
    }
    fprintf(stderr, "tzd: unexpected argument '%s'\n%s", argv[1], usage);
    _exit(2);
}

}  // namespace

// In the executable's initialisation array, so it runs after the libraries are set up and before
// main and before any constructor of the program's own objects does anything observable.
__attribute__((section(".init_array"), used)) static void (*const tzd_command_line_entry)(
    int, char **, char **) = tzd_command_line;
