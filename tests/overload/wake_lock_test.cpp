#include <gtest/gtest.h>

#include <sys/stat.h>

#include "log_capture.h"
#include "overload_test_support.h"
#include "wake_lock.h"

using overload_test::ReadText;
using overload_test::ScopedEnv;
using overload_test::ScratchDir;
using overload_test::WriteText;

namespace {

TEST(WakeLock, WritesItsNameToLockAndUnlock) {
    ScratchDir power;
    WriteText(power.Path("wake_lock"), "");
    WriteText(power.Path("wake_unlock"), "");
    ScopedEnv root("LUMASET_WAKELOCK_SYSFS", power.Path());

    std::string first_name;
    {
        morwick::WakeLock first(0x1000001A);
        morwick::WakeLock second(0x1000001A);
        first_name = first.Name();
        EXPECT_TRUE(first.Held());
        EXPECT_NE(first.Name(), second.Name()) << "the kernel would merge the two locks";
        EXPECT_EQ(ReadText(power.Path("wake_lock")), second.Name());
        EXPECT_EQ(ReadText(power.Path("wake_unlock")), "") << "released while alive";
    }
    // Destroyed in reverse order: the first lock is released last.
    EXPECT_EQ(ReadText(power.Path("wake_unlock")), first_name);
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
            _exit(!held && once_at_info ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    struct stat st {};
    EXPECT_NE(stat(power.Path("wake_lock").c_str(), &st), 0) << "the lock file was created";
}

}  // namespace
