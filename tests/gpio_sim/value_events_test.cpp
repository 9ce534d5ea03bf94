// POLLPRI on value: which level changes are events, and how a client consumes them.

#include "sim_client.h"

namespace {

TEST(GpioSimEvents, FreshOpenReportsAnEventUntilTheFirstRead) {
    GpioSimRig rig;
    ExportInput(rig, 208, "both");
    Fd value = OpenIn(rig, "gpio208/value");
    pollfd entry {value.Get(), POLLIN | POLLPRI, 0};
    ASSERT_EQ(poll(&entry, 1, 0), 1);
    EXPECT_EQ(entry.revents, POLLIN | POLLPRI | POLLERR);
    EXPECT_EQ(ReadFromStart(value.Get()), "0\n");
    // The readable bit stays: a client waiting on POLLIN alone would spin, as on the kernel.
    ASSERT_EQ(poll(&entry, 1, 0), 1);
    EXPECT_EQ(entry.revents, POLLIN);
}

TEST(GpioSimEvents, OnlyTheEdgesSelectedRaiseEvents) {
    struct Case {
        const char* edge;
        bool on_rise;
        bool on_fall;
    };
    for (const Case& c : {Case{"none", false, false}, Case{"rising", true, false},
                          Case{"falling", false, true}, Case{"both", true, true}}) {
        SCOPED_TRACE(c.edge);
        GpioSimRig rig;
        Fd value = WatchInput(rig, 4, c.edge);

        rig.SetLevel(4, 1);
        EXPECT_EQ(EdgePending(value.Get()), c.on_rise);
        EXPECT_EQ(ReadFromStart(value.Get()), "1\n");
        EXPECT_FALSE(EdgePending(value.Get()));

        rig.SetLevel(4, 1);  // same level again: no edge
        EXPECT_FALSE(EdgePending(value.Get()));

        rig.SetLevel(4, 0);
        EXPECT_EQ(EdgePending(value.Get()), c.on_fall);
        EXPECT_EQ(ReadFromStart(value.Get()), "0\n");
    }
}

TEST(GpioSimEvents, EdgesFollowTheValueThroughActiveLow) {
    GpioSimRig rig;
    ExportInput(rig, 6, "rising");
    ASSERT_EQ(rig.WriteFile("gpio6/active_low", "1"), 0);
    Fd value = OpenIn(rig, "gpio6/value");
    ASSERT_EQ(ReadFromStart(value.Get()), "1\n");
    rig.SetLevel(6, 1);  // the value falls
    EXPECT_FALSE(EdgePending(value.Get()));
    rig.SetLevel(6, 0);  // the value rises
    EXPECT_TRUE(EdgePending(value.Get()));
    EXPECT_EQ(ReadFromStart(value.Get()), "1\n");
}

TEST(GpioSimEvents, EdgesNobodyPolledCoalesceIntoOneEvent) {
    GpioSimRig rig;
    Fd value = WatchInput(rig, 8, "both");
    for (int level : {1, 0, 1}) rig.SetLevel(8, level);
    EXPECT_TRUE(EdgePending(value.Get()));
    EXPECT_TRUE(EdgePending(value.Get()));  // polling does not consume it
    EXPECT_EQ(ReadFromStart(value.Get()), "1\n");
    EXPECT_FALSE(EdgePending(value.Get()));
}

TEST(GpioSimEvents, EachOpenFileConsumesItsOwnEvent) {
    GpioSimRig rig;
    Fd first = WatchInput(rig, 12, "both");
    Fd second = OpenIn(rig, "gpio12/value");
    ASSERT_EQ(ReadFromStart(second.Get()), "0\n");
    rig.SetLevel(12, 1);
    EXPECT_EQ(ReadFromStart(first.Get()), "1\n");
    EXPECT_FALSE(EdgePending(first.Get()));
    EXPECT_TRUE(EdgePending(second.Get()));
    // A file opened after the edge has its own fresh-open event, consumed by its first read.
    Fd third = OpenIn(rig, "gpio12/value");
    EXPECT_TRUE(EdgePending(third.Get()));
    EXPECT_EQ(ReadFromStart(third.Get()), "1\n");
    EXPECT_FALSE(EdgePending(third.Get()));
}

TEST(GpioSimEvents, ReadingWithoutSeekingSeesNothingAndLeavesTheEventPending) {
    GpioSimRig rig;
    ExportInput(rig, 14, "both");
    Fd value = OpenIn(rig, "gpio14/value");
    ASSERT_EQ(ReadOn(value.Get()), "0\n");
    rig.SetLevel(14, 1);
    EXPECT_EQ(ReadOn(value.Get()), "");
    EXPECT_TRUE(EdgePending(value.Get()));
    // A partial read continues where it left off.
    ASSERT_EQ(lseek(value.Get(), 1, SEEK_SET), 1);
    EXPECT_EQ(ReadOn(value.Get()), "\n");
    EXPECT_EQ(ReadFromStart(value.Get()), "1\n");
    EXPECT_FALSE(EdgePending(value.Get()));
}

TEST(GpioSimEvents, OutputLinesRaiseNothing) {
    GpioSimRig rig;
    ASSERT_EQ(rig.WriteFile("export", "15"), 0);
    ASSERT_EQ(rig.WriteFile("gpio15/direction", "out"), 0);
    Fd output = OpenIn(rig, "gpio15/value", O_RDWR);
    ASSERT_EQ(ReadFromStart(output.Get()), "0\n");
    ASSERT_EQ(write(output.Get(), "1", 1), 1);
    EXPECT_FALSE(EdgePending(output.Get()));
    EXPECT_EQ(ReadFromStart(output.Get()), "1\n");
}

}  // namespace
