#include <gtest/gtest.h>

#include <cstdlib>

#include "log_capture.h"
#include "options.h"

namespace {

class OptionsTest : public ::testing::Test {
protected:
    void SetUp() override { unsetenv(Options::ENVIRONMENT); }
    void TearDown() override {
        unsetenv(Options::ENVIRONMENT);
        Options::GetOptions().Clear();
    }
    Status Initialize(const std::string& flavour, std::vector<const char*> args = {"netout_probe"}) {
        return Options::GetOptions().Initialize(static_cast<int>(args.size()),
                                                const_cast<char* const*>(args.data()), flavour);
    }
};

TEST_F(OptionsTest, FlavourThenEnvironmentThenArgumentsTakePrecedence) {
    setenv(Options::ENVIRONMENT, "  enc0.width=1920\tenc0.input=/tmp/f.nv12  flavor=env ", 1);
    ASSERT_EQ(Initialize("flavor=loc.lms.k2x enc0.width=640 enc0.height=480",
                         {"netout_probe", "-s", "enc0.height=720", "5"}),
              Status::SUCCESS);
    const Options& options = Options::GetOptions();
    EXPECT_EQ(options.GetString("flavor", ""), "env");
    EXPECT_EQ(options.GetInt("enc0.width", 0), 1920);
    EXPECT_EQ(options.GetInt("enc0.height", 0), 720);
    EXPECT_EQ(options.GetString("enc0.input", ""), "/tmp/f.nv12");
    EXPECT_EQ(options.GetString("program", ""), "netout_probe");
}

TEST_F(OptionsTest, InitializeReplacesEarlierContents) {
    Options::GetOptions().Set("netout0.paced", "0");
    ASSERT_EQ(Initialize("flavor=loc.lms.k2x"), Status::SUCCESS);
    EXPECT_FALSE(Options::GetOptions().Has("netout0.paced"));
    EXPECT_EQ(Options::GetOptions().GetString("flavor", ""), "loc.lms.k2x");
}

TEST_F(OptionsTest, MalformedPairsAreSkippedWithWarningAndTheRestKept) {
    LogCapture capture;
    setenv(Options::ENVIRONMENT, "=3 enc0.bitrate=4000000 justaword", 1);
    EXPECT_EQ(Initialize("flavor=x"), Status::FAILURE_INVALID);
    EXPECT_EQ(Options::GetOptions().GetInt("enc0.bitrate", 0), 4000000);
    EXPECT_EQ(capture.Matching("justaword").size(), 1u);
    EXPECT_EQ(capture.Matching("\"=3\"").size(), 1u);
    // An empty value is a value.
    unsetenv(Options::ENVIRONMENT);
    ASSERT_EQ(Initialize("enc0.input="), Status::SUCCESS);
    EXPECT_TRUE(Options::GetOptions().Has("enc0.input"));
    EXPECT_EQ(Options::GetOptions().GetString("enc0.input", "x"), "");
}

TEST_F(OptionsTest, TypedGettersFallBackWithWarningOnBadText) {
    LogCapture capture;
    Options& options = Options::GetOptions();
    options.Set("a.int", "12abc");
    options.Set("a.big", "99999999999999999999999");
    options.Set("a.hex", "0x10");
    options.Set("a.zero", "030");
    options.Set("a.neg", "-5");
    options.Set("a.double", "1.5");
    options.Set("a.nan", "nan");
    options.Set("a.yes", "On");
    options.Set("a.no", "false");
    options.Set("a.maybe", "perhaps");
    EXPECT_EQ(options.GetInt("a.int", 7), 7);
    EXPECT_EQ(options.GetInt("a.big", 7), 7);
    EXPECT_EQ(options.GetInt("a.hex", 7), 7) << "decimal only";
    EXPECT_EQ(options.GetInt("a.zero", 7), 30) << "read as octal";
    EXPECT_EQ(options.GetInt("a.neg", 7), -5);
    EXPECT_EQ(options.GetInt("a.missing", 7), 7);
    EXPECT_DOUBLE_EQ(options.GetDouble("a.double", 0), 1.5);
    EXPECT_DOUBLE_EQ(options.GetDouble("a.nan", 2.5), 2.5);
    EXPECT_TRUE(options.GetBool("a.yes", false));
    EXPECT_FALSE(options.GetBool("a.no", true));
    EXPECT_TRUE(options.GetBool("a.maybe", true));
    EXPECT_EQ(capture.Matching("a.int=\"12abc\"").size(), 1u);
    EXPECT_EQ(capture.Matching("a.big=").size(), 1u);
    EXPECT_EQ(capture.Matching("a.hex=\"0x10\" is not a whole number").size(), 1u);
    EXPECT_EQ(capture.Matching("a.nan=").size(), 1u);
    EXPECT_EQ(capture.Matching("a.maybe=").size(), 1u);
    EXPECT_TRUE(capture.Matching("a.missing").empty());
}

}  // namespace
