// The sysfs GPIO files as a client sees them: texts, errors, export and unexport.

#include <dirent.h>
#include <sys/stat.h>

#include <set>

#include "sim_client.h"

namespace {

std::set<std::string> Listing(const GpioSimRig& rig, const std::string& relative_path) {
    std::set<std::string> names;
    DIR* dir = opendir(rig.Path(relative_path).c_str());
    if (dir == nullptr) return {"<errno " + std::to_string(errno) + ">"};
    while (const dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.') names.insert(entry->d_name);
    closedir(dir);
    return names;
}

TEST(GpioSimSysfs, ExportAndUnexportFollowTheKernelsRules) {
    GpioSimRig rig;
    EXPECT_FALSE(rig.Exported(208));
    EXPECT_EQ(Listing(rig, ""), (std::set<std::string>{"export", "power", "sim", "unexport"}));

    ASSERT_EQ(rig.WriteFile("export", "208\n"), 0);
    EXPECT_TRUE(rig.Exported(208));
    EXPECT_EQ(Listing(rig, "gpio208"),
              (std::set<std::string>{"active_low", "direction", "edge", "value"}));
    EXPECT_EQ(rig.ReadFile("gpio208/direction"), "in\n");
    EXPECT_EQ(rig.ReadFile("gpio208/edge"), "none\n");
    EXPECT_EQ(rig.ReadFile("gpio208/value"), "0\n");
    EXPECT_EQ(rig.ReadFile("gpio208/active_low"), "0\n");
    EXPECT_EQ(rig.WriteFile("export", "208"), EBUSY);

    // Numbers are read as the kernel reads them: base prefixes, one trailing newline.
    EXPECT_EQ(rig.WriteFile("export", "0x10"), 0);
    EXPECT_TRUE(rig.Exported(16));
    for (const char* bad : {"abc", "-1", "12a", " 12", "12\n\n", "99999"})
        EXPECT_EQ(rig.WriteFile("export", bad), EINVAL) << '"' << bad << '"';
    EXPECT_EQ(Listing(rig, ""),
              (std::set<std::string>{"export", "gpio16", "gpio208", "power", "sim", "unexport"}));

    ASSERT_EQ(rig.WriteFile("unexport", "208"), 0);
    EXPECT_FALSE(rig.Exported(208));
    struct stat st {};
    EXPECT_NE(stat(rig.Path("gpio208/value").c_str(), &st), 0);
    EXPECT_EQ(rig.WriteFile("unexport", "208"), EINVAL);
    EXPECT_EQ(rig.WriteFile("unexport", "17"), EINVAL);
    EXPECT_EQ(rig.WriteFile("unexport", "x"), EINVAL);
}

TEST(GpioSimSysfs, ExportAndUnexportAreWriteOnlyAndWritesIsReadOnly) {
    GpioSimRig rig;
    EXPECT_LT(open(rig.Path("export").c_str(), O_RDONLY), 0);
    EXPECT_EQ(errno, EACCES);
    EXPECT_LT(open(rig.Path("sim/3/writes").c_str(), O_WRONLY), 0);
    EXPECT_EQ(errno, EACCES);
    // A shell redirection opens with O_TRUNC; that must not get in the way.
    Fd fd(open(rig.Path("export").c_str(), O_WRONLY | O_TRUNC | O_CREAT, 0644));
    ASSERT_GE(fd.Get(), 0) << std::strerror(errno);
    EXPECT_EQ(write(fd.Get(), "3\n", 2), 2);
    EXPECT_TRUE(rig.Exported(3));
    // Nothing is created by opening a name that is not there.
    EXPECT_LT(open(rig.Path("gpio3/valve").c_str(), O_WRONLY | O_CREAT, 0644), 0);
    EXPECT_EQ(errno, EACCES);
}

TEST(GpioSimSysfs, DirectionAndEdgeAcceptOnlyTheirWords) {
    GpioSimRig rig;
    ExportInput(rig, 5, "both");
    EXPECT_EQ(rig.ReadFile("gpio5/edge"), "both\n");
    // As in the kernel: a line with an edge becomes an output and keeps its
    // setting, which it takes again as it is, but no other edge.
    ASSERT_EQ(rig.WriteFile("gpio5/direction", "out"), 0);
    EXPECT_EQ(rig.ReadFile("gpio5/edge"), "both\n");
    EXPECT_EQ(rig.WriteFile("gpio5/edge", "both"), 0);
    EXPECT_EQ(rig.WriteFile("gpio5/edge", "rising"), EIO);
    ASSERT_EQ(rig.WriteFile("gpio5/edge", "none\n"), 0);
    EXPECT_EQ(rig.WriteFile("gpio5/edge", "both"), EIO);

    ASSERT_EQ(rig.WriteFile("gpio5/direction", "high"), 0);
    EXPECT_EQ(rig.ReadFile("gpio5/direction"), "out\n");
    EXPECT_EQ(rig.ReadFile("gpio5/value"), "1\n");
    ASSERT_EQ(rig.WriteFile("gpio5/direction", "low\n"), 0);
    EXPECT_EQ(rig.ReadFile("gpio5/value"), "0\n");
    ASSERT_EQ(rig.WriteFile("gpio5/direction", "high"), 0);
    ASSERT_EQ(rig.WriteFile("gpio5/direction", "out"), 0);
    EXPECT_EQ(rig.ReadFile("gpio5/value"), "0\n");
    EXPECT_EQ(rig.WriteFile("gpio5/edge", "rising"), EIO);

    for (const char* bad : {"IN", "input", "out\n\n", "hi"})
        EXPECT_EQ(rig.WriteFile("gpio5/direction", bad), EINVAL) << '"' << bad << '"';
    ASSERT_EQ(rig.WriteFile("gpio5/direction", "in"), 0);
    for (const char* edge : {"rising", "falling", "both", "none"}) {
        ASSERT_EQ(rig.WriteFile("gpio5/edge", edge), 0);
        EXPECT_EQ(rig.ReadFile("gpio5/edge"), std::string(edge) + "\n");
    }
    for (const char* bad : {"up", "Both", "rising falling"})
        EXPECT_EQ(rig.WriteFile("gpio5/edge", bad), EINVAL) << '"' << bad << '"';
    EXPECT_EQ(rig.WriteFile("gpio5/active_low", "yes"), EINVAL);
}

TEST(GpioSimSysfs, ValueWritesDriveOutputsAndAreCounted) {
    GpioSimRig rig;
    ExportInput(rig, 7, "none");
    EXPECT_EQ(rig.WriteFile("gpio7/value", "1"), EPERM);
    EXPECT_EQ(rig.Writes(7), 1);
    EXPECT_EQ(rig.ReadFile("gpio7/value"), "0\n");

    ASSERT_EQ(rig.WriteFile("gpio7/direction", "out"), 0);
    Fd value = OpenIn(rig, "gpio7/value", O_RDWR);
    ASSERT_EQ(write(value.Get(), "1", 1), 1);
    EXPECT_EQ(ReadFromStart(value.Get()), "1\n");
    EXPECT_EQ(rig.Level(7), 1);
    ASSERT_EQ(write(value.Get(), "0\n", 2), 2);  // any offset: every write is one store
    EXPECT_EQ(rig.Level(7), 0);
    EXPECT_EQ(write(value.Get(), "on", 2), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(rig.Writes(7), 4);

    // The line is driven by its output: the control tree cannot move it.
    EXPECT_EQ(rig.WriteFile("sim/7/level", "1"), EPERM);
    EXPECT_EQ(rig.Level(7), 0);
}

TEST(GpioSimSysfs, InjectedFailureHoldsUntilCleared) {
    GpioSimRig rig;
    ASSERT_EQ(rig.WriteFile("export", "9"), 0);
    ASSERT_EQ(rig.WriteFile("gpio9/direction", "out"), 0);
    rig.SetFail(9, EIO);
    EXPECT_EQ(rig.ReadFile("sim/9/fail"), "5\n");
    Fd value = OpenIn(rig, "gpio9/value", O_WRONLY);
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_EQ(write(value.Get(), "1", 1), -1);
        EXPECT_EQ(errno, EIO);
    }
    EXPECT_EQ(rig.Level(9), 0);
    EXPECT_EQ(rig.Writes(9), 2);
    rig.SetFail(9, ENODEV);
    EXPECT_EQ(write(value.Get(), "1", 1), -1);
    EXPECT_EQ(errno, ENODEV);
    rig.SetFail(9, 0);
    EXPECT_EQ(write(value.Get(), "1", 1), 1);
    EXPECT_EQ(rig.Level(9), 1);
    EXPECT_EQ(rig.Writes(9), 4);
    EXPECT_EQ(rig.WriteFile("sim/9/fail", "-5"), EINVAL);
    EXPECT_EQ(rig.WriteFile("sim/9/fail", "EIO"), EINVAL);
}

TEST(GpioSimSysfs, InjectedReadFailureKeepsTheEdgePending) {
    GpioSimRig rig;
    ExportInput(rig, 12, "both");
    Fd value = OpenIn(rig, "gpio12/value", O_RDONLY);
    char text[4];
    ASSERT_EQ(pread(value.Get(), text, sizeof text, 0), 2);  // the fresh open's event
    rig.SetReadFail(12, EIO);
    rig.SetLevel(12, 1);
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_EQ(pread(value.Get(), text, sizeof text, 0), -1);
        EXPECT_EQ(errno, EIO);
        EXPECT_TRUE(EdgePending(value.Get())) << "a failed read consumed the edge";
    }
    rig.SetReadFail(12, 0);
    ASSERT_EQ(pread(value.Get(), text, sizeof text, 0), 2);
    EXPECT_EQ(text[0], '1');
    EXPECT_FALSE(EdgePending(value.Get()));
}

TEST(GpioSimSysfs, WakeLocksFollowTheKernelsRules) {
    GpioSimRig rig;
    EXPECT_EQ(Listing(rig, "power"), (std::set<std::string>{"wake_lock", "wake_unlock"}));
    struct Step {
        const char* file;
        const char* text;
        int error;
        const char* active;
        const char* inactive;
    };
    const Step steps[] = {
        {"wake_lock", "held", 0, "held\n", "\n"},
        {"wake_lock", "timed 60000000000\n", 0, "held timed\n", "\n"},
        {"wake_lock", "short 1", 0, "held timed\n", "short\n"},  // 1 ns: already run out
        {"wake_lock", "timed 1", 0, "held timed\n", "short\n"},  // renewing never shortens
        {"wake_unlock", "held\n", 0, "timed\n", "held short\n"},
        {"wake_unlock", "never_taken", EINVAL, "timed\n", "held short\n"},
        {"wake_lock", "bad 12x", EINVAL, "timed\n", "held short\n"},
        {"wake_lock", "\n", EINVAL, "timed\n", "held short\n"},
        {"wake_lock", "short", 0, "short timed\n", "held\n"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(std::string(step.file) + " <- \"" + step.text + "\"");
        EXPECT_EQ(rig.WriteFile(std::string("power/") + step.file, step.text), step.error);
        EXPECT_EQ(rig.ReadFile("power/wake_lock"), step.active);
        EXPECT_EQ(rig.ReadFile("power/wake_unlock"), step.inactive);
    }
}

TEST(GpioSimSysfs, ActiveLowInvertsValueButNotLevel) {
    GpioSimRig rig;
    ExportInput(rig, 11, "none");
    ASSERT_EQ(rig.WriteFile("gpio11/active_low", "1"), 0);
    EXPECT_EQ(rig.ReadFile("gpio11/active_low"), "1\n");
    EXPECT_EQ(rig.ReadFile("gpio11/value"), "1\n");
    rig.SetLevel(11, 1);
    EXPECT_EQ(rig.ReadFile("gpio11/value"), "0\n");

    ASSERT_EQ(rig.WriteFile("gpio11/direction", "low"), 0);  // raw level, not inverted
    EXPECT_EQ(rig.Level(11), 0);
    EXPECT_EQ(rig.ReadFile("gpio11/value"), "1\n");
    ASSERT_EQ(rig.WriteFile("gpio11/value", "1"), 0);
    EXPECT_EQ(rig.Level(11), 0);
    ASSERT_EQ(rig.WriteFile("gpio11/value", "0"), 0);
    EXPECT_EQ(rig.Level(11), 1);

    // Unexport frees the line's inversion and interrupt; a new export starts plain.
    ASSERT_EQ(rig.WriteFile("unexport", "11"), 0);
    ASSERT_EQ(rig.WriteFile("export", "11"), 0);
    EXPECT_EQ(rig.ReadFile("gpio11/active_low"), "0\n");
    EXPECT_EQ(rig.ReadFile("gpio11/edge"), "none\n");
}

TEST(GpioSimSysfs, ControlTreeExistsForEveryLineOfTheChip) {
    GpioSimRig rig;
    EXPECT_EQ(Listing(rig, "sim"), std::set<std::string>{});
    // A level set before export is what the line shows once exported.
    rig.SetLevel(300, 1);
    EXPECT_EQ(rig.Level(300), 1);
    EXPECT_EQ(rig.Writes(301), 0);
    EXPECT_EQ(rig.ReadFile("sim/302/fail"), "0\n");
    EXPECT_EQ(Listing(rig, "sim"), (std::set<std::string>{"300", "301", "302"}));
    ASSERT_EQ(rig.WriteFile("export", "300"), 0);
    EXPECT_EQ(rig.ReadFile("gpio300/value"), "1\n");

    EXPECT_EQ(rig.WriteFile("sim/300/level", "2"), EINVAL);
    EXPECT_EQ(rig.WriteFile("sim/1024/level", "1"), ENOENT);  // past the chip's last line
    EXPECT_EQ(rig.WriteFile("sim/0300/level", "1"), ENOENT);
    EXPECT_THROW(rig.SetLevel(5000, 1), std::system_error);
}

TEST(GpioSimSysfs, FilesOpenedBeforeUnexportGoStale) {
    GpioSimRig rig;
    ExportInput(rig, 20, "both");
    Fd old_value = OpenIn(rig, "gpio20/value", O_RDWR);
    EXPECT_EQ(ReadFromStart(old_value.Get()), "0\n");
    ASSERT_EQ(rig.WriteFile("unexport", "20"), 0);
    EXPECT_EQ(ReadFromStart(old_value.Get()), "<errno " + std::to_string(ENODEV) + ">");
    // A stale file reports an exceptional condition, as a removed sysfs attribute does.
    EXPECT_EQ(PollEvents(old_value.Get()) & (POLLPRI | POLLERR), POLLPRI | POLLERR);

    ASSERT_EQ(rig.WriteFile("export", "20"), 0);
    EXPECT_EQ(ReadFromStart(old_value.Get()), "<errno " + std::to_string(ENODEV) + ">");
    Fd new_value = OpenIn(rig, "gpio20/value");
    EXPECT_EQ(ReadFromStart(new_value.Get()), "0\n");
}

}  // namespace
