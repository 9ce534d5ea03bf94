// A client blocked in poll(2) on value wakes at the edge, as it would on the kernel's file.

#include <sys/epoll.h>

#include <chrono>
#include <future>
#include <thread>

#include "sim_client.h"

namespace {

using namespace std::chrono_literals;

// Moves the line from another thread once the main thread is (very likely) asleep in poll.
std::future<void> SetLevelSoon(const GpioSimRig& rig, int gpio, int level) {
    return std::async(std::launch::async, [&rig, gpio, level] {
        std::this_thread::sleep_for(30ms);
        rig.SetLevel(gpio, level);
    });
}

TEST(GpioSimWakeup, BlockedPollersOfTheLineWakeAtASelectedEdge) {
    GpioSimRig rig;
    ExportInput(rig, 208, "both");
    Fd value = OpenIn(rig, "gpio208/value");
    Fd other = OpenIn(rig, "gpio208/value");
    ASSERT_EQ(ReadFromStart(value.Get()), "0\n");
    ASSERT_EQ(ReadFromStart(other.Get()), "0\n");

    for (int level : {1, 0}) {
        auto mover = SetLevelSoon(rig, 208, level);
        pollfd both[2] = {{value.Get(), POLLPRI | POLLERR, 0}, {other.Get(), POLLPRI | POLLERR, 0}};
        ASSERT_GE(poll(both, 2, 5000), 1);
        mover.get();
        // Both files see it, whichever the notification reached first.
        EXPECT_EQ(PollEvents(value.Get(), 5000) & POLLPRI, POLLPRI);
        EXPECT_EQ(PollEvents(other.Get(), 5000) & POLLPRI, POLLPRI);
        EXPECT_EQ(ReadFromStart(value.Get()), std::to_string(level) + "\n");
        EXPECT_EQ(ReadFromStart(other.Get()), std::to_string(level) + "\n");
    }
}

TEST(GpioSimWakeup, UnselectedEdgeLeavesThePollerAsleepUntilASelectedOne) {
    GpioSimRig rig;
    ExportInput(rig, 30, "falling");
    Fd value = OpenIn(rig, "gpio30/value");
    ASSERT_EQ(ReadFromStart(value.Get()), "0\n");
    auto rise = SetLevelSoon(rig, 30, 1);
    EXPECT_EQ(PollEvents(value.Get(), 300), 0);  // the rise came and went: nothing
    rise.get();
    EXPECT_FALSE(EdgePending(value.Get()));
    auto fall = SetLevelSoon(rig, 30, 0);
    EXPECT_EQ(PollEvents(value.Get(), 5000) & POLLPRI, POLLPRI);
    fall.get();
}

TEST(GpioSimWakeup, EpollWaitersWakeToo) {
    GpioSimRig rig;
    ExportInput(rig, 31, "rising");
    Fd value = OpenIn(rig, "gpio31/value");
    ASSERT_EQ(ReadFromStart(value.Get()), "0\n");
    Fd epoll(epoll_create1(EPOLL_CLOEXEC));
    ASSERT_GE(epoll.Get(), 0);
    epoll_event interest {};
    interest.events = EPOLLPRI;
    ASSERT_EQ(epoll_ctl(epoll.Get(), EPOLL_CTL_ADD, value.Get(), &interest), 0);
    auto mover = SetLevelSoon(rig, 31, 1);
    epoll_event ready {};
    EXPECT_EQ(epoll_wait(epoll.Get(), &ready, 1, 5000), 1);
    EXPECT_NE(ready.events & EPOLLPRI, 0u);
    mover.get();
}

TEST(GpioSimWakeup, UnexportWakesAPollerWithAnError) {
    GpioSimRig rig;
    ExportInput(rig, 32, "both");
    Fd value = OpenIn(rig, "gpio32/value");
    ASSERT_EQ(ReadFromStart(value.Get()), "0\n");
    auto remover = std::async(std::launch::async, [&rig] {
        std::this_thread::sleep_for(30ms);
        return rig.WriteFile("unexport", "32");
    });
    EXPECT_NE(PollEvents(value.Get(), 5000) & POLLERR, 0);
    EXPECT_EQ(remover.get(), 0);
}

}  // namespace
