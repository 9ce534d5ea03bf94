#include <gtest/gtest.h>

#include <poll.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <system_error>

#include "gpio.h"
#include "gpio_sim_rig.h"
#include "log_capture.h"
#include "overload_test_support.h"

using overload_test::PriorityEvents;
using overload_test::ScopedEnv;

namespace {

constexpr int INPUT = 208;
constexpr int OUTPUT = 234;
// How long to wait for an edge that must not come.
constexpr int QUIET_MS = 100;
// How long to wait for an edge that must come (generous: a shared machine).
constexpr int EDGE_MS = 2000;

class GpioTest : public ::testing::Test {
protected:
    GpioTest() : m_rig(), m_root("LUMASET_GPIO_SYSFS", m_rig.MountPoint()) {}

    GpioSimRig m_rig;
    ScopedEnv m_root;
};

TEST_F(GpioTest, ExportsSetsUpAndReleasesTheLine) {
    {
        Gpio line(INPUT, "in", "both");
        EXPECT_TRUE(m_rig.Exported(INPUT));
        EXPECT_EQ(m_rig.ReadFile("gpio208/direction"), "in\n");
        EXPECT_EQ(m_rig.ReadFile("gpio208/edge"), "both\n");
        EXPECT_GE(line.GetInterruptFD(), 0);
    }
    EXPECT_FALSE(m_rig.Exported(INPUT));

    // A line someone else exported already (EBUSY) is taken over as it is.
    ASSERT_EQ(m_rig.WriteFile("export", "234"), 0);
    {
        Gpio line(OUTPUT, "out", "none");
        EXPECT_EQ(m_rig.ReadFile("gpio234/direction"), "out\n");
        EXPECT_EQ(line.SetValue(1), Status::SUCCESS);
        EXPECT_EQ(m_rig.Level(OUTPUT), 1);
    }
    EXPECT_FALSE(m_rig.Exported(OUTPUT));
}

TEST_F(GpioTest, SetUpFailuresThrowNamingThePathAndUndoTheExport) {
    try {
        Gpio line(INPUT, "sideways", "none");
        FAIL() << "a bad direction was accepted";
    } catch (const std::system_error& failure) {
        EXPECT_EQ(failure.code().value(), EINVAL);
        EXPECT_NE(std::string(failure.what()).find(m_rig.MountPoint() + "/gpio208/direction"),
                  std::string::npos)
            << failure.what();
    }
    EXPECT_FALSE(m_rig.Exported(INPUT)) << "the line was left exported after a failed set-up";

    ScopedEnv missing("LUMASET_GPIO_SYSFS", m_rig.MountPoint() + "/no_such_tree");
    try {
        Gpio line(INPUT, "in", "both");
        FAIL() << "a missing GPIO tree was accepted";
    } catch (const std::system_error& failure) {
        EXPECT_EQ(failure.code().value(), ENOENT);
        EXPECT_NE(std::string(failure.what()).find("/no_such_tree/export"), std::string::npos)
            << failure.what();
    }
}

// Each edge setting: no event on a fresh line, an event only on the selected
// edges, and GetValue consumes it.
TEST_F(GpioTest, InterruptDescriptorReportsOnlySelectedEdges) {
    struct Case {
        const char* edge;
        bool on_rising;
        bool on_falling;
    };
    const Case cases[] = {
        {"none", false, false}, {"rising", true, false}, {"falling", false, true}, {"both", true, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.edge);
        m_rig.SetLevel(INPUT, 0);
        Gpio line(INPUT, "in", c.edge);
        const int fd = line.GetInterruptFD();
        EXPECT_FALSE(PriorityEvents(fd, QUIET_MS) & POLLPRI) << "a fresh line reported an edge";
        EXPECT_EQ(line.GetValue(), 0);

        m_rig.SetLevel(INPUT, 1);
        EXPECT_EQ(static_cast<bool>(PriorityEvents(fd, c.on_rising ? EDGE_MS : QUIET_MS) & POLLPRI),
                  c.on_rising);
        EXPECT_NE(line.GetValue(), 0);
        EXPECT_FALSE(PriorityEvents(fd, 0) & POLLPRI) << "GetValue did not consume the edge";

        m_rig.SetLevel(INPUT, 0);
        EXPECT_EQ(static_cast<bool>(PriorityEvents(fd, c.on_falling ? EDGE_MS : QUIET_MS) & POLLPRI),
                  c.on_falling);
        EXPECT_EQ(line.GetValue(), 0);
    }
}

TEST_F(GpioTest, SetValueWritesTheLevelAndReportsFailures) {
    Gpio line(OUTPUT, "out", "none");
    EXPECT_EQ(m_rig.Writes(OUTPUT), 0) << "set-up must not write a value";

    EXPECT_EQ(line.SetValue(1), Status::SUCCESS);
    EXPECT_EQ(m_rig.Level(OUTPUT), 1);
    EXPECT_EQ(line.SetValue(0), Status::SUCCESS);
    EXPECT_EQ(m_rig.Level(OUTPUT), 0);
    EXPECT_EQ(line.SetValue(7), Status::SUCCESS);
    EXPECT_EQ(m_rig.Level(OUTPUT), 1);
    EXPECT_EQ(m_rig.Writes(OUTPUT), 3);

    m_rig.SetFail(OUTPUT, EIO);
    {
        LogCapture capture(Log::Level::ERROR);
        EXPECT_EQ(line.SetValue(0), Status::FAILURE_SYSCALL);
        const auto records = capture.Matching("gpio234/value");
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].level, Log::Level::ERROR);
        EXPECT_NE(records[0].text.find("(5) " + std::string(strerror(EIO))), std::string::npos)
            << records[0].text;
    }
    EXPECT_EQ(m_rig.Level(OUTPUT), 1) << "a failed write changed the line";

    m_rig.SetFail(OUTPUT, 0);
    EXPECT_EQ(line.SetValue(0), Status::SUCCESS);
    EXPECT_EQ(m_rig.Level(OUTPUT), 0);
}

}  // namespace
