#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <vector>

#include "io_event_data.h"
#include "log_capture.h"

namespace {

using namespace std::chrono_literals;
using Clock = IOEventData::Clock;

long Micros(const timeval& t) { return t.tv_sec * 1000000L + t.tv_usec; }

TEST(IOEventDataTest, TimeoutIsTimeToTheEarliestDeadlineAndNeverNegative) {
    IOEventData data;
    EXPECT_FALSE(data.HasTimeout());
    EXPECT_EQ(Micros(data.GetTimeout()), 0);

    const auto now = Clock::now();
    data.AddTimeout(now + 3s, nullptr);
    data.AddTimeout(now + 1500ms, nullptr);
    data.AddTimeout(now + 2s, nullptr);
    ASSERT_TRUE(data.HasTimeout());
    const timeval timeout = data.GetTimeout();
    EXPECT_EQ(timeout.tv_sec, 1);
    EXPECT_GT(timeout.tv_usec, 400000);
    EXPECT_LE(timeout.tv_usec, 500000);

    data.AddTimeout(now - 5s, nullptr);
    EXPECT_EQ(Micros(data.GetTimeout()), 0);
}

TEST(IOEventDataTest, ASelectThatWaitsTheTimeoutFindsTheCallbackDue) {
    // A wait that ended short of the deadline would leave nothing due and
    // spin the loop through an extra cycle.
    for (int round = 0; round < 20; ++round) {
        IOEventData data;
        bool ran = false;
        data.AddTimeout(Clock::now() + 1ms + std::chrono::nanoseconds(round * 50), [&] { ran = true; });
        timeval timeout = data.GetTimeout();
        EXPECT_LE(Micros(timeout), 1001);
        ASSERT_EQ(select(0, nullptr, nullptr, nullptr, &timeout), 0);
        data.HandleTimeout();
        EXPECT_TRUE(ran) << "round " << round;
    }
}

TEST(IOEventDataTest, HandleTimeoutRunsDueCallbacksOnceInDeadlineOrder) {
    IOEventData data;
    std::vector<int> ran;
    const auto now = Clock::now();
    data.AddTimeout(now - 1ms, [&] { ran.push_back(2); });
    data.AddTimeout(now + 1h, [&] { ran.push_back(99); });
    data.AddTimeout(now - 3ms, [&] {
        ran.push_back(1);
        data.AddTimeout(Clock::now() - 1us, [&] { ran.push_back(3); });  // added while running
    });
    data.AddTimeout(now - 2ms, nullptr);  // a bare wake-up
    data.HandleTimeout();
    EXPECT_EQ(ran, (std::vector<int>{1, 2}));
    data.HandleTimeout();
    EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
    EXPECT_TRUE(data.HasTimeout());  // the far one stays
    EXPECT_GT(data.GetTimeout().tv_sec, 3000);
}

TEST(IOEventDataTest, DescriptorsSelectCannotHoldAreRefusedAndLogged) {
    LogCapture capture;
    IOEventData data;
    EXPECT_EQ(data.AddReadFd(-1), Status::FAILURE_INVALID);
    EXPECT_EQ(data.AddWriteFd(FD_SETSIZE), Status::FAILURE_INVALID);
    EXPECT_EQ(data.AddErrorFd(FD_SETSIZE + 100), Status::FAILURE_INVALID);
    EXPECT_EQ(data.GetFdMax(), -1);
    EXPECT_EQ(capture.Matching("refusing").size(), 3u);
    for (const auto& record : capture.Records()) EXPECT_EQ(record.level, Log::Level::ERROR);
    EXPECT_FALSE(data.IsWriteReady(FD_SETSIZE));

    EXPECT_EQ(data.AddErrorFd(FD_SETSIZE - 1), Status::SUCCESS);
    EXPECT_EQ(data.GetFdMax(), FD_SETSIZE - 1);
}

TEST(IOEventDataTest, ReadinessReflectsWhatSelectReported) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    IOEventData data;
    ASSERT_EQ(data.AddReadFd(pair[0]), Status::SUCCESS);
    ASSERT_EQ(data.AddWriteFd(pair[1]), Status::SUCCESS);
    EXPECT_EQ(data.GetFdMax(), std::max(pair[0], pair[1]));
    timeval none{0, 0};
    ASSERT_EQ(select(data.GetFdMax() + 1, data.GetFdsRead(), data.GetFdsWrite(), data.GetFdsError(),
                     &none),
              1);
    EXPECT_FALSE(data.IsReadReady(pair[0]));  // nothing written yet
    EXPECT_TRUE(data.IsWriteReady(pair[1]));
    EXPECT_FALSE(data.IsReadReady(pair[1]));  // never asked for
    close(pair[0]);
    close(pair[1]);
}

}  // namespace
