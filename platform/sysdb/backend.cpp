// The backend library: hands items to the handlers of a backend descriptor (check and apply for a
// command descriptor, notify for a notify descriptor). A null handler slot means the descriptor
// has no such handler.
#include <stdlib.h>

#include "client.h"
#include "platform/evm_source.h"
#include "platform/tuple.h"

using namespace platform::proto;

namespace {

bool command_descriptor(const bgen_handlers *h) {
    return h->check || h->apply;
}

}  // namespace

extern "C" {

// Has platformd hand the stored state below the bound path + PATH (deletions included) to the
// registration of this connection that the descriptor serves: the verifier for a command
// descriptor, the notification registration for a notify one. The items then arrive as that
// registration's callouts, on its event manager, in order with its other callbacks and through
// the same callbacks as a commit's (check then apply, or notify), which hand them on to the
// descriptor's handlers. Without such a registration there is nothing to feed: ENOCONN.
uint32_t backend_scan(sysdb_conn *conn, bgen_data *data, const char *path, uint32_t, uint32_t) {
    if (!conn)
        return ENOCONN;
    if (!data || !data->handlers || !path)
        return sysdb::S_EINVAL;
    const bgen_handlers *h = data->handlers;
    bool command = command_descriptor(h);
    if (!command && !h->notify)
        return sysdb::S_EINVAL;
    std::string base;
    {
        std::lock_guard<std::mutex> g(conn->mu);
        if (!conn->bound)
            return ENOCONN;
        base = sysdb::join(conn->path, path);
    }
    if (!cfg_path_ok(base))
        return sysdb::S_EINVAL;
    auto reg = conn->registration_for(base, command);
    if (!reg)
        return ENOCONN;
    uint32_t server = 0;
    {
        std::lock_guard<std::mutex> g(reg->mu);
        // A registration being made again is handed the state by platformd anyway.
        if (reg->lost || reg->cancelled)
            return 0;
        server = reg->server;
    }
    Writer w;
    w.u32(server);
    uint32_t status = 0;
    std::string message;
    std::vector<uint8_t> body;
    if (!conn->call(T_CFG_RESYNC, w, status, message, body))
        return ENOCONN;
    return status;
}

int32_t backend_verifyonly(bgen_data *data, sysdb_item *item, void *second, uint32_t *accept,
                           void *) {
    if (!data || !data->handlers || !item || !accept)
        return -1;
    if (!data->handlers->check) {
        *accept = 1;
        return 0;
    }
    char *local = nullptr;
    char **slot = second ? static_cast<char **>(second) : &local;
    int32_t status = data->handlers->check(item, slot, accept);
    free(local);
    return status;
}

int32_t backend_apply(bgen_data *data, sysdb_item *item, void *) {
    if (!data || !data->handlers || !item)
        return -1;
    return data->handlers->apply ? data->handlers->apply(item) : 0;
}

int32_t backend_notify(bgen_data *data, sysdb_item *item, void *second) {
    if (!data || !data->handlers || !item)
        return -1;
    return data->handlers->notify ? data->handlers->notify(item, second, nullptr) : 0;
}

}  // extern "C"
