// The detector class against the GPIO emulator. The daemon's source is compiled
// in whole, with its main renamed by the build.
#include "vesk_overload_detector.cpp"

#include <chrono>
#include <stdexcept>
#include <thread>

#include "detector_fixture.h"
#include "log_capture.h"

using morwick::VeskOverloadDetector;
using namespace overload_test;

namespace {

TEST_F(DetectorTest, StartsPollingWithoutTouchingLedsOrStateFile) {
    WriteText(m_state_path, "x");
    VeskOverloadDetector detector;
    ASSERT_TRUE(m_rig.WaitFor([] { return ThreadsNamed("overload_interr") == 1; }))
        << "no poll thread named after \"overload_interrupt\" (the kernel keeps 15 characters)";
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(m_rig.Writes(RED), 0);
    EXPECT_EQ(m_rig.Writes(BLUE), 0);
    EXPECT_EQ(State(), "x");
    EXPECT_EQ(detector.GetLedState(), VeskOverloadDetector::LED_OFF);
    EXPECT_EQ(m_rig.ReadFile("gpio208/edge"), "both\n");
    EXPECT_EQ(m_rig.ReadFile("gpio234/direction"), "out\n");
    EXPECT_EQ(m_rig.ReadFile("gpio235/direction"), "out\n");
}

TEST_F(DetectorTest, LineLevelDrivesLedsAndStateFile) {
    VeskOverloadDetector detector;

    m_rig.SetLevel(INTERRUPT, 1);
    ASSERT_TRUE(WaitForState("r")) << "state file: " << State();
    EXPECT_EQ(m_rig.Level(RED), 1);
    EXPECT_EQ(m_rig.Level(BLUE), 0);
    EXPECT_EQ(detector.GetLedState(), VeskOverloadDetector::LED_RED);

    m_rig.SetLevel(INTERRUPT, 0);
    ASSERT_TRUE(WaitForState("o")) << "state file: " << State();
    EXPECT_EQ(m_rig.Level(RED), 0);
    EXPECT_EQ(m_rig.Level(BLUE), 0);
    EXPECT_EQ(detector.GetLedState(), VeskOverloadDetector::LED_OFF);
    EXPECT_EQ(m_rig.Writes(RED), 2);
    EXPECT_EQ(m_rig.Writes(BLUE), 2);
}

TEST_F(DetectorTest, EveryStateWritesBothLedsAndTheFileEvenWhenUnchanged) {
    VeskOverloadDetector detector;
    detector.SetListener(nullptr);  // the test thread drives SetLedState alone

    struct Case {
        int state;
        int red;
        int blue;
        const char* file;
    };
    const Case cases[] = {{2, 0, 1, "b"}, {3, 1, 1, "p"}, {1, 1, 0, "r"}, {0, 0, 0, "o"}, {7, 0, 0, "o"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.state);
        EXPECT_EQ(detector.SetLedState(static_cast<VeskOverloadDetector::LED_STATE>(c.state)),
                  Status::SUCCESS);
        EXPECT_EQ(m_rig.Level(RED), c.red);
        EXPECT_EQ(m_rig.Level(BLUE), c.blue);
        EXPECT_EQ(State(), c.file);
        EXPECT_EQ(static_cast<int>(detector.GetLedState()), c.state);
    }

    // The same state again: both lines and the file are written once more.
    const int red_writes = m_rig.Writes(RED);
    const int blue_writes = m_rig.Writes(BLUE);
    ASSERT_EQ(unlink(m_state_path.c_str()), 0);
    detector.SetLedState(static_cast<VeskOverloadDetector::LED_STATE>(7));
    EXPECT_EQ(m_rig.Writes(RED), red_writes + 1);
    EXPECT_EQ(m_rig.Writes(BLUE), blue_writes + 1);
    EXPECT_EQ(State(), "o");
}

TEST_F(DetectorTest, FailedLedWriteThrowsAndLeavesTheRestAsItWas) {
    VeskOverloadDetector detector;
    detector.SetListener(nullptr);
    detector.SetLedState(VeskOverloadDetector::LED_BLUE);

    // Red fails: blue, the state and the file stay.
    m_rig.SetFail(RED, EIO);
    {
        LogCapture capture(Log::Level::WARN);
        try {
            detector.SetLedState(VeskOverloadDetector::LED_RED);
            FAIL() << "a failed red write was not thrown";
        } catch (const std::runtime_error& failure) {
            EXPECT_STREQ(failure.what(), "Unable to Set GPIO Value");
        }
        const auto warnings = capture.Matching("\tm_overload_led_red_gpio.SetValue(1) failed with status FAILURE_SYSCALL");
        ASSERT_EQ(warnings.size(), 1u);
        EXPECT_EQ(warnings[0].level, Log::Level::WARN);
        EXPECT_NE(warnings[0].text.find("[vesk_overload_detector:"), std::string::npos);
        EXPECT_NE(warnings[0].text.find(" SetLedState():\n\t"), std::string::npos);
    }
    EXPECT_EQ(m_rig.Level(BLUE), 1);
    EXPECT_EQ(State(), "b");
    EXPECT_EQ(detector.GetLedState(), VeskOverloadDetector::LED_BLUE);
    m_rig.SetFail(RED, 0);

    // Blue fails after red succeeded: red keeps its new value.
    m_rig.SetFail(BLUE, EIO);
    {
        LogCapture capture(Log::Level::WARN);
        EXPECT_THROW(detector.SetLedState(VeskOverloadDetector::LED_RED), std::runtime_error);
        EXPECT_EQ(capture.Matching("\tm_overload_led_blue_gpio.SetValue(0) failed with status FAILURE_SYSCALL").size(), 1u);
    }
    EXPECT_EQ(m_rig.Level(RED), 1);
    EXPECT_EQ(State(), "b");
    EXPECT_EQ(detector.GetLedState(), VeskOverloadDetector::LED_BLUE);
}

TEST_F(DetectorTest, PollThreadSurvivesAFailingListener) {
    VeskOverloadDetector detector;
    m_rig.SetFail(BLUE, EIO);
    LogCapture capture(Log::Level::ERROR);
    m_rig.SetLevel(INTERRUPT, 1);
    ASSERT_TRUE(m_rig.WaitFor([&] { return !capture.Matching("Unable to Set GPIO Value").empty(); }));
    const auto report = capture.Matching("Unable to Set GPIO Value")[0];
    EXPECT_EQ(report.level, Log::Level::ERROR);
    EXPECT_NE(report.text.find("ThreadInterruptPoll():\n\t"), std::string::npos) << report.text;
    EXPECT_EQ(State(), "<missing>");

    m_rig.SetFail(BLUE, 0);
    m_rig.SetLevel(INTERRUPT, 0);
    EXPECT_TRUE(WaitForState("o")) << "polling stopped after the listener threw";
}

TEST_F(DetectorTest, StateFileIsWrittenOnlyAsARegularFileOfItsOwn) {
    VeskOverloadDetector detector;
    detector.SetListener(nullptr);
    struct Case {
        const char* name;
        std::string path;
        int err;
    };
    const std::string open_text = "open(FILEPATH, O_RDWR | O_CREAT | O_NOFOLLOW) as a regular file on ";
    for (const Case& c : {Case{"missing folder", m_dir.Path("no_such_dir/overload"), ENOENT},
                          Case{"a device", "/dev/full", EINVAL}}) {
        SCOPED_TRACE(c.name);
        FILEPATH = c.path.c_str();
        LogCapture capture(Log::Level::ERROR);
        EXPECT_EQ(detector.SetLedState(VeskOverloadDetector::LED_PURPLE), Status::SUCCESS);
        const auto errors = capture.Matching(open_text + c.path + ": (" + std::to_string(c.err) + ") ");
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0].level, Log::Level::ERROR);
        EXPECT_EQ(m_rig.Level(RED), 1);
        EXPECT_EQ(m_rig.Level(BLUE), 1);
        EXPECT_EQ(detector.GetLedState(), VeskOverloadDetector::LED_PURPLE);
        EXPECT_EQ(fp, nullptr);
    }

    // A file of its own that held more keeps exactly the one state byte.
    FILEPATH = m_state_path.c_str();
    WriteText(m_state_path, "left over from elsewhere");
    EXPECT_EQ(detector.SetLedState(VeskOverloadDetector::LED_RED), Status::SUCCESS);
    EXPECT_EQ(State(), "r");
}

