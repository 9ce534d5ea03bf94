#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "diagnostics.h"
#include "log_capture.h"

namespace {

// Runs fn with standard error redirected to a temporary file; returns what was written.
template <typename Fn>
std::string CaptureStderr(Fn fn) {
    char path[] = "/tmp/log_test_XXXXXX";
    const int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    const int saved = dup(STDERR_FILENO);
    dup2(fd, STDERR_FILENO);
    fn();
    dup2(saved, STDERR_FILENO);
    close(saved);
    std::string out;
    char buf[4096];
    lseek(fd, 0, SEEK_SET);
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    close(fd);
    unlink(path);
    return out;
}

TEST(Log, ParsesLevelNames) {
    EXPECT_EQ(Log::ParseLevel("none"), Log::Level::NONE);
    EXPECT_EQ(Log::ParseLevel("fatal"), Log::Level::FATAL);
    EXPECT_EQ(Log::ParseLevel("error"), Log::Level::ERROR);
    EXPECT_EQ(Log::ParseLevel("warn"), Log::Level::WARN);
    EXPECT_EQ(Log::ParseLevel("debug"), Log::Level::DEBUG);
    EXPECT_EQ(Log::ParseLevel(nullptr), Log::Level::INFO);
    EXPECT_EQ(Log::ParseLevel("loud"), Log::Level::INFO);
}

TEST(Log, ThresholdDropsLowerLevels) {
    LogCapture capture(Log::Level::WARN);
    info("%s", "dropped");
    warn("%s", "kept");
    error("%d", 7);
    fatal("fatal never ends the process");
    const auto records = capture.Records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].text, "kept");
    EXPECT_EQ(records[1].text, "7");
    EXPECT_EQ(records[2].level, Log::Level::FATAL);
}

TEST(Log, PercentMUsesCallersErrnoAndLiteralPercentSurvives) {
    LogCapture capture;
    errno = ENOENT;
    error("open: %m, 100%% sure, %%m stays");
    EXPECT_EQ(errno, ENOENT);
    ASSERT_EQ(capture.Records().size(), 1u);
    EXPECT_EQ(capture.Records()[0].text,
              std::string("open: ") + strerror(ENOENT) + ", 100% sure, %m stays");
}

TEST(Log, StandardErrorRecordHasStampLevelAndProgramAndEndsInNewline) {
    const Log::Level previous = Log::Instance().GetLevel();
    Log::Instance().SetLevel(Log::Level::INFO);
    const std::string out = CaptureStderr([] { warn("two\n\tlines"); });
    Log::Instance().SetLevel(previous);
    ASSERT_FALSE(out.empty());
    EXPECT_NE(out.find(" W "), std::string::npos) << out;
    EXPECT_NE(out.find(program_invocation_short_name), std::string::npos) << out;
    EXPECT_NE(out.find("two\n\tlines\n"), std::string::npos) << out;
    EXPECT_EQ(out.back(), '\n');
}

TEST(Log, ThreadsNeverInterleaveWithinARecord) {
    const Log::Level previous = Log::Instance().GetLevel();
    Log::Instance().SetLevel(Log::Level::INFO);
    const std::string out = CaptureStderr([] {
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([t] {
                const std::string payload(200, static_cast<char>('a' + t));
                for (int i = 0; i < 200; ++i) info("<%s>", payload.c_str());
            });
        for (auto& thread : threads) thread.join();
    });
    Log::Instance().SetLevel(previous);
    size_t records = 0;
    size_t pos = 0;
    while ((pos = out.find('<', pos)) != std::string::npos) {
        const size_t end = out.find('>', pos);
        ASSERT_NE(end, std::string::npos);
        const std::string body = out.substr(pos + 1, end - pos - 1);
        ASSERT_EQ(body.size(), 200u);
        EXPECT_EQ(body.find_first_not_of(body[0]), std::string::npos);
        pos = end;
        ++records;
    }
    EXPECT_EQ(records, 800u);
}

}  // namespace
