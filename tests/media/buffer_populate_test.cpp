// Preallocated pool buffers come with every page in place on any machine:
// this binary stands in for the kernel's madvise to play the machines whose
// MADV_POPULATE_WRITE is refused (kernels before 5.14) or ignored (qemu-user).
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <vector>

#include "buffer_pool.h"
#include "log_capture.h"

namespace {

enum class Advice { AS_THE_KERNEL_DOES, REFUSED, IGNORED };
std::atomic<Advice> g_populate_advice{Advice::AS_THE_KERNEL_DOES};

}  // namespace

// Found before libc's by the framework library's calls.
extern "C" int madvise(void* address, size_t length, int advice) {
    if (advice == MADV_POPULATE_WRITE) {
        if (g_populate_advice == Advice::REFUSED) {
            errno = EINVAL;
            return -1;
        }
        if (g_populate_advice == Advice::IGNORED) return 0;
    }
    using Madvise = int (*)(void*, size_t, int);
    static const auto real = reinterpret_cast<Madvise>(dlsym(RTLD_NEXT, "madvise"));
    return real(address, length, advice);
}

namespace {

size_t MappedPages(const Buffer& buffer) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    std::vector<unsigned char> mapped(buffer.GetSize() / page);
    if (mincore(buffer.GetAddress(), buffer.GetSize(), mapped.data()) != 0) return 0;
    return static_cast<size_t>(std::count_if(mapped.begin(), mapped.end(), [](unsigned char m) { return m & 1; }));
}

struct Machine {
    const char* name;
    Advice advice;
};

void PrintTo(const Machine& machine, std::ostream* out) { *out << machine.name; }

class PreallocatedPool : public testing::TestWithParam<Machine> {};

TEST_P(PreallocatedPool, HandsOutBuffersWithEveryPageInPlaceAndNoWarning) {
    g_populate_advice = GetParam().advice;
    LogCapture log;
    std::shared_ptr<Buffer> first, second;
    {
        morwick::AndroidMetadataBufferPool pool("populate_pool", {2, 736, 4096, 0x2000000, 2, 1280, 1425408});
        ASSERT_EQ(pool.GetBuffer(first, 0), Status::SUCCESS);
        ASSERT_EQ(pool.GetBuffer(second, 0), Status::SUCCESS);
        const size_t pages = first->GetSize() / static_cast<size_t>(sysconf(_SC_PAGESIZE));
        EXPECT_EQ(MappedPages(*first), pages);
        EXPECT_EQ(MappedPages(*second), pages);
        first.reset();
        second.reset();
    }
    g_populate_advice = Advice::AS_THE_KERNEL_DOES;
    EXPECT_TRUE(log.Matching("madvise").empty()) << log.Matching("madvise").front().text;
}

INSTANTIATE_TEST_SUITE_P(Machines, PreallocatedPool,
                         testing::Values(Machine{"KernelWithTheAdvice", Advice::AS_THE_KERNEL_DOES},
                                         Machine{"KernelBefore5_14", Advice::REFUSED},
                                         Machine{"EmulatorIgnoringTheAdvice", Advice::IGNORED}),
                         [](const testing::TestParamInfo<Machine>& info) { return info.param.name; });

}  // namespace
