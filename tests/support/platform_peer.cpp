// A process of one card that uses the platform as the service does, for tests: one event loop on
// a thread of its own, registrations made on the main thread, configuration handlers reached
// through backend descriptors. Every event becomes one line on standard output.
//
//   platform_peer [--probe] [--ready] [--role] [--verify | --notify [--path=PATH]]
//
// --verify and --notify register for /cfg/gl/clock/ (or PATH).
//
// --probe raises one syslog line and one error record and ends. An item's first string chooses
// what the verifier does: "refuse" (the check refuses with "no good: " and the second string),
// "failapply" (the apply handler fails), "acceptzero" (the verify callback refuses with status 0),
// "die" or "dieapply" (exit 3 in the verify or apply callback). SIGTERM ends it with status 0.
#include <errno.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <future>
#include <mutex>
#include <string>
#include <thread>

#include "platform_events.h"
#include "platform_log.h"
#include "platform_sysdb.h"

namespace {

std::mutex out_mu;
pid_t loop_tid = 0;

void say(const char *fmt, ...) {
    std::lock_guard<std::mutex> g(out_mu);
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    putchar('\n');
    fflush(stdout);
}

// Says "WHAT NAME FLAGS A|B" ("-" for no value), prefixed "offthread " when not on the
// loop's thread. Returns the first string; SECOND gets the second.
std::string event(const char *what, sysdb_item *item, std::string *second = nullptr) {
    char *a = nullptr, *b = nullptr;
    if (item->value && tuple_unpack(item->value, "%S%S", &a, &b) < 0)
        a = strdup("(unpack error)");
    std::string first = a ? a : "", value = item->value ? first + "|" + (b ? b : "") : "-";
    if (second)
        *second = b ? b : "";
    free(a);
    free(b);
    say("%s%s %s %u %s", gettid() == loop_tid ? "" : "offthread ", what, item->name,
        unsigned(item->flags), value.c_str());
    return first;
}

int32_t check_handler(sysdb_item *item, char **error_text, uint32_t *accept) {
    std::string second;
    *accept = event("check", item, &second) != "refuse";
    if (!*accept)
        *error_text = strdup(("no good: " + second).c_str());
    return *accept ? 0 : -1;
}

int32_t apply_handler(sysdb_item *item) {
    return event("applied", item) == "failapply" ? -1 : 0;
}

int32_t notify_handler(sysdb_item *item, void *, void *) {
    event("notified", item);
    return 0;
}

const bgen_header header = {"peer", 0, 1, -1, {}};
const bgen_handlers command_handlers = {5,       nullptr, check_handler, apply_handler, nullptr,
                                        nullptr, {}};
const bgen_handlers notify_handlers = {5, nullptr, nullptr, nullptr, nullptr, notify_handler, {}};
bgen_data command_data = {&header, &command_handlers, 1, 0};
bgen_data notify_data = {&header, &notify_handlers, 1, 0};

int32_t verify_cb(sysdb_item *item, void *second, uint32_t *accept, void *fourth) {
    std::string first = event("verify", item);
    if (first == "die")
        _exit(3);
    *accept = first != "acceptzero";
    if (!*accept)
        return 0;  // a refusal without a failure status
    bool deletion = item->flags & SYSDB_ITEM_DELETE;
    return deletion ? 0 : backend_verifyonly(&command_data, item, second, accept, fourth);
}

int32_t apply_cb(sysdb_item *item, void *second) {
    if (event("apply", item) == "dieapply")
        _exit(3);
    return item->flags & SYSDB_ITEM_DELETE ? 0 : backend_apply(&command_data, item, second);
}

int32_t notify_cb(sysdb_item *item, void *second) {
    return backend_notify(&notify_data, item, second);
}

int on_role(event_context *ctx) {
    auto *ev = static_cast<sysmgr_lr_event *>(ctx->buffer);
    say("%sevent %d dlrsc %d", gettid() == loop_tid ? "" : "offthread ", ev->event, ev->dlrsc_card);
    return 0;
}

int probe() {
    vel_msg_rec rec{0, "%s: %s", 0, "TZ", "OS", "SYSDB", 1, 3, {}, 0x0247006c, {}};
    vk_syslog(3, "probe: hello %d\n ", 42);
    // A severity out of range: the record's own (3) stands in for it.
    return vel_errmsg(&rec, 8, "Registration\nfailed", cerr_strerror(ENOENT)) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    auto has = [&](const char *opt) {
        return std::find(argv + 1, argv + argc, std::string(opt)) != argv + argc;
    };
    std::string path = "/cfg/gl/clock/";
    for (int i = 1; i < argc; i++)
        if (!strncmp(argv[i], "--path=", 7))
            path = argv[i] + 7;
    if (has("--probe"))
        return probe();

    // SIGTERM is taken by sigwait on this thread; every thread inherits the mask.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::promise<evm_handle_t> made;
    std::thread([&made] {
        loop_tid = gettid();
        evm_handle_t evm = event_manager_create(0, nullptr, 8, nullptr);
        made.set_value(evm);
        static char buf[128];
        event_context ctx{evm, 0, 0, buf, sizeof buf, 0, 0, 0, 0, 0};
        while (evm && event_block(&ctx) != -1)
            vk_event_dispatch(&ctx, 0);
    }).detach();
    evm_handle_t evm = made.get_future().get();
    if (!evm)
        return 2;

    if (has("--ready"))
        say("ready %u", sysmgr_proc_ready());
    if (has("--role") && sysmgr_register_lr_event(evm, 36, on_role, nullptr) != 0)
        return 1;
    bool notify = has("--notify"), sysdb = notify || has("--verify");
    sysdb_conn *conn = nullptr;
    uint32_t handle = 0, st = 1;
    while (sysdb && st != 0) {
        say("bind %x", st = _sysdb_bind(&conn, path.c_str(), 0));
        if (st != 0 && (st & SYSDB_STATUS_TRANSIENT_MASK) != SYSDB_STATUS_TRANSIENT)
            return 1;
        usleep(st ? 200000 : 0);
    }
    if (sysdb) {
        st = notify ? _sysdb_register_notification(conn, "", 7, 1, notify_cb, evm, nullptr, nullptr,
                                                   0, &handle)
                    : sysdb_register_verification(conn, "", 7, 0, verify_cb, apply_cb, nullptr, evm,
                                                  nullptr, nullptr, 0, &handle);
        say("register-%s %u", notify ? "notify" : "verify", st);
        if (st != 0)
            return 1;
    }
    say("serving");

    int sig = 0;
    sigwait(&set, &sig);
    return 0;
}
