// A verifier and notifiee for the configuration-database tests, built on libsysdb.so as the
// service is: callbacks delivered through an event manager whose loop runs on its own thread,
// handlers reached through backend descriptors. Every event becomes one line of the log file.
//
//   cfgdb_stub --log FILE [--bind PATH] [--verify REL]... [--notify REL]... [--scan]
//              [--tries N]
//
// Behaviour is chosen by the first string of an item's value: "refuse" (the check refuses with
// the text "no good: " + second string), "failapply" (apply fails), "die" (exit inside the verify
// callback), "dieapply" (exit inside the apply callback). SIGTERM unregisters, unbinds and exits.
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform_events.h"
#include "platform_sysdb.h"

namespace {

FILE *log_file = nullptr;
std::mutex log_mu;
pid_t loop_tid = 0;
thread_local bool in_callback = false;

void logf(const char *fmt, ...) {
    std::lock_guard<std::mutex> g(log_mu);
    va_list ap;
    va_start(ap, fmt);
    vfprintf(log_file, fmt, ap);
    va_end(ap);
    fputc('\n', log_file);
    fflush(log_file);
}

pid_t tid() {
    return pid_t(syscall(SYS_gettid));
}

// "NAME FLAGS SEQUENCE A|B", "-" for the value of a deletion; FIRST gets the first string.
std::string describe(sysdb_item *item, std::string *first = nullptr) {
    std::string out = std::string(item->name) + " " + std::to_string(item->flags) + " " +
                      std::to_string(item->sequence) + " ";
    if (!item->value)
        return out + "-";
    char *a = nullptr, *b = nullptr;
    if (tuple_unpack(item->value, "%S%S", &a, &b) < 0)
        return out + "(unpack error)";
    out += std::string(a ? a : "") + "|" + (b ? b : "");
    if (first)
        *first = a ? a : "";
    free(a);
    free(b);
    return out;
}

void check_thread(const char *what) {
    if (tid() != loop_tid)
        logf("offthread %s", what);
}

int32_t check_handler(sysdb_item *item, char **error_text, uint32_t *accept) {
    check_thread("check");
    std::string first;
    std::string d = describe(item, &first);
    logf("%scheck %s", in_callback ? "" : "scan-", d.c_str());
    *accept = 0;
    if (first == "refuse") {
        char *a = nullptr, *b = nullptr;
        tuple_unpack(item->value, "%S%S", &a, &b);
        std::string text = std::string("no good: ") + (b ? b : "");
        free(a);
        free(b);
        *error_text = strdup(text.c_str());
        return -1;
    }
    *accept = 1;
    return 0;
}

int32_t apply_handler(sysdb_item *item) {
    check_thread("apply");
    std::string first;
    std::string d = describe(item, &first);
    if (first == "failapply") {
        logf("applyfail %s", d.c_str());
        return -1;
    }
    logf("%sapplied %s", in_callback ? "" : "scan-", d.c_str());
    return 0;
}

int32_t notify_handler(sysdb_item *item, void *, void *) {
    check_thread("notify");
    logf("%snotified %s", in_callback ? "" : "scan-", describe(item).c_str());
    return 0;
}

const bgen_header header = {"stub", 0, 1, -1, {}};
const bgen_handlers command_handlers = {5,       nullptr, check_handler, apply_handler, nullptr,
                                        nullptr, {}};
const bgen_handlers notify_handlers = {5, nullptr, nullptr, nullptr, nullptr, notify_handler, {}};
bgen_data command_data = {&header, &command_handlers, 1, 0};
bgen_data notify_data = {&header, &notify_handlers, 1, 0};

int32_t verify_cb(sysdb_item *item, void *second, uint32_t *accept, void *fourth) {
    std::string first;
    logf("verify %s", describe(item, &first).c_str());
    if (first == "die")
        _exit(3);
    if (item->flags & SYSDB_ITEM_DELETE) {
        *accept = 1;
        return 0;
    }
    in_callback = true;
    int32_t status = backend_verifyonly(&command_data, item, second, accept, fourth);
    in_callback = false;
    return status;
}

int32_t apply_cb(sysdb_item *item, void *second) {
    std::string first;
    logf("apply %s", describe(item, &first).c_str());
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
    logf("notify %s", describe(item).c_str());
    in_callback = true;
    int32_t status = backend_notify(&notify_data, item, second);
    in_callback = false;
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    std::string log_path, bind = "/cfg/gl/clock/";
    std::vector<std::string> verify, notify;
    bool scan = false;
    int tries = 1;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) {
                fprintf(stderr, "cfgdb_stub: %s needs a value\n", a.c_str());
                exit(2);
            }
            return argv[++i];
        };
        if (a == "--log")
            log_path = next();
        else if (a == "--bind")
            bind = next();
        else if (a == "--verify")
            verify.push_back(next());
        else if (a == "--notify")
            notify.push_back(next());
        else if (a == "--scan")
            scan = true;
        else if (a == "--tries")
            tries = atoi(next().c_str());
        else {
            fprintf(stderr, "cfgdb_stub: unknown argument %s\n", a.c_str());
            return 2;
        }
    }
    log_file = fopen(log_path.c_str(), "a");
    if (!log_file) {
        perror(log_path.c_str());
        return 2;
    }

    // SIGTERM is taken by sigwait on the main thread; every thread inherits the mask.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);

    std::promise<evm_handle_t> made;
    std::thread([&made] {
        loop_tid = tid();
        evm_handle_t evm = event_manager_create(0, nullptr, 8, nullptr);
        made.set_value(evm);
        if (!evm)
            return;
        static char buf[128];
        event_context ctx{};
        ctx.evm = evm;
        ctx.buffer = buf;
        ctx.buffer_size = sizeof(buf);
        while (event_block(&ctx) != -1)
            vk_event_dispatch(&ctx, 0);
        logf("loop ended");
    }).detach();
    evm_handle_t evm = made.get_future().get();
    if (!evm) {
        logf("no event manager");
        return 2;
    }

    // Registration happens on this thread; callbacks must still arrive on the loop's.
    sysdb_conn *conn = nullptr;
    for (;;) {
        uint32_t st = _sysdb_bind(&conn, bind.c_str(), 0);
        logf("bind %x", st);
        if (st == 0)
            break;
        if ((st & SYSDB_STATUS_TRANSIENT_MASK) != SYSDB_STATUS_TRANSIENT)
            return 1;
        usleep(200000);
    }
    std::vector<uint32_t> vhandles, nhandles;
    for (auto &p : verify) {
        uint32_t h = 0, st = 0;
        for (int t = 0; t < tries; t++) {
            st = sysdb_register_verification(conn, p.c_str(), 7, 0, verify_cb, apply_cb, nullptr,
                                             evm, nullptr, nullptr, 0, &h);
            logf("register-verify %u", st);
            if (st == 0)
                break;
            usleep(200000);
        }
        if (st != 0)
            return 1;
        vhandles.push_back(h);
        if (scan)
            logf("scan %u", backend_scan(conn, &command_data, p.c_str(), 0xFEDCBA98, 0));
    }
    for (auto &p : notify) {
        uint32_t h = 0, st = 0;
        for (int t = 0; t < tries; t++) {
            st = _sysdb_register_notification(conn, p.c_str(), 7, 1, notify_cb, evm, nullptr,
                                              nullptr, 0, &h);
            logf("register-notify %u", st);
            if (st == 0)
                break;
            usleep(200000);
        }
        if (st != 0)
            return 1;
        nhandles.push_back(h);
        if (scan)
            logf("scan %u", backend_scan(conn, &notify_data, p.c_str(), 0xFEDCBA99, 0));
    }
    logf("ready");

    int sig = 0;
    sigwait(&set, &sig);
    for (uint32_t h : vhandles)
        logf("unregister %u", sysdb_verification_unregister(conn, h));
    for (uint32_t h : nhandles)
        logf("unregister %u", sysdb_notification_unregister(conn, h));
    logf("unbind %u", _sysdb_unbind(conn));
    return 0;
}
