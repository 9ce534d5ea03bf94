// A client blocked in poll(2) on value wakes at the edge, as it would on the kernel's file.

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
    Fd value = WatchInput(rig, 208, "both");
    Fd other = OpenIn(rig, "gpio208/value");
    ASSERT_EQ(ReadFromStart(other.Get()), "0\n");

    for (int level : {1, 0}) {
        auto mover = SetLevelSoon(rig, 208, level);
        auto other_poller = std::async(std::launch::async, [&other] { return WokenEvents(other.Get()); });
        EXPECT_EQ(WokenEvents(value.Get()) & POLLPRI, POLLPRI);
        EXPECT_EQ(other_poller.get() & POLLPRI, POLLPRI);
        mover.get();
        EXPECT_EQ(ReadFromStart(value.Get()), std::to_string(level) + "\n");
        EXPECT_EQ(ReadFromStart(other.Get()), std::to_string(level) + "\n");
    }
}

TEST(GpioSimWakeup, UnselectedEdgeLeavesThePollerAsleepUntilASelectedOne) {
    GpioSimRig rig;
    Fd value = WatchInput(rig, 30, "falling");
    auto rise = SetLevelSoon(rig, 30, 1);
    EXPECT_EQ(PollEvents(value.Get(), 300), 0);  // the rise came and went: nothing
    rise.get();
    EXPECT_FALSE(EdgePending(value.Get()));
    auto fall = SetLevelSoon(rig, 30, 0);
    EXPECT_EQ(WokenEvents(value.Get()) & POLLPRI, POLLPRI);
    fall.get();
}

TEST(GpioSimWakeup, UnexportWakesAPollerWithAnError) {
    GpioSimRig rig;
    Fd value = WatchInput(rig, 32, "both");
    auto remover = std::async(std::launch::async, [&rig] {
        std::this_thread::sleep_for(30ms);
        return rig.WriteFile("unexport", "32");
    });
    EXPECT_NE(WokenEvents(value.Get()) & POLLERR, 0);
    EXPECT_EQ(remover.get(), 0);
}

}  // namespace
