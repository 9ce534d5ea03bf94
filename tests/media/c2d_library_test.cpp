#include <gtest/gtest.h>

#include <thread>

#include "c2d_library.h"

using morwick::C2DLibrary;

// Each task reads what the tasks it waits for wrote, in plain memory: a task
// started early reads a zero, and a missing hand-over shows under TSan.
TEST(C2DLibrary, RunsEveryTaskOnceAfterTheTasksItWaitsFor) {
    C2DLibrary library(4);
    EXPECT_EQ(library.GetThreadCount(), 4u);
    constexpr size_t TASKS = 60;
    for (int round = 0; round < 30; ++round) {
        std::vector<int> value(TASKS, 0), runs(TASKS, 0);
        std::vector<C2DLibrary::Task> tasks(TASKS);
        for (size_t i = 0; i < TASKS; ++i) {
            if (i % 3 == 1) tasks[i].after = {i - 1};
            if (i % 3 == 2) tasks[i].after = {i - 1, i - 2};
            if (i >= 30) tasks[i].after.push_back(i - 30);
            tasks[i].work = [&, i] {
                ++runs[i];
                int sum = 1;
                for (size_t before : tasks[i].after) sum += value[before];
                std::this_thread::yield();
                value[i] = sum;
            };
        }
        library.Run(tasks);
        for (size_t i = 0; i < TASKS; ++i) {
            ASSERT_EQ(runs[i], 1) << "task " << i;
            int expected = 1;
            for (size_t before : tasks[i].after) expected += value[before];
            ASSERT_EQ(value[i], expected) << "task " << i << " ran before what it waits for";
        }
    }
    library.Run({});  // nothing to do is fine
}

TEST(C2DLibrary, ThreadCountComesFromTheEnvironmentWithinLimits) {
    setenv("LUMASET_C2D_THREADS", "3", 1);
    EXPECT_EQ(C2DLibrary().GetThreadCount(), 3u);
    setenv("LUMASET_C2D_THREADS", "0", 1);  // out of range: the machine's CPUs, at most 4
    const unsigned cpus = std::max(1u, std::min(4u, std::thread::hardware_concurrency()));
    EXPECT_EQ(C2DLibrary().GetThreadCount(), cpus);
    unsetenv("LUMASET_C2D_THREADS");
    EXPECT_EQ(C2DLibrary(0).GetThreadCount(), 1u);
}
