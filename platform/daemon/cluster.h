// Cluster mode: platformd as one card's agent of a router whose shared state lives in etcd.
//
// The agent serves its card's clients with the same configuration frames as the embedded
// database, but the items, the card's liveness and the dLRSC role are keys below /<router>/ in
// etcd (docs/cluster.md has the layout and the protocol):
// - the card holds a lease (renewed every 500 ms) with /<router>/cards/<N> on it;
// - queries read etcd (a member's own copy, so they need no quorum);
// - every card follows /<router>/cfg/ and hands the changes to its notification registrants,
//   reconciling with a full read on start, reconnection and compaction;
// - every commit, from whatever card, becomes a pending key; the dLRSC card takes them in
//   create-revision order, runs its verifier and stores with a transaction fenced on the role
//   key and the pending key; the result key carries the outcome back to the requester.
#pragma once

#include <string>

#include "router.h"
#include "server.h"

namespace platformd {

struct ClusterOptions {
    std::string endpoints;  // PLATFORM_ETCD
    std::string router;     // PLATFORM_ROUTER
    int card = 0;           // PLATFORM_CARD
};

// Sets the agent up on SERVER (frame handlers, the etcd client's descriptor, ticks, status);
// etcd is contacted from the loop. False with the reason in ERROR.
bool cluster_start(Server &server, Router &router, const ClusterOptions &options,
                   std::string &error);

}  // namespace platformd
