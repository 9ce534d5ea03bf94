// netout_probe's main against stand-in components, select and clock: the order
// of its framework calls, its run loop, the clock test and the select failures.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "log_capture.h"
#include "options.h"
#include "probe_fakes.h"
#include "tool_runner.h"

namespace {

struct ProbeRun {
    int status = -1;
    std::string transcript;  // the program's lines and the stand-ins' "# ..." lines
};

ProbeRun RunProbe(std::vector<std::string> args) {
    args.insert(args.begin(), "netout_probe");
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    optind = 0;  // getopt starts afresh
    ProbeRun run;
    testing::internal::CaptureStdout();
    run.status = netout_probe_main(static_cast<int>(args.size()), argv.data());
    fflush(stdout);
    run.transcript = testing::internal::GetCapturedStdout();
    return run;
}

size_t Count(const std::string& text, const std::string& line) {
    size_t count = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++count;
    return count;
}

const std::string STOP_SEQUENCE =
    "Done encoding. Stopping and disconnecting...\n"
    "# enc0 disable\n"
    "# netout0 disable\n"
    "Shutting down...\n"
    "# enc0 Shutdown consumers=0\n"
    "# netout0 Shutdown\n"
    "Success\n";

// The texts of the fatal assertion records, each checked for its prefix.
std::vector<std::string> AssertedConditions(const LogCapture& log) {
    std::vector<std::string> asserted;
    for (const auto& record : log.Records()) {
        if (record.level != Log::Level::FATAL) continue;
        EXPECT_NE(record.text.find("[test/netout_probe:"), std::string::npos) << record.text;
        // main is renamed here; the real program's function name is checked end to end.
        EXPECT_NE(record.text.find("main():\n\tAssert '"), std::string::npos) << record.text;
        const size_t from = record.text.find("Assert '") + 8;
        asserted.push_back(record.text.substr(from, record.text.rfind("' failed.") - from));
    }
    return asserted;
}

// Runs main with standard output going to a file, select failing with error.
void RunWithFailingSelect(const std::string& stdout_path, int error) {
    const int fd = open(stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0) std::_Exit(100);
    fake::GetScript().select_results = {{-1, error}};
    std::string arg0 = "netout_probe";
    char* argv[] = {arg0.data(), nullptr};
    optind = 0;
    netout_probe_main(1, argv);
    std::_Exit(101);  // main returned: not what a failed select must do
}

class ProbeLoopTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake::GetScript() = fake::Script{};
        Options::GetOptions().Clear();
        m_calls_before = fake::SelectCalls();
    }
    int Cycles() const { return fake::SelectCalls() - m_calls_before; }
    int m_calls_before = 0;
};

