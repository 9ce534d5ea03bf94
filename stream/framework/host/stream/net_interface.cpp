#include "net_interface.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

namespace {

bool SameAddress(const sockaddr* address, const std::string& text) {
    if (address == nullptr) return false;
    if (address->sa_family == AF_INET) {
        in_addr wanted{};
        return inet_pton(AF_INET, text.c_str(), &wanted) == 1 &&
               reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr == wanted.s_addr;
    }
    if (address->sa_family == AF_INET6) {
        in6_addr wanted{};
        return inet_pton(AF_INET6, text.c_str(), &wanted) == 1 &&
               memcmp(&reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, &wanted, sizeof wanted) == 0;
    }
    return false;
}

bool IsIndex(const std::string& text) {
    return !text.empty() && text.size() < 10 && text.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

Status NetInterface::Find(const std::string& text, NetInterface& out, std::string& reason) {
    ifaddrs* all = nullptr;
    errno = 0;
    if (getifaddrs(&all) != 0) {
        reason = std::string("cannot list the interfaces: (") + std::to_string(errno) + ") " + strerror(errno);
        return Status::FAILURE_SYSCALL;
    }
    const unsigned wanted_index = IsIndex(text) ? static_cast<unsigned>(std::stoul(text)) : 0;
    bool found = false;
    for (const ifaddrs* entry = all; entry && !found; entry = entry->ifa_next) {
        // An IPv4 alias is listed under its label, "eth0:1".
        std::string name = entry->ifa_name;
        name = name.substr(0, name.find(':'));
        const unsigned index = if_nametoindex(name.c_str());
        if (index == 0) continue;
        if (name == text || index == wanted_index || SameAddress(entry->ifa_addr, text)) {
            out.name = name;
            out.index = index;
            out.up = (entry->ifa_flags & IFF_UP) != 0;
            found = true;
        }
    }
    freeifaddrs(all);
    if (!found) {
        reason = "no interface \"" + text + "\" (neither the name, the index nor an address of one)";
        return Status::FAILURE_INVALID;
    }
    return Status::SUCCESS;
}
