// overload_monitor end to end: the real binary under the GPIO emulator (or the
// kernel's gpio-sim in the booted appliance), in a private mount namespace
// with a fresh tmpfs on /data for its state file.

#include <gtest/gtest.h>

#include <signal.h>

#include <cstring>
#include <string>

#include "gpio_rig.h"
#include "daemon_process.h"

using namespace overload_test;

namespace {

constexpr int INTERRUPT = 208;
constexpr int RED = 234;
constexpr int BLUE = 235;
class DaemonTest : public ::testing::Test {
protected:
    DataMountPoint m_data;
    GpioRig m_rig;
    ScratchDir m_dir;
};

TEST_F(DaemonTest, EdgesDriveLedsAndStateFileWhileHoldingTheWakeLock) {
    Daemon daemon(OVERLOAD_MONITOR_PATH, m_rig.MountPoint(), m_rig.PowerRoot(), m_dir.Path());
    ASSERT_TRUE(daemon.WaitReady(m_rig)) << daemon.Log();
    // The lock is taken once the detector is up, a moment after the poll thread starts.
    const std::string lock = "overload_monitor." + std::to_string(daemon.Pid()) + ".0";
    EXPECT_TRUE(m_rig.WaitFor([&] { return m_rig.ActiveWakeLocks() == lock + "\n"; }))
        << m_rig.ActiveWakeLocks();
    if constexpr (GpioRig::COUNTS_WRITES) {
        EXPECT_EQ(m_rig.Writes(RED) + m_rig.Writes(BLUE), 0) << "LEDs written at start-up";
    }
    EXPECT_EQ(daemon.State(), "<missing>") << "state file written at start-up";

    for (int round = 0; round < 3; ++round) {
        m_rig.SetLevel(INTERRUPT, 1);
        ASSERT_TRUE(m_rig.WaitFor([&] { return daemon.State() == "r"; })) << daemon.State() << daemon.Log();
        EXPECT_EQ(m_rig.Level(RED), 1);
        EXPECT_EQ(m_rig.Level(BLUE), 0);
        m_rig.SetLevel(INTERRUPT, 0);
        ASSERT_TRUE(m_rig.WaitFor([&] { return daemon.State() == "o"; })) << daemon.State() << daemon.Log();
        EXPECT_EQ(m_rig.Level(RED), 0);
        EXPECT_EQ(m_rig.Level(BLUE), 0);
    }
    kill(daemon.Pid(), SIGTERM);
    EXPECT_EQ(daemon.WaitExit(), SIGTERM);
    EXPECT_EQ(daemon.Log().find(" E "), std::string::npos) << daemon.Log();
    // A signal ends it without unlocking: the kernel's timed lock runs out.
    EXPECT_TRUE(m_rig.WaitFor([&] { return m_rig.ActiveWakeLocks() == "\n"; }, 8000)) << m_rig.ActiveWakeLocks();
}

TEST_F(DaemonTest, HandledSignalsEndItWithTheSignalNumber) {
    for (const int signum : {SIGTERM, SIGHUP, SIGABRT}) {
        SCOPED_TRACE(strsignal(signum));
        Daemon daemon(OVERLOAD_MONITOR_PATH, m_rig.MountPoint(), m_rig.PowerRoot(), m_dir.Path());
        ASSERT_TRUE(daemon.WaitReady(m_rig)) << daemon.Log();
        kill(daemon.Pid(), signum);
        EXPECT_EQ(daemon.WaitExit(), signum) << daemon.Log();
    }
}

}  // namespace
