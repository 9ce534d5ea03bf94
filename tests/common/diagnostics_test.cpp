#include <gtest/gtest.h>

#include <sys/stat.h>

#include <regex>
#include <string>
#include <thread>

#include "diagnostics.h"
#include "log_capture.h"

namespace {

Status ReturnStatus(Status s) { return s; }
int FailWith(int e) {
    errno = e;
    return -1;
}

// "(tid)[file:line] function():\n\tbody" split into its parts.
struct Diagnostic {
    int tid = 0;
    std::string file;
    int line = 0;
    std::string function;
    std::string body;
};

Diagnostic Parse(const std::string& text) {
    static const std::regex form(R"(^\((\d+)\)\[([^:\]]+):(\d+)\] (.+?)\(\):\n\t([\s\S]*)$)");
    std::smatch m;
    EXPECT_TRUE(std::regex_match(text, m, form)) << text;
    if (m.empty()) return {};
    return {std::stoi(m[1]), m[2], std::stoi(m[3]), m[4], m[5]};
}

TEST(StatusNames, TableEdgesAndOutOfRange) {
    EXPECT_STREQ(StatusToString(Status::SUCCESS), "SUCCESS");
    EXPECT_STREQ(StatusToString(Status::FAILURE_BUSY), "FAILURE_BUSY");
    EXPECT_STREQ(StatusToString(static_cast<Status>(14)), "FAILURE_UNKNOWN");
    EXPECT_STREQ(StatusToString(static_cast<Status>(15)), "Unknown Status");
    EXPECT_STREQ(StatusToString(static_cast<Status>(-1)), "Unknown Status");
}

TEST(Diagnostics, StatusFormWarnsWithExpressionTextAndName) {
    LogCapture capture;
    const int line = __LINE__ + 1;
    const Status kept = DIAG_STATUS(ReturnStatus(Status::FAILURE_BUSY));
    EXPECT_EQ(kept, Status::FAILURE_BUSY);
    const auto records = capture.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, Log::Level::WARN);
    const Diagnostic d = Parse(records[0].text);
    EXPECT_EQ(d.tid, static_cast<int>(syscall(SYS_gettid)));
    EXPECT_EQ(d.file, "test/diagnostics");
    EXPECT_EQ(d.line, line);
    EXPECT_EQ(d.function, "TestBody");
    EXPECT_EQ(d.body, "ReturnStatus(Status::FAILURE_BUSY) failed with status FAILURE_BUSY");
}

TEST(Diagnostics, StatusFormSilentOnSuccessAndEvaluatesOnce) {
    LogCapture capture;
    int calls = 0;
    const Status kept = DIAG_STATUS((++calls, Status::SUCCESS));
    EXPECT_EQ(kept, Status::SUCCESS);
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(capture.Records().empty());
}

#define FOURCC_FOR_TEST(a, b) ((unsigned)(a) | ((unsigned)(b) << 8))
TEST(Diagnostics, StatusFormShowsExpandedMacros) {
    LogCapture capture;
    DIAG_STATUS(ReturnStatus(static_cast<Status>(FOURCC_FOR_TEST(1, 0))));
    const auto records = capture.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(Parse(records[0].text).body,
              "ReturnStatus(static_cast<Status>(((unsigned)(1) | ((unsigned)(0) << 8)))) failed "
              "with status FAILURE");
}

TEST(Diagnostics, ErrnoFormReportsTheCallsErrnoAndKeepsIt) {
    LogCapture capture;
    struct stat st;
    const int result = DIAG_ERRNO(stat("/nonexistent/for/diagnostics", &st));
    EXPECT_EQ(result, -1);
    EXPECT_EQ(errno, ENOENT);
    const auto records = capture.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, Log::Level::ERROR);
    EXPECT_EQ(Parse(records[0].text).body,
              std::string("stat(\"/nonexistent/for/diagnostics\", &st): (2) ") + strerror(2));
}

TEST(Diagnostics, ErrnoFormClearsErrnoFirstAndIgnoresNonNegative) {
    LogCapture capture;
    errno = EPERM;
    const int result = DIAG_ERRNO(0);
    const int after = errno;
    EXPECT_EQ(result, 0);
    EXPECT_EQ(after, 0);
    EXPECT_EQ(DIAG_ERRNO(FailWith(EBUSY)), -1);
    EXPECT_EQ(errno, EBUSY);
    const auto records = capture.Records();
    ASSERT_EQ(records.size(), 1u);
    // The text is the call as the compiler saw it, macros expanded.
    EXPECT_EQ(Parse(records[0].text).body, std::string("FailWith(16): (16) ") + strerror(EBUSY));
}

TEST(Diagnostics, MessageFormExpandsErrnoOfTheCaller) {
    LogCapture capture;
    errno = EBADF;
    DIAG_MESSAGE("Error polling overload_interrupt: %m");
    EXPECT_EQ(errno, EBADF);
    const auto records = capture.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, Log::Level::ERROR);
    EXPECT_EQ(Parse(records[0].text).body,
              std::string("Error polling overload_interrupt: ") + strerror(EBADF));
}

TEST(Diagnostics, AssertionFormLogsFatalAndExecutionGoesOn) {
    LogCapture capture;
    bool reached = false;
    DIAG_ASSERT(ReturnStatus(Status::FAILURE) == Status::SUCCESS);
    reached = true;
    EXPECT_TRUE(reached);
    EXPECT_TRUE(DIAG_ASSERT(1 + 1 == 2));
    const auto records = capture.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, Log::Level::FATAL);
    EXPECT_EQ(Parse(records[0].text).body,
              "Assert 'ReturnStatus(Status::FAILURE) == Status::SUCCESS' failed.");
}

TEST(Diagnostics, SecondaryThreadShowsItsOwnThreadId) {
    LogCapture capture;
    int worker_tid = 0;
    std::thread worker([&] {
        worker_tid = static_cast<int>(syscall(SYS_gettid));
        DIAG_MESSAGE("from the worker");
    });
    worker.join();
    const auto records = capture.Records();
    ASSERT_EQ(records.size(), 1u);
    const Diagnostic d = Parse(records[0].text);
    EXPECT_EQ(d.tid, worker_tid);
    EXPECT_NE(d.tid, static_cast<int>(getpid()));
}

}  // namespace
