#include "send_route.h"

#include <cstdlib>

#include "log.h"

namespace {
// A group's stream stays on the local network unless asked to go further.
constexpr int GROUP_HOP_LIMIT = 1;
constexpr int MAX_HOP_LIMIT = 255;
}  // namespace

Status SendRoute::Read(const Options& options, const std::string& name, const UdpDestination& destination,
                       SendRoute& out, std::string& reason) {
    const std::string ttl_key = name + ".ttl";
    out.hop_limit = destination.group ? GROUP_HOP_LIMIT : 0;
    if (options.Has(ttl_key)) {
        const std::string text = options.GetString(ttl_key, "");
        char* end = nullptr;
        const long value = strtol(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || value < 1 || value > MAX_HOP_LIMIT) {
            reason = "hop limit (" + ttl_key + ") \"" + text + "\" is not a whole number in 1.." +
                     std::to_string(MAX_HOP_LIMIT);
            return Status::FAILURE_INVALID;
        }
        out.hop_limit = static_cast<int>(value);
    }
    const std::string interface_key = name + ".interface";
    if (options.Has(interface_key)) {
        if (!destination.group) {
            reason = interface_key + " chooses where a group is sent; " + destination.text +
                     " is no group (the routing table chooses for it)";
            return Status::FAILURE_INVALID;
        }
        if (NetInterface::Find(options.GetString(interface_key, ""), out.interface, reason) != Status::SUCCESS)
            return Status::FAILURE_INVALID;
        if (!out.interface.up) {
            reason = "interface " + out.interface.name + " is down";
            return Status::FAILURE_INVALID;
        }
    }
    const std::string loop_key = name + ".loop";
    if (destination.group)
        out.loop = options.GetBool(loop_key, true);
    else if (options.Has(loop_key))
        Log::Instance().Warnf("%s: %s applies to a group only; %s is none", name.c_str(), loop_key.c_str(),
                              destination.text.c_str());
    return Status::SUCCESS;
}

std::string SendRoute::Describe(const UdpDestination& destination) const {
    if (!destination.group)
        return hop_limit ? destination.text + " (TTL " + std::to_string(hop_limit) + ")" : destination.text;
    const std::string on = interface.index ? "on " + interface.name + " (index " + std::to_string(interface.index) + ")"
                                           : "on the interface the routing table picks";
    return "the group " + destination.text + " (hop limit " + std::to_string(hop_limit) + ", " + on + ", " +
           (loop ? "a copy to this machine's receivers" : "no copy to this machine's receivers") + ")";
}
