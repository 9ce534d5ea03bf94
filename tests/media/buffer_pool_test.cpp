#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include "buffer_pool.h"
#include "log_capture.h"
#include "metadata_memory.h"

using morwick::AndroidMetadataBufferPool;
using Clock = std::chrono::steady_clock;

namespace {

AndroidMetadataBufferPool::Configuration Pool(uint32_t count, uint32_t size, uint32_t preallocate = 0) {
    return {count, 736, 4096, 0x2000000, preallocate, 1280, size};
}

long MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

}  // namespace

TEST(BufferPool, HandsOutPageAlignedBuffersOfTheConfiguredSize) {
    AndroidMetadataBufferPool pool("test_pool", Pool(2, 1425408));
    std::shared_ptr<Buffer> buffer;
    ASSERT_EQ(pool.GetBuffer(buffer, 0), Status::SUCCESS);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(buffer->GetSize(), 1425408u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer->GetAddress()) % sysconf(_SC_PAGESIZE), 0u);
    memset(buffer->GetAddress(), 0x5A, buffer->GetSize());  // all of it is usable

    AndroidMetadataBufferPool odd("odd_pool", Pool(1, 5000));
    ASSERT_EQ(odd.GetBuffer(buffer, 0), Status::SUCCESS);
    EXPECT_EQ(buffer->GetSize(), 8192u);
}

TEST(BufferPool, AtMostCountOutThenTryAgainAfterTheWait) {
    AndroidMetadataBufferPool pool("test_pool", Pool(2, 4096, 1));
    std::shared_ptr<Buffer> first, second, third;
    ASSERT_EQ(pool.GetBuffer(first, 0), Status::SUCCESS);
    ASSERT_EQ(pool.GetBuffer(second, 0), Status::SUCCESS);
    EXPECT_NE(first->GetAddress(), second->GetAddress());
    EXPECT_EQ(pool.GetOutstanding(), 2u);

    EXPECT_EQ(pool.GetBuffer(third, 0), Status::FAILURE_TRY_AGAIN);
    const auto start = Clock::now();
    EXPECT_EQ(pool.GetBuffer(third, 60), Status::FAILURE_TRY_AGAIN);
    EXPECT_GE(MillisecondsSince(start), 60);
    EXPECT_EQ(third, nullptr);

    // A returned buffer is the one handed out next, with its metadata cleared.
    uint8_t* const address = first->GetAddress();
    BufferMetadata metadata;
    metadata.width = 1280;
    first->SetMetadata(metadata);
    first->SetFlags(7);
    first.reset();
    EXPECT_EQ(pool.GetOutstanding(), 1u);
    ASSERT_EQ(pool.GetBuffer(third, 0), Status::SUCCESS);
    EXPECT_EQ(third->GetAddress(), address);
    EXPECT_EQ(third->GetMetadata().width, 0);
    EXPECT_EQ(third->GetFlags(), 0u);
}

TEST(BufferPool, AWaiterGetsABufferReturnedByAnotherThread) {
    AndroidMetadataBufferPool pool("test_pool", Pool(1, 4096));
    std::shared_ptr<Buffer> held;
    ASSERT_EQ(pool.GetBuffer(held, 0), Status::SUCCESS);
    std::thread releaser([&held] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        held.reset();
    });
    std::shared_ptr<Buffer> waited;
    const auto start = Clock::now();
    EXPECT_EQ(pool.GetBuffer(waited, 5000), Status::SUCCESS);
    EXPECT_LT(MillisecondsSince(start), 5000);
    releaser.join();
}

// Pages of the block that are in memory, by mincore.
size_t ResidentPages(const Buffer& buffer) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    std::vector<unsigned char> resident(buffer.GetSize() / page);
    if (mincore(buffer.GetAddress(), buffer.GetSize(), resident.data()) != 0) return 0;
    return static_cast<size_t>(std::count_if(resident.begin(), resident.end(), [](unsigned char r) { return r & 1; }));
}

TEST(BufferPool, BuffersComeWithEveryPageInPlaceAndPreallocatedOnesWithoutAWait) {
    // All buffers are being made: a request that may not wait still gets one.
    AndroidMetadataBufferPool pool("prepared_pool", Pool(2, 1425408, 2));
    std::shared_ptr<Buffer> first, second, third;
    ASSERT_EQ(pool.GetBuffer(first, 0), Status::SUCCESS);
    ASSERT_EQ(pool.GetBuffer(second, 0), Status::SUCCESS);
    EXPECT_NE(first->GetAddress(), second->GetAddress());
    EXPECT_EQ(pool.GetBuffer(third, 0), Status::FAILURE_TRY_AGAIN);  // two made, no more
    EXPECT_EQ(ResidentPages(*first), first->GetSize() / sysconf(_SC_PAGESIZE));
    EXPECT_EQ(ResidentPages(*second), second->GetSize() / sysconf(_SC_PAGESIZE));

    // Made on demand, a buffer has its pages too.
    AndroidMetadataBufferPool on_demand("on_demand_pool", Pool(1, 1425408));
    ASSERT_EQ(on_demand.GetBuffer(third, 0), Status::SUCCESS);
    EXPECT_EQ(ResidentPages(*third), third->GetSize() / sysconf(_SC_PAGESIZE));
}

