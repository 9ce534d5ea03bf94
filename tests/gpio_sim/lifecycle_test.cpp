// Starting, running side by side and stopping the emulator.

#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>

#include "sim_client.h"

namespace {

// The mount point appears in this process's mount table.
bool Mounted(const std::string& path) {
    std::ifstream table("/proc/self/mountinfo");
    std::string line;
    while (std::getline(table, line))
        if (line.find(" " + path + " ") != std::string::npos) return true;
    return false;
}

int ExitStatusOf(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(GpioSimLifecycle, TwoMountsAreIndependent) {
    GpioSimRig first;
    GpioSimRig second;
    ASSERT_NE(first.MountPoint(), second.MountPoint());
    ASSERT_EQ(first.WriteFile("export", "208"), 0);
    EXPECT_FALSE(second.Exported(208));
    ASSERT_EQ(second.WriteFile("export", "208"), 0);  // no EBUSY from the other chip
    first.SetLevel(208, 1);
    EXPECT_EQ(first.ReadFile("gpio208/value"), "1\n");
    EXPECT_EQ(second.ReadFile("gpio208/value"), "0\n");
}

TEST(GpioSimLifecycle, SigtermUnmountsCleanlyEvenWithFilesOpen) {
    GpioSimRig rig;
    ExportInput(rig, 208, "both");
    Fd value = OpenIn(rig, "gpio208/value");
    ASSERT_TRUE(Mounted(rig.MountPoint()));
    const int status = rig.Terminate();
    ASSERT_TRUE(WIFEXITED(status)) << "wait status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_FALSE(Mounted(rig.MountPoint()));
    // What the client still holds fails instead of hanging.
    EXPECT_NE(ReadFromStart(value.Get()), "0\n");
}

TEST(GpioSimLifecycle, RigCleansUpAfterAnEmulatorThatDied) {
    std::string mount_point;
    {
        GpioSimRig rig;
        mount_point = rig.MountPoint();
        ASSERT_EQ(kill(rig.Pid(), SIGKILL), 0);
        ASSERT_TRUE(rig.WaitFor([&rig] { return !rig.Exported(0) && rig.WriteFile("export", "0") != 0; }));
    }
    EXPECT_FALSE(Mounted(mount_point));
    struct stat st {};
    EXPECT_NE(stat(mount_point.c_str(), &st), 0) << mount_point << " was left behind";
}

TEST(GpioSimLifecycle, RigFailsLoudlyWhenTheEmulatorCannotMount) {
    try {
        GpioSimRig rig({}, "/nonexistent/gpio_sim");
        FAIL() << "a rig without an emulator mounted something";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("/nonexistent/gpio_sim"), std::string::npos) << error.what();
    }
    // A program that ends at once instead of mounting.
    try {
        GpioSimRig rig({}, "/bin/false");
        FAIL() << "a rig over /bin/false claims a mount";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("ended before mounting"), std::string::npos) << error.what();
    }
}

TEST(GpioSimLifecycle, CommandLineIsChecked) {
    const std::string program = LauncherPrefix() + GPIO_SIM_PATH;
    EXPECT_EQ(ExitStatusOf(program + " --help >/dev/null"), 0);
    EXPECT_EQ(ExitStatusOf(program + " 2>/dev/null"), 2);
    EXPECT_EQ(ExitStatusOf(program + " --lines 0 /tmp 2>/dev/null"), 2);
    EXPECT_EQ(ExitStatusOf(program + " /nonexistent-mount-point 2>/dev/null"), 1);
}

}  // namespace
