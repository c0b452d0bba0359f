// The platform calls the service's catalogue and query handler make, answered inside the fuzz
// process: reports are formatted (so a bad argument shows) and dropped, replies are recorded.
// Kept here rather than borrowed from the unit tests' doubles, so a change to those never breaks
// the fuzz build.
#pragma once

#include <stdint.h>

#include <vector>

namespace stubs {

// One msg_reply (error 0, the bytes sent) or msg_error (the error, no bytes).
struct Reply {
    int32_t reply_id;
    int32_t flags;
    int32_t error;
    std::vector<uint8_t> bytes;
};

// Forgets the replies; the next client-information and reply calls succeed.
void reset();
void fail_client_info();
void fail_reply();
const std::vector<Reply> &replies();

}  // namespace stubs
