#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "av_component.h"
#include "log_capture.h"
#include "stream_rig.h"

namespace {

using stream_rig::FakeSource;

// Counts what it receives; its enable can be made to fail.
class Sink : public AVComponent {
public:
    explicit Sink(const std::string& name = "sink0") : AVComponent(name) {}
    Status enable_result = Status::SUCCESS;
    std::vector<uint64_t> frames;
    std::function<void()> on_chunk;

protected:
    Status OnEnable() override { return enable_result; }
    void ReceiveChunk(const MediaChunk& chunk) override {
        frames.push_back(chunk.frame_number);
        if (on_chunk) on_chunk();
    }
};

TEST(AVComponentTest, ConnectToAnOutputTheSourceLacksIsInvalidAndSaysWhy) {
    LogCapture capture;
    auto source = std::make_shared<FakeSource>();
    Sink sink;
    EXPECT_EQ(sink.Connect(source, "low_res"), Status::FAILURE_INVALID);
    const auto lines = capture.Matching("low_res");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].text.find("src0"), std::string::npos);
    EXPECT_NE(lines[0].text.find("high_res"), std::string::npos);  // what it does have
    EXPECT_EQ(source->GetOutput("high_res")->GetConsumerCount(), 0u);

    EXPECT_EQ(sink.Connect(nullptr, "high_res"), Status::FAILURE_NULL_POINTER);
    EXPECT_EQ(sink.Disconnect(), Status::FAILURE_INVALID_STATE);
}

TEST(AVComponentTest, ConnectedSinkReceivesUntilDisconnected) {
    auto source = std::make_shared<FakeSource>();
    Sink sink;
    ASSERT_EQ(sink.Connect(source, "high_res"), Status::SUCCESS);
    EXPECT_EQ(sink.Connect(source, "high_res"), Status::FAILURE_INVALID_STATE);
    source->Emit(1);
    source->Emit(1);
    ASSERT_EQ(sink.Disconnect(), Status::SUCCESS);
    source->Emit(1);
    EXPECT_EQ(sink.frames, (std::vector<uint64_t>{0, 1}));
    EXPECT_EQ(source->GetOutput("high_res")->GetConsumerCount(), 0u);
}

TEST(AVComponentTest, DestroyedOrSelfRemovingConsumersAreNotCalled) {
    auto source = std::make_shared<FakeSource>();
    auto first = std::make_unique<Sink>("sink0");
    Sink second("sink1");
    ASSERT_EQ(first->Connect(source, "high_res"), Status::SUCCESS);
    ASSERT_EQ(second.Connect(source, "high_res"), Status::SUCCESS);
    // The first disconnects the second in the middle of a publish.
    first->on_chunk = [&] { second.Disconnect(); };
    source->Emit(1);
    EXPECT_EQ(first->frames.size(), 1u);
    EXPECT_TRUE(second.frames.empty());
    first.reset();  // destroyed while still connected
    source->Emit(1);
    EXPECT_EQ(source->GetOutput("high_res")->GetConsumerCount(), 0u);
}

TEST(AVComponentTest, EnableLifecycle) {
    Sink sink;
    sink.enable_result = Status::FAILURE_INVALID;
    EXPECT_EQ(sink.SetEnabled(true), Status::FAILURE_INVALID);
    EXPECT_FALSE(sink.IsEnabled());
    EXPECT_EQ(sink.SetEnabled(false), Status::SUCCESS);  // already off
    sink.enable_result = Status::SUCCESS;
    EXPECT_EQ(sink.SetEnabled(true), Status::SUCCESS);
    EXPECT_TRUE(sink.IsEnabled());
    EXPECT_EQ(sink.Shutdown(), Status::SUCCESS);
    EXPECT_FALSE(sink.IsEnabled());
    LogCapture capture;
    EXPECT_EQ(sink.SetEnabled(true), Status::FAILURE_INVALID_STATE);
    EXPECT_EQ(capture.Matching("after shutdown").size(), 1u);
}

}  // namespace
