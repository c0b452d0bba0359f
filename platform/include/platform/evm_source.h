// How platform components deliver their events through an event manager: a descriptor watched by
// the manager's loop, or a function posted to it. Handlers run only inside vk_event_dispatch, on
// the thread that owns the manager, one at a time.
#pragma once

#include <stdint.h>

#include <functional>

#include "platform_events.h"

namespace platform {

// Called inside vk_event_dispatch when FD is readable (or has hung up). It gets the loop's
// context, so it may fill ctx->buffer and ctx->reply_id before calling a service handler. The
// watch is level-triggered: the handler reads what is there, or removes the source on hang-up.
using FdHandler = std::function<void(event_context *ctx, int fd)>;
using Posted = std::function<void(event_context *ctx)>;

// Watches FD on the manager's loop. The manager owns FD from now on and closes it when the source
// is removed or the manager destroyed (or at once, on failure). Returns a source id (never 0), or
// 0 on failure.
uint64_t evm_add_fd(evm_handle_t evm, int fd, FdHandler on_ready);

// Stops watching a source and closes its FD; safe from any thread. Once it returns, the handler
// is not started again; a run already in progress on the owner thread finishes first unless the
// caller is that thread (a handler may remove its own source).
void evm_remove_fd(evm_handle_t evm, uint64_t source);

// Runs FN once inside a later dispatch of the manager's loop; safe from any thread. Posts run in
// the order they were made; those still queued when the manager is destroyed are dropped. False
// when the manager does not exist.
bool evm_post(evm_handle_t evm, Posted fn);

// True when HANDLE names a live event manager.
bool evm_valid(evm_handle_t evm);

}  // namespace platform
