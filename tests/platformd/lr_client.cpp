// A process of one card that uses the system-manager client as the service does: optionally
// reports readiness, registers for role events on its own event manager and prints every event
// it gets ("event 4 dlrsc 0"), read from the loop's buffer at offset 24 and 28.
#include <stdio.h>
#include <string.h>

#include "platform_events.h"

namespace {

int on_event(event_context *ctx) {
    int32_t event = 0, dlrsc = 0;
    memcpy(&event, static_cast<char *>(ctx->buffer) + 24, 4);
    memcpy(&dlrsc, static_cast<char *>(ctx->buffer) + 28, 4);
    printf("event %d dlrsc %d\n", event, dlrsc);
    fflush(stdout);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    bool ready = argc > 1 && !strcmp(argv[1], "--ready");
    if (ready) {
        printf("ready %u\n", sysmgr_proc_ready());
        fflush(stdout);
    }
    evm_handle_t evm = event_manager_create(4, nullptr, 1, nullptr);
    if (!evm)
        return 1;
    uint32_t st = sysmgr_register_lr_event(evm, 36, on_event, nullptr);
    printf("registered %u\n", st);
    fflush(stdout);
    if (st != 0)
        return 1;
    sysmgr_set_evm(evm);
    static char buffer[128];
    event_context ctx{};
    ctx.evm = evm;
    ctx.buffer = buffer;
    ctx.buffer_size = sizeof(buffer);
    while (event_block(&ctx) != -1)
        vk_event_dispatch(&ctx, 0);
    return 0;
}
