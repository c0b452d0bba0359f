// Counters of the reply calls that the handler benchmark links instead of the platform's.
#pragma once

#include "platform_events.h"

namespace nullmsg {
extern long replies;
extern long errors;
}  // namespace nullmsg
