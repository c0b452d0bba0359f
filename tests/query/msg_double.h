// A stand-in for the platform's event and messaging calls made by the query service, so that the
// handler and the CLI thread run in-process without a channel. Messages are queued by the test
// and delivered by event_block; replies and error replies are recorded.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform_events.h"

namespace msgdouble {

struct Reply {
    int32_t reply_id;
    bool is_error;
    int32_t error;               // msg_error's code
    int32_t flags;               // msg_reply's flags
    std::vector<uint8_t> bytes;  // msg_reply's data
};

struct CreateCall {
    int32_t kind;
    std::string channel;
    int32_t depth;
    bool slot_given;
};

// Behaviour of the next calls.
void reset();
void set_clinfo_result(int result);
void set_reply_result(int result);
void fail_create(int err);
void fail_attach(int err);
void fail_destroy(int err);

// A message for event_block to deliver: BYTES are copied into the loop's buffer (only as many as
// given, like a short datagram). fail_block queues one event_block failure instead.
void queue_message(int32_t reply_id, const void *bytes, size_t length);
void fail_block(int err);

std::vector<Reply> replies();
// Waits until at least N replies were recorded; false on timeout.
bool wait_replies(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(30));

std::vector<CreateCall> create_calls();
std::vector<uint8_t> attach_attributes();
event_msg_handler_t attached_handler();
void *attached_user();
int destroy_calls();
// The context that event_block saw last (its fields as the loop filled them).
event_context last_context();

}  // namespace msgdouble
