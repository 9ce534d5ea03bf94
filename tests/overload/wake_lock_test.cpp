#include <gtest/gtest.h>

#include <sys/stat.h>

#include "gpio_sim_rig.h"
#include "log_capture.h"
#include "overload_test_support.h"
#include "wake_lock.h"

using overload_test::ScopedEnv;
using overload_test::ScratchDir;

namespace {

// Against the emulator's kernel-like wake-lock files: a lock is active while its
// holder lives, renewed (it is timed), and let go at once by the destructor.
TEST(WakeLock, IsHeldWhileAliveRenewedAndLetGoAtOnce) {
    GpioSimRig rig;
    ScopedEnv root("LUMASET_WAKELOCK_SYSFS", rig.PowerRoot());
    {
        morwick::WakeLock first(0x1000001A);
        morwick::WakeLock second(0x1000001A);
        EXPECT_TRUE(first.Held());
        EXPECT_NE(first.Name(), second.Name()) << "the kernel would merge the two locks";
        const std::string both = std::min(first.Name(), second.Name()) + " " +
                                 std::max(first.Name(), second.Name()) + "\n";
        EXPECT_EQ(rig.ActiveWakeLocks(), both);
        // Taken without a renewal the lock runs out after 5 s; renewed, it does not.
        std::this_thread::sleep_for(std::chrono::milliseconds(6000));
        EXPECT_EQ(rig.ActiveWakeLocks(), both) << "the timed lock was not renewed";
        {
            morwick::WakeLock third(0x1000001A);
        }
        EXPECT_EQ(rig.ActiveWakeLocks(), both) << "the third lock was not let go at once";
    }
    EXPECT_EQ(rig.ActiveWakeLocks(), "\n");
    EXPECT_EQ(overload_test::ThreadsNamed("wake_lock_rearm"), 0) << "the renewing thread outlived its lock";
}

// The once-only report is per process, so it is checked in a child process.
TEST(WakeLockDeathTest, WithoutKernelSupportLogsOnceAndHoldsNothing) {
    ScratchDir power;
    ScopedEnv root("LUMASET_WAKELOCK_SYSFS", power.Path());
    EXPECT_EXIT(
        {
            LogCapture capture;
            bool held = false;
            for (int i = 0; i < 3; ++i) {
                morwick::WakeLock lock(0x1000001A);
                held = held || lock.Held();
            }
            const auto reports = capture.Matching("wake_lock");
            const bool once_at_info = reports.size() == 1 && reports[0].level == Log::Level::INFO;
            const bool no_thread = overload_test::ThreadsNamed("wake_lock_rearm") == 0;
            _exit(!held && once_at_info && no_thread ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    struct stat st {};
    EXPECT_NE(stat(power.Path("wake_lock").c_str(), &st), 0) << "the lock file was created";
}

}  // namespace
