// How tzd reaches the configuration-database client library: loaded with dlopen from the file
// that start-up waits for, never by the dynamic loader at exec. A tzd started on a card where the
// library is not installed yet thus starts, waits, and binds once the file is there.
//
// The operations the service calls are defined here under their own names and go through the
// entry points resolved from the loaded library. They are hidden, so that the library's own
// calls between its functions never land here. Every caller has passed tz_sysdb_lib_check first,
// which loads the library; a call before that fails as if the file were missing.
#include <dlfcn.h>

#include <atomic>
#include <mutex>
#include <string>

#include "platform_log.h"
#include "platform_sysdb.h"
#include "tz_dlrsc.h"

namespace {

struct tz_sysdb_ops {
    decltype(&::_sysdb_bind) bind;
    decltype(&::_sysdb_unbind) unbind;
    decltype(&::sysdb_register_verification) register_verification;
    decltype(&::_sysdb_register_notification) register_notification;
    decltype(&::sysdb_verification_unregister) verification_unregister;
    decltype(&::sysdb_notification_unregister) notification_unregister;
    decltype(&::backend_scan) scan;
    decltype(&::backend_verifyonly) verifyonly;
    decltype(&::backend_apply) apply;
    decltype(&::backend_notify) notify;
};

std::mutex tz_sysdb_load_mutex;
tz_sysdb_ops tz_sysdb_loaded;                         // filled once, under the mutex
std::atomic<const tz_sysdb_ops *> tz_sysdb{nullptr};  // published once filled
std::string tz_sysdb_load_error;                      // the last failure logged, under the mutex

template <typename F>
bool tz_resolve(void *library, const char *name, F &entry, std::string &error) {
    entry = reinterpret_cast<F>(dlsym(library, name));
    if (entry == nullptr)
        error = std::string(name) + " is missing";
    return entry != nullptr;
}

const tz_sysdb_ops *tz_ops(void) {
    return tz_sysdb.load(std::memory_order_acquire);
}

}  // namespace

bool tz_sysdb_lib_load(const char *path) {
    std::lock_guard lock(tz_sysdb_load_mutex);
    if (tz_ops() != nullptr)
        return true;
    // Kept open for the life of the process: registrations hold its functions.
    void *library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    std::string error;
    tz_sysdb_ops &o = tz_sysdb_loaded;
    bool ok =
        library != nullptr && tz_resolve(library, "_sysdb_bind", o.bind, error) &&
        tz_resolve(library, "_sysdb_unbind", o.unbind, error) &&
        tz_resolve(library, "sysdb_register_verification", o.register_verification, error) &&
        tz_resolve(library, "_sysdb_register_notification", o.register_notification, error) &&
        tz_resolve(library, "sysdb_verification_unregister", o.verification_unregister, error) &&
        tz_resolve(library, "sysdb_notification_unregister", o.notification_unregister, error) &&
        tz_resolve(library, "backend_scan", o.scan, error) &&
        tz_resolve(library, "backend_verifyonly", o.verifyonly, error) &&
        tz_resolve(library, "backend_apply", o.apply, error) &&
        tz_resolve(library, "backend_notify", o.notify, error);
    if (ok) {
        tz_sysdb.store(&o, std::memory_order_release);
        return true;
    }
    if (library == nullptr) {
        const char *why = dlerror();  // names the file
        error = why != nullptr ? why : std::string(path) + ": cannot be loaded";
    } else {
        dlclose(library);
        error = std::string(path) + ": " + error;
    }
    // A readable file that does not load is worth a line, once per reason: start-up keeps
    // trying every second.
    if (error != tz_sysdb_load_error) {
        tz_sysdb_load_error = error;
        vk_syslog(3, "tz_sysdb_lib_load: %s", error.c_str());
    }
    return false;
}

#define TZ_HIDDEN __attribute__((visibility("hidden")))

extern "C" {

TZ_HIDDEN uint32_t _sysdb_bind(sysdb_conn **conn, const char *path, uint32_t flags) {
    const tz_sysdb_ops *o = tz_ops();
    return o ? o->bind(conn, path, flags) : SYSDB_STATUS_NO_LIBRARY;
}

TZ_HIDDEN uint32_t _sysdb_unbind(sysdb_conn *conn) {
    const tz_sysdb_ops *o = tz_ops();
    return o ? o->unbind(conn) : SYSDB_STATUS_NO_LIBRARY;
}

TZ_HIDDEN uint32_t sysdb_register_verification(sysdb_conn *conn, const char *path, uint32_t scope,
                                               uint32_t flags, sysdb_verify_cb_t verify,
                                               sysdb_apply_cb_t apply, void *user, evm_handle_t evm,
                                               void *reserved1, void *reserved2, uint32_t options,
                                               uint32_t *handle) {
    const tz_sysdb_ops *o = tz_ops();
    return o ? o->register_verification(conn, path, scope, flags, verify, apply, user, evm,
                                        reserved1, reserved2, options, handle)
             : SYSDB_STATUS_NO_LIBRARY;
}

TZ_HIDDEN uint32_t _sysdb_register_notification(sysdb_conn *conn, const char *path, uint32_t scope,
                                                uint32_t flags, sysdb_notify_cb_t notify,
                                                evm_handle_t evm, void *user, void *reserved,
                                                uint32_t options, uint32_t *handle) {
    const tz_sysdb_ops *o = tz_ops();
    return o ? o->register_notification(conn, path, scope, flags, notify, evm, user, reserved,
                                        options, handle)
             : SYSDB_STATUS_NO_LIBRARY;
}

TZ_HIDDEN uint32_t sysdb_verification_unregister(sysdb_conn *conn, uint32_t handle) {
    const tz_sysdb_ops *o = tz_ops();
    return o ? o->verification_unregister(conn, handle) : SYSDB_STATUS_NO_LIBRARY;
}

TZ_HIDDEN uint32_t sysdb_notification_unregister(sysdb_conn *conn, uint32_t handle) {
    const tz_sysdb_ops *o = tz_ops();
    return o ? o->notification_unregister(conn, handle) : SYSDB_STATUS_NO_LIBRARY;
}

TZ_HIDDEN uint32_t backend_scan(sysdb_conn *conn, bgen_data *data, const char *path, uint32_t tag,
                                uint32_t flags) {
    const tz_sysdb_ops *o = tz_ops();
    return o ? o->scan(conn, data, path, tag, flags) : SYSDB_STATUS_NO_LIBRARY;
}

TZ_HIDDEN int32_t backend_verifyonly(bgen_data *data, sysdb_item *item, void *second,
                                     uint32_t *accept, void *fourth) {
    const tz_sysdb_ops *o = tz_ops();
    return o ? o->verifyonly(data, item, second, accept, fourth) : -1;
}

TZ_HIDDEN int32_t backend_apply(bgen_data *data, sysdb_item *item, void *second) {
    const tz_sysdb_ops *o = tz_ops();
    return o ? o->apply(data, item, second) : -1;
}

TZ_HIDDEN int32_t backend_notify(bgen_data *data, sysdb_item *item, void *second) {
    const tz_sysdb_ops *o = tz_ops();
    return o ? o->notify(data, item, second) : -1;
}

}  // extern "C"
