// Readiness for the service manager that started this process, when there is one.
#pragma once

#include <stdint.h>

namespace platform {

// Sends systemd's readiness notification ("READY=1") to $NOTIFY_SOCKET, a path or, with a leading
// '@', an abstract address. 0 when it was sent or when NOTIFY_SOCKET is not set; otherwise an
// errno value.
uint32_t notify_ready();

}  // namespace platform
