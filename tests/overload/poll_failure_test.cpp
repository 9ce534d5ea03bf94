// The poll thread's reaction to poll() failures. This executable is linked with
// --wrap=poll, so the test can hand the poll thread the results it needs.
#include "vesk_overload_detector.cpp"

#include <atomic>
#include <chrono>
#include <thread>

#include "detector_fixture.h"
#include "log_capture.h"

using morwick::VeskOverloadDetector;
using namespace overload_test;

namespace {

// What the next poll() call gets instead of the real one: 0 = nothing injected.
std::atomic<int> g_inject_revents{0};
std::atomic<int> g_inject_errno{0};
// How many polls in a row get g_inject_revents (the first included); 0 = one.
std::atomic<int> g_inject_repeat{0};

}  // namespace

extern "C" int __real_poll(pollfd* fds, nfds_t count, int timeout);

extern "C" int __wrap_poll(pollfd* fds, nfds_t count, int timeout) {
    const int err = g_inject_errno.exchange(0);
    if (err != 0) {
        errno = err;
        return -1;
    }
    const int revents = g_inject_repeat.fetch_sub(1) > 1 ? g_inject_revents.load()
                                                         : g_inject_revents.exchange(0);
    if (revents != 0 && count == 1) {
        fds[0].revents = static_cast<short>(revents);
        return 1;
    }
    return __real_poll(fds, count, timeout);
}

namespace {

TEST_F(DetectorTest, PriorityAndInvalidTogetherDeliverTheLevelThenStopPolling) {
    VeskOverloadDetector detector;
    RecordingListener recorder;
    m_rig.SetLevel(INTERRUPT, 1);
    ASSERT_TRUE(WaitForState("r"));
    detector.SetListener(&recorder);

    LogCapture capture(Log::Level::ERROR);
    g_inject_revents = POLLPRI | POLLNVAL;
    ASSERT_TRUE(m_rig.WaitFor([] { return ThreadsNamed("overload_interr") == 0; }))
        << "the poll thread went on after POLLNVAL";
    const auto calls = recorder.Calls();
    ASSERT_EQ(calls.size(), 1u) << "the level reported with POLLNVAL was not handed on";
    EXPECT_TRUE(calls[0].second);
    const auto fatal = capture.Matching("ThreadInterruptPoll():\n\tFatal error polling overload_interrupt");
    ASSERT_EQ(fatal.size(), 1u);
    EXPECT_EQ(fatal[0].level, Log::Level::ERROR);

    // Nothing watches the line any more, but the object stays usable.
    m_rig.SetLevel(INTERRUPT, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(recorder.Count(), 1u);
    detector.SetListener(nullptr);
    EXPECT_EQ(detector.SetLedState(VeskOverloadDetector::LED_BLUE), Status::SUCCESS);
    EXPECT_EQ(State(), "b");
}

TEST_F(DetectorTest, InterruptedPollIsRetriedOtherFailuresStopPolling) {
    VeskOverloadDetector detector;
    LogCapture capture(Log::Level::ERROR);

    g_inject_errno = EINTR;
    ASSERT_TRUE(m_rig.WaitFor([] { return g_inject_errno == 0; }));
    m_rig.SetLevel(INTERRUPT, 1);
    ASSERT_TRUE(WaitForState("r")) << "polling stopped after EINTR";
    EXPECT_TRUE(capture.Records().empty()) << "EINTR was reported: " << capture.Records()[0].text;

    g_inject_errno = ENOMEM;
    ASSERT_TRUE(m_rig.WaitFor([] { return ThreadsNamed("overload_interr") == 0; }));
    const auto failure = capture.Matching("ThreadInterruptPoll():\n\tError polling overload_interrupt: " +
                                          std::string(strerror(ENOMEM)));
    ASSERT_EQ(failure.size(), 1u);
    EXPECT_EQ(failure[0].level, Log::Level::ERROR);

    m_rig.SetLevel(INTERRUPT, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(State(), "r");
}

TEST_F(DetectorTest, AnErrorWithoutAnEdgeIsWaitedOutThenGivenUp) {
    struct Case {
        const char* name;
        int polls;        // in a row, 10 ms apart
        bool given_up;
    };
    for (const Case& c : {Case{"briefly", 10, false}, Case{"for good", 1000000, true}}) {
        SCOPED_TRACE(c.name);
        VeskOverloadDetector detector;
        ASSERT_TRUE(m_rig.WaitFor([] { return ThreadsNamed("overload_interr") == 1; }));
        LogCapture capture(Log::Level::ERROR);
        g_inject_repeat = c.polls;
        g_inject_revents = POLLERR;
        if (c.given_up) {
            EXPECT_TRUE(m_rig.WaitFor([] { return ThreadsNamed("overload_interr") == 0; }, 5000));
            EXPECT_EQ(capture.Matching("ThreadInterruptPoll():\n\tFatal error polling overload_interrupt: "
                                       "it reports an error without an edge").size(), 1u);
            g_inject_revents = 0;
            g_inject_repeat = 0;
        } else {
            ASSERT_TRUE(m_rig.WaitFor([] { return g_inject_revents == 0; }));
            m_rig.SetLevel(INTERRUPT, 1);
            EXPECT_TRUE(WaitForState("r")) << "polling stopped after a passing error";
            m_rig.SetLevel(INTERRUPT, 0);
            EXPECT_TRUE(WaitForState("o"));
            EXPECT_TRUE(capture.Records().empty()) << capture.Records()[0].text;
        }
    }
}

}  // namespace
