// Cluster mode: platformd as one card's agent of a router whose shared state lives in etcd.
//
// The card's clients get the same configuration frames as in the embedded mode (cfgdb.cpp), but
// the items, the card's liveness and the dLRSC role are keys below /<router>/ in
// etcd (docs/cluster.md has the layout and the protocol):
// - the card holds a lease (renewed every 500 ms) with /<router>/cards/<N> on it;
// - queries read etcd (a member's own copy, so they need no quorum);
// - every card follows /<router>/cfg/ and hands the changes to its notification registrants,
//   reconciling with a full read on start, reconnection and compaction;
// - every commit, from whatever card, becomes a pending key; the dLRSC card hands them to its
//   pipeline in create-revision order and stores with a transaction fenced on the role key and
//   the pending key; the result key carries the outcome back to the requester;
// - role set writes the role key, role show describes every card from the cards' keys.
#pragma once

#include <memory>
#include <string>

#include "mode.h"
#include "router.h"
#include "server.h"

namespace platformd {

struct ClusterOptions {
    std::string endpoints;  // PLATFORM_ETCD
    std::string router;     // PLATFORM_ROUTER
    int card = 0;           // PLATFORM_CARD
};

// The cluster mode for cfgdb_open(), set up on SERVER (the role frames, the etcd client's
// descriptor, ticks); etcd is contacted from the loop. Null with the reason in ERROR.
std::unique_ptr<Mode> cluster_mode(Server &server, Router &router, const ClusterOptions &options,
                                   std::string &error);

}  // namespace platformd