TEST(BufferPool, ABufferThatCouldNotBeMadeDoesNotUseUpThePool) {
    AndroidMetadataBufferPool pool("one_buffer_pool", Pool(1, 65536));
    std::shared_ptr<Buffer> buffer;
    {
        // No descriptor left for the buffer's memory.
        LogCapture log;
        rlimit saved{};
        ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
        const int lowest_free = open("/dev/null", O_RDONLY | O_CLOEXEC);  // the lowest free number
        ASSERT_GE(lowest_free, 0);
        close(lowest_free);
        rlimit none = saved;
        none.rlim_cur = static_cast<rlim_t>(lowest_free);
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
        const Status refused = pool.GetBuffer(buffer, 0);
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
        EXPECT_EQ(refused, Status::FAILURE_ALLOCATION);
    }
    EXPECT_EQ(pool.GetBuffer(buffer, 0), Status::SUCCESS) << "the failed one still counts";
}

TEST(BufferPool, APoolGoneWhileItsBuffersAreBeingMadeLeavesNothingBehind) {
    for (int i = 0; i < 20; ++i) AndroidMetadataBufferPool pool("brief_pool", Pool(3, 65536, 3));
    // ThreadSanitizer and AddressSanitizer watch the threads and the blocks.
}

TEST(BufferPool, ABufferOutlivingItsPoolIsFreedSafely) {
    std::shared_ptr<Buffer> survivor;
    {
        AndroidMetadataBufferPool pool("short_lived", Pool(2, 8192, 2));
        ASSERT_EQ(pool.GetBuffer(survivor, 0), Status::SUCCESS);
    }
    survivor->GetAddress()[8191] = 1;  // still mapped
    survivor.reset();                  // returns to nothing; AddressSanitizer watches this
}

TEST(BufferPool, RefusesAPoolOfNothing) {
    LogCapture log;
    std::shared_ptr<Buffer> buffer;
    AndroidMetadataBufferPool empty("empty", Pool(0, 4096));
    EXPECT_EQ(empty.GetBuffer(buffer, 0), Status::FAILURE_INVALID);
    AndroidMetadataBufferPool sizeless("sizeless", Pool(1, 0));
    EXPECT_EQ(sizeless.GetBuffer(buffer, 0), Status::FAILURE_INVALID);
    auto bad_alignment = Pool(1, 4096);
    bad_alignment.alignment = 3000;
    AndroidMetadataBufferPool misaligned("misaligned", bad_alignment);
    EXPECT_EQ(misaligned.GetBuffer(buffer, 0), Status::FAILURE_INVALID);
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(log.Matching("cannot hold").size(), 3u);
}

TEST(MetadataMemory, ASharedBufferIsSeenThroughItsOwnMappingAndKeptAlive) {
    AndroidMetadataBufferPool pool("test_pool", Pool(1, 1425408));
    std::shared_ptr<Buffer> buffer;
    ASSERT_EQ(pool.GetBuffer(buffer, 0), Status::SUCCESS);
    uint8_t* const address = buffer->GetAddress();
    address[0] = 11;
    address[1425407] = 22;

    android::sp<android::IMemory> kept;
    {
        morwick::MetadataMemory view(buffer->GetData());
        android::sp<android::IMemory> memory = view.GetMemory();
        EXPECT_EQ(memory->pointer(), address);
        ASSERT_EQ(memory->size(), 1425408u);
        kept = view.GetMemory();
    }
    // The reference holds the buffer: it does not go back to the pool (where
    // the next holder would write over what is being read) until released.
    buffer.reset();
    EXPECT_EQ(pool.GetOutstanding(), 1u);
    std::shared_ptr<Buffer> other;
    EXPECT_EQ(pool.GetBuffer(other, 0), Status::FAILURE_TRY_AGAIN);
    EXPECT_EQ(static_cast<uint8_t*>(kept->pointer())[1425407], 22);
    kept.clear();
    EXPECT_EQ(pool.GetOutstanding(), 0u);

    // Handed out again, the same buffer is found again.
    ASSERT_EQ(pool.GetBuffer(buffer, 0), Status::SUCCESS);
    ASSERT_EQ(buffer->GetAddress(), address);
    morwick::MetadataMemory again(buffer->GetData());
    EXPECT_EQ(again.GetMemory()->pointer(), address);
}

TEST(MetadataMemory, ABufferNotSharedIsMappedOnItsOwn) {
    std::unique_ptr<Buffer> buffer = Buffer::Allocate(8192, "unshared");
    ASSERT_NE(buffer, nullptr);
    buffer->GetAddress()[0] = 11;
    buffer->GetAddress()[8191] = 22;

    android::sp<android::IMemory> kept;
    {
        morwick::MetadataMemory view(buffer->GetData());
        android::sp<android::IMemory> memory = view.GetMemory();
        ASSERT_NE(memory->pointer(), nullptr);
        EXPECT_NE(memory->pointer(), buffer->GetAddress());  // a mapping of its own
        ASSERT_EQ(memory->size(), 8192u);
        auto* bytes = static_cast<uint8_t*>(memory->pointer());
        EXPECT_EQ(bytes[0], 11);
        EXPECT_EQ(bytes[8191], 22);
        bytes[100] = 33;
        kept = view.GetMemory();
    }
    EXPECT_EQ(buffer->GetAddress()[100], 33);
    // A reference taken from the view keeps the mapping after the view and the buffer are gone.
    buffer.reset();
    EXPECT_EQ(static_cast<uint8_t*>(kept->pointer())[0], 11);
}

TEST(MetadataMemory, ADescriptorThatIsNotABuffersGivesEmptyMemory) {
    LogCapture log;
    morwick::MetadataMemory none(nullptr);
    EXPECT_EQ(none.GetMemory()->pointer(), nullptr);
    EXPECT_EQ(none.GetMemory()->size(), 0u);
    uint32_t garbage[4] = {1, 2, 3, 4};
    morwick::MetadataMemory wrong(garbage);
    EXPECT_EQ(wrong.GetMemory()->size(), 0u);
    EXPECT_EQ(log.Matching("MetadataMemory").size(), 2u);
}
