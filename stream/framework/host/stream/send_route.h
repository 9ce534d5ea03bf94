#pragma once

#include <string>

#include "net_interface.h"
#include "options.h"
#include "status.h"
#include "udp_destination.h"

// How the datagrams leave: their hop limit and, to a group, the interface
// they are sent on and whether this machine's own receivers get a copy.
struct SendRoute {
    int hop_limit = 0;  // 0: the system's
    NetInterface interface;  // index 0: the routing table's choice
    bool loop = true;

    // Reads `<name>.ttl`, `<name>.interface` and `<name>.loop`: FAILURE_INVALID
    // with the reason for a hop limit outside 1..255, an interface that is not
    // there or is down, or an interface for a unicast destination.
    static Status Read(const Options& options, const std::string& name, const UdpDestination& destination,
                       SendRoute& out, std::string& reason);
    // "the group 239.255.0.1:5000 (hop limit 1, on eth0, ...)", or the unicast
    // destination with its TTL when one was set.
    std::string Describe(const UdpDestination& destination) const;
};
