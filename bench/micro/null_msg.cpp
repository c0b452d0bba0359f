// Reply calls that send nothing, linked into the handler benchmark in place of the platform's
// channel, so that the handler's own work is measured without a socket. They only count, so the
// benchmark can tell a reply from an error reply.
#include "null_msg.h"

namespace nullmsg {
long replies = 0;
long errors = 0;
}  // namespace nullmsg

extern "C" int msg_get_clinfo_m_msglen(int32_t, uint64_t *length) {
    *length = 0;
    return 0;
}

extern "C" int msg_reply(int32_t, int32_t, const void *, size_t) {
    nullmsg::replies++;
    return 0;
}

extern "C" int msg_error(int32_t, int32_t) {
    nullmsg::errors++;
    return 0;
}
