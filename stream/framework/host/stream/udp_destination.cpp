#include "udp_destination.h"

#include <cstring>
#include <netdb.h>
#include <netinet/in.h>

Status UdpDestination::Parse(const std::string& address, int port, UdpDestination& out,
                             std::string& reason) {
    if (port < 1 || port > 65535) {
        reason = "port " + std::to_string(port) + " is outside 1..65535";
        return Status::FAILURE_INVALID;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    // Literals only: a host name would mean a blocking look-up inside the loop.
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int result = getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (result != 0 || !found) {
        reason = "\"" + address + "\" is not an IPv4 or IPv6 address (" + gai_strerror(result) + ")";
        return Status::FAILURE_INVALID;
    }
    memcpy(&out.address, found->ai_addr, found->ai_addrlen);
    out.length = found->ai_addrlen;
    out.family = found->ai_family;
    freeaddrinfo(found);
    if (out.family == AF_INET6)
        out.group = IN6_IS_ADDR_MULTICAST(&reinterpret_cast<const sockaddr_in6*>(&out.address)->sin6_addr);
    else
        out.group = IN_MULTICAST(ntohl(reinterpret_cast<const sockaddr_in*>(&out.address)->sin_addr.s_addr));
    out.text = (out.family == AF_INET6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
    return Status::SUCCESS;
}

int MaxUdpPayload(int family) {
    // IPv4 counts its own header in the 16-bit total length; IPv6 does not.
    return family == AF_INET6 ? 65535 - 8 : 65535 - 20 - 8;
}

int IpFragments(int family, int payload, int mtu) {
    const int ip_header = family == AF_INET6 ? 40 : 20;
    const int datagram = payload + 8;  // UDP header travels in the first fragment
    if (datagram + ip_header <= mtu) return 1;
    // Fragment payloads are multiples of 8; IPv6 adds an 8-byte fragment header.
    const int per_fragment = ((mtu - ip_header - (family == AF_INET6 ? 8 : 0)) / 8) * 8;
    return (datagram + per_fragment - 1) / per_fragment;
}
