#include <gtest/gtest.h>

#include <vector>

#include "stream_source.h"

namespace {

// Notes each call in a shared journal; may detach itself while called.
class JournalSink : public StreamSink {
public:
    JournalSink(std::vector<int>& journal, int id, Status result) : m_journal(journal), m_id(id), m_result(result) {}
    Status PushBuffer(const std::shared_ptr<Buffer>&) override {
        m_journal.push_back(m_id);
        if (detach_from) detach_from->RemoveSink(self.lock());
        return m_result;
    }
    StreamSource* detach_from = nullptr;
    std::weak_ptr<JournalSink> self;

private:
    std::vector<int>& m_journal;
    int m_id;
    Status m_result;
};

}  // namespace

TEST(StreamSource, AttachesEachSinkOnceAndDetachesOnlyAttachedOnes) {
    StreamSource source;
    std::vector<int> journal;
    auto sink = std::make_shared<JournalSink>(journal, 1, Status::SUCCESS);
    EXPECT_EQ(source.AddSink(nullptr), Status::FAILURE_NULL_POINTER);
    EXPECT_EQ(source.AddSink(sink), Status::SUCCESS);
    EXPECT_EQ(source.AddSink(sink), Status::FAILURE_INVALID);
    EXPECT_EQ(source.GetSinkCount(), 1u);
    EXPECT_EQ(source.RemoveSink(std::make_shared<JournalSink>(journal, 2, Status::SUCCESS)), Status::FAILURE_INVALID);
    EXPECT_EQ(source.RemoveSink(sink), Status::SUCCESS);
    EXPECT_EQ(source.RemoveSink(sink), Status::FAILURE_INVALID);
    EXPECT_EQ(source.Deliver(nullptr), Status::SUCCESS);
    EXPECT_TRUE(journal.empty());
}

TEST(StreamSource, DeliversToEverySinkInOrderAndReportsTheFirstFailure) {
    StreamSource source;
    std::vector<int> journal;
    auto first = std::make_shared<JournalSink>(journal, 1, Status::SUCCESS);
    auto failing = std::make_shared<JournalSink>(journal, 2, Status::FAILURE_SYSCALL);
    auto also_failing = std::make_shared<JournalSink>(journal, 3, Status::FAILURE_BUSY);
    auto leaving = std::make_shared<JournalSink>(journal, 4, Status::SUCCESS);
    leaving->detach_from = &source;  // detaches itself while being called
    leaving->self = leaving;
    for (const auto& sink : {first, failing, also_failing, leaving}) ASSERT_EQ(source.AddSink(sink), Status::SUCCESS);

    EXPECT_EQ(source.Deliver(nullptr), Status::FAILURE_SYSCALL);
    EXPECT_EQ(journal, (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(source.GetSinkCount(), 3u);
    EXPECT_EQ(source.Deliver(nullptr), Status::FAILURE_SYSCALL);
    EXPECT_EQ(journal, (std::vector<int>{1, 2, 3, 4, 1, 2, 3}));
}
