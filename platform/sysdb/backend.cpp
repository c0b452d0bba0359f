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

// Runs the descriptor's handlers on one stored item. For a command descriptor fed through a
// verifier registration, an item older than one the registration already applied is skipped.
void hand_item(const bgen_data *data, const CfgEntry &e, const std::string &base,
               const std::shared_ptr<sysdb::Reg> &reg) {
    const bgen_handlers *h = data->handlers;
    std::string name = sysdb::relative(e.path, base);
    sysdb_item item{};
    item.name = name.c_str();
    item.path = e.path.c_str();
    item.sequence = e.sequence;
    item.value = platform::tuple_new(e.value.data(), e.value.size());
    if (command_descriptor(h)) {
        bool stale = false;
        if (reg) {
            auto seen = reg->applied.find(e.path);
            stale = seen != reg->applied.end() && seen->second >= e.sequence;
        }
        int32_t status = 0;
        uint32_t accept = 1;
        if (!stale && h->check) {
            char *reason = nullptr;
            accept = 0;
            status = h->check(&item, &reason, &accept);
            free(reason);
        }
        if (!stale && status == 0 && accept && h->apply && h->apply(&item) == 0 && reg)
            reg->applied[e.path] = e.sequence;
    } else if (h->notify) {
        h->notify(&item, nullptr, nullptr);
    }
    platform::tuple_free(item.value);
}

}  // namespace

extern "C" {

// Fetches the items stored below the bound path + PATH now. When this connection holds the
// matching registration (a verifier for a command descriptor, a notification registration for a
// notify one), the handlers run on that registration's event manager, in order with its
// callbacks; otherwise they run on the calling thread before this returns.
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
    std::vector<CfgEntry> items;
    uint32_t status = conn->scan(base, items);
    if (status != 0)
        return status;
    if (items.empty())
        return 0;
    auto reg = conn->registration_for(base, command);
    const std::string &names = reg ? reg->path : base;
    if (reg && platform::evm_post(reg->evm, [data, items, names, reg](event_context *) {
            for (auto &e : items)
                hand_item(data, e, names, reg);
        }))
        return 0;
    for (auto &e : items)
        hand_item(data, e, base, nullptr);
    return 0;
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
