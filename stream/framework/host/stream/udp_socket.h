#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/uio.h>

#include "status.h"
#include "send_route.h"
#include "udp_destination.h"

// A non-blocking, unconnected UDP socket that asks the kernel to report
// ICMP errors (IP_RECVERR), so a destination without a listener is seen.
class UdpSocket {
public:
    struct Errors {
        uint64_t refused = 0;  // port unreachable: nobody listening
        uint64_t other = 0;
        int last_other = 0;    // errno of the last other report
    };

    UdpSocket() = default;
    ~UdpSocket();
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    // Logs and returns FAILURE_SYSCALL on failure, also when the route's
    // hop limit, interface or loop cannot be set.
    Status Open(const UdpDestination& destination, const SendRoute& route);
    int GetFd() const { return m_fd; }

    // One datagram from the gathered pieces; 0 or the errno of the failure.
    int Send(const UdpDestination& destination, const iovec* pieces, size_t count);
    // Reads every queued error report, adding them to errors.
    void DrainErrors(Errors& errors);

private:
    Status Apply(const UdpDestination& destination, const SendRoute& route);

    int m_fd = -1;
};
