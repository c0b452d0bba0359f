// The query service alone, for tests that drive it as a process of its own: the CLI thread of
// tzd on the channel below $PLATFORM_RUNDIR, with the catalogue built from $TZDIR.
#include "tz_cli.h"

int main() {
    tz_cli_msg_thread(nullptr);
    return 0;
}
