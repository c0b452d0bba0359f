#include "service_stubs.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include "platform_events.h"
#include "platform_log.h"

namespace stubs {
std::vector<Reply> replies;
bool client_info_fails, reply_fails;
}  // namespace stubs

extern "C" {

int vk_syslog(int, const char *format, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, format);
    vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    return 0;
}

int vel_errmsg(const vel_msg_rec *record, int severity, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, severity);
    vsnprintf(buf, sizeof buf, record->format, ap);
    va_end(ap);
    return 0;
}

const char *cerr_strerror(uint32_t) {
    return "status";
}

uint32_t ltrace_init2(const char *, int32_t, int32_t, int32_t, int32_t, int32_t,
                      ltrace_buf **handle) {
    *handle = nullptr;
    return 0;
}

int32_t _lstrace(ltrace_buf *, uint64_t, const char *) {
    return 0;
}

int msg_get_clinfo_m_msglen(int32_t, uint64_t *length) {
    *length = 0;
    return stubs::client_info_fails ? -1 : 0;
}

int msg_reply(int32_t reply_id, int32_t flags, const void *buffer, size_t length) {
    auto *b = static_cast<const uint8_t *>(buffer);
    stubs::replies.push_back({reply_id, flags, 0, std::vector<uint8_t>(b, b + length)});
    return stubs::reply_fails ? -1 : 0;
}

int msg_error(int32_t reply_id, int32_t error) {
    stubs::replies.push_back({reply_id, 0, error, {}});
    return 0;
}

// The CLI thread's loop is not run here: the targets call the handler directly.
#define NEVER_CALLED(type, name, params) \
    type name params {                   \
        abort();                         \
    }
NEVER_CALLED(evm_handle_t, event_manager_create, (int32_t, const char *, int32_t, void *))
NEVER_CALLED(int, event_manager_destroy, (evm_handle_t *))
NEVER_CALLED(int, event_message_attach, (evm_handle_t, const void *, event_msg_handler_t, void *))
NEVER_CALLED(int, event_block, (event_context *))
NEVER_CALLED(int, vk_event_dispatch, (event_context *, int))

}  // extern "C"
