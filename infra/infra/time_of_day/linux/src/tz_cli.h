// The query service: the CLI thread and the handler of query messages.
#ifndef TZ_CLI_H
#define TZ_CLI_H

#include <stdint.h>

#include "platform_events.h"

#define TZ_CLI_CHANNEL "/dev/tz_cli_msg_transfer"

extern int32_t handler_called;

void *tz_cli_msg_thread(void *arg);
int tz_message_handler(event_context *ctx, void *user);

#endif
