// The configuration database's hooks into platformd. The server calls them; the mode (mode.h)
// given to cfgdb_open() decides where the items live and how commits travel.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "server.h"

namespace platformd {

class Mode;

// Sets the database up over MODE at start-up; false with a reason in ERROR stops the daemon.
bool cfgdb_open(Server &, std::unique_ptr<Mode> mode, std::string &error);
// Every frame of type 0x100..0x1FF from a client that said HELLO.
void cfgdb_frame(Server &, Client &, const proto::Frame &);
// A client is gone (hung up, dropped, or the daemon is stopping); drop what it held.
void cfgdb_client_gone(Server &, Client &);
// About every 100 ms.
void cfgdb_tick(Server &);
// Lines for `platformctl status`.
void cfgdb_status(Server &, std::vector<std::string> &lines);

}  // namespace platformd
