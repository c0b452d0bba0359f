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
    int32_t reply_id, flags, error;
    std::vector<uint8_t> bytes;
};

extern std::vector<Reply> replies;
// Whether the next client-information and reply calls fail.
extern bool client_info_fails, reply_fails;

}  // namespace stubs
