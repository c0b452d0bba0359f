// Placeholder until the configuration database is built in: every configuration request is
// answered ENOSYS.
#include <errno.h>

#include "cfgdb.h"

namespace platformd {

bool cfgdb_open(Server &, const std::string &, std::string &) {
    return true;
}

void cfgdb_frame(Server &server, Client &client, const proto::Frame &frame) {
    server.reply(client, frame, ENOSYS, "the configuration database is not built into platformd");
}

void cfgdb_client_gone(Server &, Client &) {}

void cfgdb_tick(Server &) {}

void cfgdb_status(Server &, std::vector<std::string> &lines) {
    lines.push_back("configuration database: not built in");
}

}  // namespace platformd