TEST_F(ProbeLoopTest, OneCycleRunsEveryStepInOrder) {
    const ProbeRun run = RunProbe({"-s", "0"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.transcript,
              "Get Arguments\n"
              "# EncodeQualcomm enc0\n"
              "# SocketNetworkDatagramOut netout0 127.0.0.1 3458 3948\n"
              "Connecting Components...\n"
              "Starting Components...\n"
              "# enc0 enable consumers=1\n"  // connected before it starts
              "# netout0 enable\n"
              "Encode is started and should run for specified time...\n"
              "# enc0 SetupIOEvents\n"
              "# netout0 SetupIOEvents\n"
              "# select nfds=0 timeout=yes\n"
              "# enc0 timeout\n"
              "Done encoding. Stopping and disconnecting...\n"
              "# enc0 disable\n"
              "# netout0 disable\n"
              "Shutting down...\n"
              "# enc0 Shutdown consumers=0\n"  // disconnected before shutdown
              "# netout0 Shutdown\n"
              "Success\n"
              "# netout0 destroyed\n"
              "# enc0 destroyed\n");
    // The option store got the flavour and the program name, nothing else.
    EXPECT_EQ(Options::GetOptions().GetString("flavor", ""), "loc.lms.k2x");
    EXPECT_EQ(Options::GetOptions().GetString("program", ""), "netout_probe");
}

TEST_F(ProbeLoopTest, OptionsReachTheSenderAndTheLastRepeatWins) {
    const ProbeRun run =
        RunProbe({"-s", "0", "-i", "::1", "-p", "9000", "-m", "1316", "-p", "9001", "extra"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(Count(run.transcript, "# SocketNetworkDatagramOut netout0 ::1 9001 1316\n"), 1u)
        << run.transcript;
    EXPECT_EQ(Count(run.transcript, "Success\n"), 1u);
}

TEST_F(ProbeLoopTest, HelpAndRejectedOptionsCreateNothing) {
    const ProbeRun help = RunProbe({"-h", "-x"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.transcript.rfind("Get Arguments\nusage: netout_probe [-h]", 0), 0u);
    EXPECT_EQ(Count(help.transcript, "# "), 0u) << "no framework call";
    EXPECT_FALSE(Options::GetOptions().Has("flavor"));

    const ProbeRun rejected = RunProbe({"-s", "1", "-x"});
    EXPECT_EQ(rejected.status, -1);
    EXPECT_EQ(Count(rejected.transcript, "# "), 0u);
    EXPECT_EQ(Count(rejected.transcript, "usage: netout_probe"), 1u);
    EXPECT_FALSE(Options::GetOptions().Has("flavor"));
    EXPECT_EQ(Cycles(), 0);
}

TEST_F(ProbeLoopTest, RunTimesBelowOneGiveExactlyOneCycle) {
    fake::GetScript().clock_step_usec = 5000000;  // even a slow clock
    for (const char* seconds : {"0", "-5", "abc"}) {
        SCOPED_TRACE(seconds);
        const int before = fake::SelectCalls();
        const ProbeRun run = RunProbe({"-s", seconds});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(fake::SelectCalls() - before, 1);
        EXPECT_EQ(Count(run.transcript, STOP_SEQUENCE), 1u) << run.transcript;
    }
}

TEST_F(ProbeLoopTest, RunTimeCountsWholeSecondsOfTheWallClock) {
    // Default run time 30 s; the clock moves one second per reading.
    fake::GetScript().clock_step_usec = 1000000;
    RunProbe({});
    EXPECT_EQ(Cycles(), 30);

    // Microseconds play no part: 1000.999999 to 1001.000000 is a whole second.
    fake::GetScript() = fake::Script{};
    fake::GetScript().clock = {1000, 999999};
    fake::GetScript().clock_step_usec = 1;
    const int before = fake::SelectCalls();
    RunProbe({"-s", "1"});
    EXPECT_EQ(fake::SelectCalls() - before, 1);

    // 1000.0 to 1001.999 stays under 2 seconds: cycles go on until the seconds field moves twice.
    fake::GetScript() = fake::Script{};
    fake::GetScript().clock_step_usec = 250000;
    const int before_two = fake::SelectCalls();
    RunProbe({"-s", "2"});
    EXPECT_EQ(fake::SelectCalls() - before_two, 8);
}

TEST_F(ProbeLoopTest, TimeoutCyclesRunOnlyTheTimeoutsAndReadyCyclesOnlyTheComponents) {
    int pipe_fds[2];
    ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
    fake::GetScript().sender_read_fd = pipe_fds[0];
    fake::GetScript().select_results = {{2, 0}, {0, 0}};
    fake::GetScript().clock_step_usec = 500000;
    const ProbeRun run = RunProbe({"-s", "1"});
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    EXPECT_EQ(run.status, 0);
    const std::string nfds = "# select nfds=" + std::to_string(pipe_fds[0] + 1) + " timeout=yes\n";
    EXPECT_NE(run.transcript.find(nfds +
                                  "# enc0 HandleIOEvents\n"
                                  "# netout0 HandleIOEvents\n"
                                  "# enc0 SetupIOEvents\n"
                                  "# netout0 SetupIOEvents\n" +
                                  nfds +
                                  "# enc0 timeout\n"
                                  "Done encoding."),
              std::string::npos)
        << run.transcript;
    EXPECT_EQ(Count(run.transcript, "timeout\n"), 1u);
    EXPECT_EQ(Count(run.transcript, "HandleIOEvents"), 2u);
}

TEST_F(ProbeLoopTest, WithoutADeadlineSelectWaitsWithoutLimit) {
    fake::GetScript().encoder_timeout = false;
    const ProbeRun run = RunProbe({"-s", "0"});
    EXPECT_EQ(Count(run.transcript, "# select nfds=0 timeout=none\n"), 1u) << run.transcript;
}

TEST_F(ProbeLoopTest, InterruptedSelectGoesOn) {
    fake::GetScript().select_results = {{-1, EINTR}, {-1, EAGAIN}, {0, 0}};
    fake::GetScript().clock_step_usec = 400000;
    const ProbeRun run = RunProbe({"-s", "1"});
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.transcript.find("# select nfds=0 timeout=yes\n"
                                  "select: Interrupted system call\n"
                                  " -- continuing\n"
                                  "# enc0 SetupIOEvents\n"),
              std::string::npos)
        << run.transcript;
    EXPECT_NE(run.transcript.find("select: Resource temporarily unavailable\n -- continuing\n"),
              std::string::npos);
    EXPECT_EQ(Count(run.transcript, "# enc0 timeout\n"), 1u) << "interrupted cycles handle nothing";
    EXPECT_EQ(Count(run.transcript, "Success\n"), 1u);
}

TEST_F(ProbeLoopTest, FailedSelectExitsAtOnceWithStatusOne) {
    TempDir dir("probe-loop");
    const std::string path = dir.Path() + "/stdout";
    for (const int error : {EBADF, EINVAL, ENOMEM}) {
        SCOPED_TRACE(error);
        EXPECT_EXIT(RunWithFailingSelect(path, error), ::testing::ExitedWithCode(1), "");
        std::ifstream file(path);
        std::stringstream text;
        text << file.rdbuf();
        const std::string transcript = text.str();
        const std::string expected = std::string("select: ") + strerror(error) + "\n -- exiting\n";
        ASSERT_GE(transcript.size(), expected.size()) << transcript;
        EXPECT_EQ(transcript.substr(transcript.size() - expected.size()), expected)
            << "nothing after the failure: no stop sequence, no release";
        EXPECT_EQ(Count(transcript, "Success"), 0u);
    }
}

TEST_F(ProbeLoopTest, FailedEnableIsAssertedAndTheRunGoesOn) {
    LogCapture log;
    fake::GetScript().encoder_enable = Status::FAILURE_INVALID;
    fake::GetScript().sender_enable = Status::FAILURE_UNAVAILABLE;
    const ProbeRun run = RunProbe({"-s", "0"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(Count(run.transcript, "Encode is started and should run for specified time...\n"), 1u);
    EXPECT_EQ(Count(run.transcript, "Success\n"), 1u);
    EXPECT_EQ(AssertedConditions(log), (std::vector<std::string>{
                                           "encoder->SetEnabled(true) == Status::SUCCESS",
                                           "socket_out->SetEnabled(true) == Status::SUCCESS",
                                       }));
}

TEST_F(ProbeLoopTest, FailedDisableIsAssertedAndTheStopGoesOn) {
    LogCapture log;
    fake::GetScript().encoder_disable = Status::FAILURE;
    fake::GetScript().sender_disable = Status::FAILURE_BUSY;
    const ProbeRun run = RunProbe({"-s", "0"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(Count(run.transcript, STOP_SEQUENCE), 1u) << run.transcript;
    EXPECT_EQ(AssertedConditions(log), (std::vector<std::string>{
                                           "encoder->SetEnabled(false) == Status::SUCCESS",
                                           "socket_out->SetEnabled(false) == Status::SUCCESS",
                                       }));
}

}  // namespace