TEST_F(DetectorTest, ListenerCanBeClearedOrReplaced) {
    VeskOverloadDetector detector;
    detector.SetListener(nullptr);
    m_rig.SetLevel(INTERRUPT, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(m_rig.Writes(RED), 0) << "an event reached the LEDs without a listener";

    // The edge above may still be on its way (a loaded machine): wait for each
    // level by the last call rather than by counting.
    RecordingListener recorder;
    detector.SetListener(&recorder);
    const auto last_level_is = [&](bool level) {
        const auto calls = recorder.Calls();
        return !calls.empty() && calls.back().second == level;
    };
    m_rig.SetLevel(INTERRUPT, 0);
    ASSERT_TRUE(m_rig.WaitFor([&] { return last_level_is(false); }));
    m_rig.SetLevel(INTERRUPT, 1);
    ASSERT_TRUE(m_rig.WaitFor([&] { return last_level_is(true); }));
    for (const auto& call : recorder.Calls()) EXPECT_EQ(call.first, &detector);
    EXPECT_EQ(m_rig.Writes(RED), 0);
    EXPECT_EQ(m_rig.Writes(BLUE), 0);
    EXPECT_EQ(ThreadsNamed("overload_interr"), 1) << "SetListener started a second poll thread";

    detector.SetListener(&detector);
    m_rig.SetLevel(INTERRUPT, 0);
    EXPECT_TRUE(WaitForState("o"));
}

TEST_F(DetectorTest, DestructionStopsPollingPromptlyAndReleasesLines) {
    auto detector = std::make_unique<VeskOverloadDetector>();
    ASSERT_TRUE(m_rig.WaitFor([] { return ThreadsNamed("overload_interr") == 1; }));
    const auto start = std::chrono::steady_clock::now();
    detector.reset();
    const auto took = std::chrono::steady_clock::now() - start;
    // The poll time-out is 10 ms; the bound is loose because the machine is shared.
    EXPECT_LT(took, std::chrono::milliseconds(200));
    EXPECT_EQ(ThreadsNamed("overload_interr"), 0);
    EXPECT_FALSE(m_rig.Exported(INTERRUPT));
    EXPECT_FALSE(m_rig.Exported(RED));
    EXPECT_FALSE(m_rig.Exported(BLUE));
}

TEST_F(DetectorTest, ConstructionFailsWithTheGpioError) {
    ScopedEnv missing("LUMASET_GPIO_SYSFS", m_dir.Path("no_gpio_tree"));
    EXPECT_THROW(VeskOverloadDetector detector, std::system_error);
}

}  // namespace
