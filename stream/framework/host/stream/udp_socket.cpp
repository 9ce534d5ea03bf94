#include "udp_socket.h"

#include <cerrno>
#include <linux/errqueue.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "log.h"

UdpSocket::~UdpSocket() {
    if (m_fd >= 0 && close(m_fd) < 0) Log::Instance().Errorf("UdpSocket: close(%d): %m", m_fd);
}

namespace {

bool SetOption(int fd, int level, int name, const void* value, socklen_t length, const char* what) {
    errno = 0;
    if (setsockopt(fd, level, name, value, length) == 0) return true;
    Log::Instance().Errorf("UdpSocket: cannot set the %s: (%d) %m", what, errno);
    return false;
}

bool SetInt(int fd, int level, int name, int value, const char* what) {
    return SetOption(fd, level, name, &value, sizeof value, what);
}

}  // namespace

Status UdpSocket::Open(const UdpDestination& destination, const SendRoute& route) {
    const int family = destination.family;
    errno = 0;
    m_fd = socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
    if (m_fd < 0) {
        Log::Instance().Errorf("UdpSocket: socket: (%d) %m", errno);
        return Status::FAILURE_SYSCALL;
    }
    // Unconnected sockets hear of ICMP errors only with RECVERR.
    const int on = 1;
    const int level = family == AF_INET6 ? IPPROTO_IPV6 : IPPROTO_IP;
    const int name = family == AF_INET6 ? IPV6_RECVERR : IP_RECVERR;
    errno = 0;
    if (setsockopt(m_fd, level, name, &on, sizeof on) < 0)
        Log::Instance().Warnf("UdpSocket: cannot enable error reports, refusals go unseen: (%d) %m",
                              errno);
    return Apply(destination, route);
}

Status UdpSocket::Apply(const UdpDestination& destination, const SendRoute& route) {
    const bool v6 = destination.family == AF_INET6;
    const int level = v6 ? IPPROTO_IPV6 : IPPROTO_IP;
    bool set = true;
    if (!destination.group) {
        if (route.hop_limit)
            set = SetInt(m_fd, level, v6 ? IPV6_UNICAST_HOPS : IP_TTL, route.hop_limit, "TTL");
        return set ? Status::SUCCESS : Status::FAILURE_SYSCALL;
    }
    set = SetInt(m_fd, level, v6 ? IPV6_MULTICAST_HOPS : IP_MULTICAST_TTL, route.hop_limit, "multicast hop limit") &&
          SetInt(m_fd, level, v6 ? IPV6_MULTICAST_LOOP : IP_MULTICAST_LOOP, route.loop ? 1 : 0, "multicast loop");
    if (set && route.interface.index) {
        if (v6) {
            set = SetInt(m_fd, level, IPV6_MULTICAST_IF, static_cast<int>(route.interface.index),
                         "multicast interface");
        } else {
            ip_mreqn request{};
            request.imr_ifindex = static_cast<int>(route.interface.index);
            set = SetOption(m_fd, level, IP_MULTICAST_IF, &request, sizeof request, "multicast interface");
        }
    }
    return set ? Status::SUCCESS : Status::FAILURE_SYSCALL;
}

int UdpSocket::Send(const UdpDestination& destination, const iovec* pieces, size_t count) {
    msghdr message{};
    message.msg_name = const_cast<sockaddr_storage*>(&destination.address);
    message.msg_namelen = destination.length;
    message.msg_iov = const_cast<iovec*>(pieces);
    message.msg_iovlen = count;
    errno = 0;
    return sendmsg(m_fd, &message, MSG_DONTWAIT | MSG_NOSIGNAL) < 0 ? errno : 0;
}

void UdpSocket::DrainErrors(Errors& errors) {
    for (;;) {
        char control[512];
        char data[64];
        iovec piece{data, sizeof data};
        msghdr message{};
        message.msg_iov = &piece;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        errno = 0;
        if (recvmsg(m_fd, &message, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                Log::Instance().Errorf("UdpSocket: reading error reports: (%d) %m", errno);
            return;
        }
        for (cmsghdr* header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header)) {
            const bool v4 = header->cmsg_level == IPPROTO_IP && header->cmsg_type == IP_RECVERR;
            const bool v6 = header->cmsg_level == IPPROTO_IPV6 && header->cmsg_type == IPV6_RECVERR;
            if (!v4 && !v6) continue;
            const auto* report = reinterpret_cast<const sock_extended_err*>(CMSG_DATA(header));
            if (report->ee_errno == ECONNREFUSED) {
                ++errors.refused;
            } else {
                ++errors.other;
                errors.last_other = static_cast<int>(report->ee_errno);
            }
        }
    }
}
