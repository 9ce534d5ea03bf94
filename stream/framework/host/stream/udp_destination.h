#pragma once

#include <string>
#include <sys/socket.h>

#include "status.h"

// Where the datagram sender sends: a numeric IPv4 or IPv6 address and port.
struct UdpDestination {
    sockaddr_storage address{};
    socklen_t length = 0;
    int family = 0;
    std::string text;  // "a.b.c.d:port" or "[v6]:port", for log lines
    bool group = false;  // a multicast group: 224.0.0.0/4 or ff00::/8

    // Accepts address literals only (no name look-up) and ports 1..65535;
    // otherwise FAILURE_INVALID with the reason in `reason`.
    static Status Parse(const std::string& address, int port, UdpDestination& out,
                        std::string& reason);
};

// Largest UDP payload one datagram of the family can carry.
int MaxUdpPayload(int family);
// IP fragments a datagram of that payload becomes on a link of the given MTU (1 = none).
int IpFragments(int family, int payload, int mtu);
