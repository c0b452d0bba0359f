// Stand-in for the CLI thread while the query service is not on this branch: start-up only needs
// a thread body to start. It notes whether it runs with the real-time signals blocked, then waits
// for good.
#include <unistd.h>

#include <atomic>

#include "tz_cli.h"

bool rt_signals_blocked();

std::atomic<int> cli_stand_in_masked{-1};

void *tz_cli_msg_thread(void *) {
    cli_stand_in_masked = rt_signals_blocked();
    for (;;)
        pause();
}
