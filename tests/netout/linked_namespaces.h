#pragma once

// Two private network namespaces joined by a veth pair, the host's own network
// untouched: NEAR has veth0 (10.77.0.1/24, fd77::1/64), with a route for IPv4
// groups on it or none; FAR has veth1 (10.77.0.2/24, fd77::2/64). Each is held by a
// descriptor of this process: programs enter it with nsenter, the test's own
// sockets are made on a thread that entered it. Needs root, like unshare.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <sched.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tool_runner.h"

class LinkedNamespaces {
public:
    enum Side { NEAR, FAR };

    explicit LinkedNamespaces(bool group_route) {
        for (int& fd : m_fds) {
            int error = 0;
            std::thread([&fd, &error] {
                if (unshare(CLONE_NEWNET) == 0) fd = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
                error = errno;
            }).join();
            if (fd < 0) {
                ADD_FAILURE() << "cannot make a network namespace (needs root): " << strerror(error);
                return;
            }
        }
        // Addresses usable at once, without duplicate address detection; a link
        // sends into a queue that drops until the kernel has seen its carrier, up
        // to a second after both ends are up.
        const std::string no_dad = "echo 0 > /proc/sys/net/ipv6/conf/default/accept_dad";
        const auto link = [](const std::string& name, const std::string& host) {
            return " && ip addr add 10.77.0." + host + "/24 dev " + name + " && ip -6 addr add fd77::" + host +
                   "/64 dev " + name + " nodad && ip link set " + name + " up";
        };
        const auto wait = [](const std::string& name) {
            return "for i in $(seq 100); do ip -o link show dev " + name +
                   " | grep -q ' state UP ' && exit 0; sleep 0.05; done; exit 1";
        };
        Run(FAR, {"sh", "-c", no_dad});
        Run(NEAR, {"sh", "-c", no_dad + " && ip link add veth0 type veth peer name veth1 netns " + Path(FAR) +
                                   link("veth0", "1") + (group_route ? " && ip route add 224.0.0.0/4 dev veth0" : "")});
        Run(FAR, {"sh", "-c", "true" + link("veth1", "2") + " && " + wait("veth1")});
        Run(NEAR, {"sh", "-c", wait("veth0")});
    }
    ~LinkedNamespaces() {
        for (const int fd : m_fds)
            if (fd >= 0) close(fd);
    }
    LinkedNamespaces(const LinkedNamespaces&) = delete;
    LinkedNamespaces& operator=(const LinkedNamespaces&) = delete;

    // The words before a command that runs it inside `side`.
    std::vector<std::string> Enter(Side side) const { return {"nsenter", "--net=" + Path(side)}; }

    // Runs a command inside `side`; a failure is the test's.
    void Run(Side side, std::vector<std::string> command) const {
        const std::vector<std::string> enter = Enter(side);
        command.insert(command.begin(), enter.begin(), enter.end());
        const ToolResult result = RunTool(command);
        EXPECT_EQ(result.status, 0) << command.back() << "\n" << result.err;
    }

    // Calls `make` on a thread inside `side`: the sockets it makes stay there.
    void Inside(Side side, const std::function<void()>& make) const {
        std::thread([&] {
            if (setns(m_fds[side], CLONE_NEWNET) != 0) {
                ADD_FAILURE() << "setns: " << strerror(errno);
                return;
            }
            make();
        }).join();
    }

private:
    std::string Path(Side side) const {
        return "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(m_fds[side]);
    }

    int m_fds[2] = {-1, -1};
};
