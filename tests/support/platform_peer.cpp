// A process of one card that uses the platform as the service does, for tests: one event loop on
// a thread of its own, registrations made on the main thread, configuration handlers reached
// through backend descriptors. Every event becomes one line on standard output.
//
//   platform_peer [--probe] [--ready] [--role] [--bind PATH] [--verify REL]... [--notify REL]...
//                 [--scan] [--tries N]
//
// --probe raises one syslog line and one error record and ends. An item's first string chooses
// what the verifier does: "refuse" (the check refuses with "no good: " and the second string),
// "failapply" (apply fails), "die" or "dieapply" (exit 3 in the verify or apply callback).
// SIGTERM unregisters, unbinds and ends with status 0.
#include <errno.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform_events.h"
#include "platform_log.h"
#include "platform_sysdb.h"

namespace {

std::mutex out_mu;
pid_t loop_tid = 0;
thread_local bool in_callback = false;

void say(const char *fmt, ...) {
    std::lock_guard<std::mutex> g(out_mu);
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    putchar('\n');
    fflush(stdout);
}

// "NAME FLAGS SEQUENCE A|B" ("-" for no value); FIRST and SECOND get the strings.
std::string describe(sysdb_item *item, std::string *first = nullptr,
                     std::string *second = nullptr) {
    if (gettid() != loop_tid)
        say("offthread %s", item->name);
    std::string out = std::string(item->name) + " " + std::to_string(item->flags) + " " +
                      std::to_string(item->sequence) + " ";
    char *a = nullptr, *b = nullptr;
    if (!item->value)
        return out + "-";
    if (tuple_unpack(item->value, "%S%S", &a, &b) < 0)
        return out + "(unpack error)";
    std::string sa = a ? a : "", sb = b ? b : "";
    free(a);
    free(b);
    if (first)
        *first = sa;
    if (second)
        *second = sb;
    return out + sa + "|" + sb;
}

// Prefix of lines from handlers: "scan-" when a scan, not a callback of the database, calls them.
const char *via() {
    return in_callback ? "" : "scan-";
}

int32_t check_handler(sysdb_item *item, char **error_text, uint32_t *accept) {
    std::string first, second;
    say("%scheck %s", via(), describe(item, &first, &second).c_str());
    *accept = first != "refuse";
    if (!*accept)
        *error_text = strdup(("no good: " + second).c_str());
    return *accept ? 0 : -1;
}

int32_t apply_handler(sysdb_item *item) {
    std::string first;
    std::string d = describe(item, &first);
    say("%s%s %s", via(), first == "failapply" ? "applyfail" : "applied", d.c_str());
    return first == "failapply" ? -1 : 0;
}

int32_t notify_handler(sysdb_item *item, void *, void *) {
    say("%snotified %s", via(), describe(item).c_str());
    return 0;
}

const bgen_header header = {"peer", 0, 1, -1, {}};
const bgen_handlers command_handlers = {5,       nullptr, check_handler, apply_handler, nullptr,
                                        nullptr, {}};
const bgen_handlers notify_handlers = {5, nullptr, nullptr, nullptr, nullptr, notify_handler, {}};
bgen_data command_data = {&header, &command_handlers, 1, 0};
bgen_data notify_data = {&header, &notify_handlers, 1, 0};

int32_t verify_cb(sysdb_item *item, void *second, uint32_t *accept, void *fourth) {
    std::string first;
    say("verify %s", describe(item, &first).c_str());
    if (first == "die")
        _exit(3);
    *accept = 1;
    if (item->flags & SYSDB_ITEM_DELETE)
        return 0;
    in_callback = true;
    int32_t status = backend_verifyonly(&command_data, item, second, accept, fourth);
    in_callback = false;
    return status;
}

int32_t apply_cb(sysdb_item *item, void *second) {
    std::string first;
    say("apply %s", describe(item, &first).c_str());
    if (first == "dieapply")
        _exit(3);
    if (item->flags & SYSDB_ITEM_DELETE)
        return 0;
    in_callback = true;
    int32_t status = backend_apply(&command_data, item, second);
    in_callback = false;
    return status;
}

int32_t notify_cb(sysdb_item *item, void *second) {
    say("notify %s", describe(item).c_str());
    in_callback = true;
    int32_t status = backend_notify(&notify_data, item, second);
    in_callback = false;
    return status;
}

int on_role(event_context *ctx) {
    auto *ev = static_cast<sysmgr_lr_event *>(ctx->buffer);
    say("%sevent %d dlrsc %d", gettid() == loop_tid ? "" : "offthread ", ev->event, ev->dlrsc_card);
    return 0;
}

int probe() {
    vel_msg_rec rec{};
    rec.format = "%s: %s";
    rec.facility = "TZ";
    rec.group = "OS";
    rec.mnemonic = "SYSDB";
    rec.flag = 1;
    rec.severity = 3;
    rec.msg_id = 0x0247006c;
    vk_syslog(3, "probe: hello %d\n ", 42);
    return vel_errmsg(&rec, 3, "Registration\nfailed", cerr_strerror(ENOENT)) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    std::string bind = "/cfg/gl/clock/";
    std::vector<std::string> verify, notify;
    bool ready = false, role = false, scan = false;
    int tries = 1;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i], next = i + 1 < argc ? argv[i + 1] : "";
        if (a == "--probe")
            return probe();
        ready |= a == "--ready";
        role |= a == "--role";
        scan |= a == "--scan";
        if (a == "--bind")
            bind = next;
        else if (a == "--verify")
            verify.push_back(next);
        else if (a == "--notify")
            notify.push_back(next);
        else if (a == "--tries")
            tries = atoi(next.c_str());
        i += a == "--bind" || a == "--verify" || a == "--notify" || a == "--tries";
    }

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
        event_context ctx{};
        ctx.evm = evm;
        ctx.buffer = buf;
        ctx.buffer_size = sizeof(buf);
        while (evm && event_block(&ctx) != -1)
            vk_event_dispatch(&ctx, 0);
    }).detach();
    evm_handle_t evm = made.get_future().get();
    if (!evm)
        return 2;

    if (ready)
        say("ready %u", sysmgr_proc_ready());
    if (role) {
        uint32_t st = sysmgr_register_lr_event(evm, 36, on_role, nullptr);
        say("role-register %u", st);
        if (st != 0)
            return 1;
    }
    sysdb_conn *conn = nullptr;
    std::vector<uint32_t> vhandles, nhandles;
    if (!verify.empty() || !notify.empty()) {
        for (;;) {
            uint32_t st = _sysdb_bind(&conn, bind.c_str(), 0);
            say("bind %x", st);
            if (st == 0)
                break;
            if ((st & SYSDB_STATUS_TRANSIENT_MASK) != SYSDB_STATUS_TRANSIENT)
                return 1;
            usleep(200000);
        }
    }
    for (bool verifier : {true, false}) {
        for (auto &p : verifier ? verify : notify) {
            uint32_t h = 0, st = 0;
            for (int t = 0; t < tries; t++) {
                st = verifier
                         ? sysdb_register_verification(conn, p.c_str(), 7, 0, verify_cb, apply_cb,
                                                       nullptr, evm, nullptr, nullptr, 0, &h)
                         : _sysdb_register_notification(conn, p.c_str(), 7, 1, notify_cb, evm,
                                                        nullptr, nullptr, 0, &h);
                say("register-%s %u", verifier ? "verify" : "notify", st);
                if (st == 0)
                    break;
                usleep(200000);
            }
            if (st != 0)
                return 1;
            (verifier ? vhandles : nhandles).push_back(h);
            if (scan)
                say("scan %u", backend_scan(conn, verifier ? &command_data : &notify_data,
                                            p.c_str(), 0xFEDCBA98, 0));
        }
    }
    say("serving");

    int sig = 0;
    sigwait(&set, &sig);
    for (uint32_t h : vhandles)
        say("unregister %u", sysdb_verification_unregister(conn, h));
    for (uint32_t h : nhandles)
        say("unregister %u", sysdb_notification_unregister(conn, h));
    if (conn)
        say("unbind %u", _sysdb_unbind(conn));
    return 0;
}
