// platformd: the system manager, LR daemon and configuration database of one simulated router.
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "cfgdb.h"
#include "cluster.h"
#include "mode.h"
#include "platform/env.h"
#include "platform/service_manager.h"
#include "router.h"
#include "server.h"
#include "tzd_version.h"

namespace {

void usage(FILE *out) {
    fprintf(out,
            "usage: platformd [--help | --version]\n"
            "\n"
            "Serves the system manager, the LR daemon and the configuration database of one\n"
            "simulated router to every card on this machine. Runs in the foreground; SIGTERM or\n"
            "SIGINT stops it.\n"
            "\n"
            "Every user may connect and read (roles, status, items, faults) or register for\n"
            "events; only root and the owner of the directory that holds the socket (as it was\n"
            "when platformd started) may commit items, register a verifier, move the role, or\n"
            "set and clear faults.\n"
            "\n"
            "The dLRSC role is kept with the configuration items: restarted, platformd gives it\n"
            "back to the card that held it, or, when no process of that card is back 10 s after\n"
            "the start, to the lowest card that is up.\n"
            "\n"
            "environment:\n"
            "  PLATFORM_SOCKET    where to listen (default $PLATFORM_RUNDIR/platformd.sock)\n"
            "  PLATFORM_RUNDIR    runtime directory (default /run/platform or a per-user one)\n"
            "  PLATFORM_STATEDIR  database directory (default /var/lib/platform or per-user)\n"
            "  PLATFORM_ETCD      etcd endpoints (http://HOST:PORT,...): cluster mode, one\n"
            "                     platformd per card serving PLATFORM_CARD's clients\n"
            "  PLATFORM_ROUTER    the router's name in etcd (default router)\n"
            "\n"
            "See platformd(8).\n");
}

}  // namespace

int main(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--help") || !strcmp(argv[i], "-h")) {
            usage(stdout);
            return 0;
        }
        if (!strcmp(argv[i], "--version")) {
            printf("platformd %s\n", TZD_VERSION);
            return 0;
        }
        fprintf(stderr, "platformd: unknown argument '%s'\n", argv[i]);
        usage(stderr);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    umask(022);

    const platform::Env &env = platform::env();
    platformd::Options opts;
    opts.socket_path = env.socket;
    platformd::Server server(opts);
    std::string error;
    if (!server.listen(error)) {
        platformd::Server::log(error);
        return 1;
    }
    const char *etcd = getenv("PLATFORM_ETCD");
    if (etcd && *etcd) {
        // Cluster mode: this card's agent; the state is in etcd.
        platformd::Router router(server);
        const char *name = getenv("PLATFORM_ROUTER");
        platformd::ClusterOptions co{etcd, name && *name ? name : "router", env.card};
        auto mode = platformd::cluster_mode(server, router, co, error);
        if (!mode || !platformd::cfgdb_open(server, std::move(mode), error)) {
            platformd::Server::log("cluster mode: " + error);
            return 1;
        }
        platformd::Server::log("serving card " + std::to_string(env.card) + " on " + env.socket +
                               " (cluster mode, etcd " + co.endpoints + ", router " + co.router +
                               ")");
        if (uint32_t err = platform::notify_ready())
            platformd::Server::log(std::string("cannot report readiness: ") + strerror(int(err)));
        return server.run();
    }
    // The state directory holds the database; nobody else has business in it. (A directory that
    // already exists keeps its mode; the database file itself is always 0600.)
    if (std::string why = platform::own_dir(env.statedir, 0700); !why.empty()) {
        platformd::Server::log("refusing the state directory: " + why);
        return 1;
    }
    platformd::Router router(server);
    auto mode = platformd::embedded_mode(server, env.statedir, error);
    if (!mode || !platformd::cfgdb_open(server, std::move(mode), error)) {
        platformd::Server::log("configuration database: " + error);
        return 1;
    }
    if (!router.restore(platform::cfgdb::Store::file_in(env.statedir), error)) {
        platformd::Server::log("dLRSC role: " + error);
        return 1;
    }
    platformd::Server::log("serving on " + env.socket + " (state in " + env.statedir + ")");
    // Listening, with the database open: a service manager may start the daemon's clients now.
    if (uint32_t err = platform::notify_ready())
        platformd::Server::log(std::string("cannot report readiness to the service manager: ") +
                               strerror(int(err)));
    return server.run();
}
