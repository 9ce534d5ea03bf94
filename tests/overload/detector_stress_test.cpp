// Many edges while the listener changes hands and the detector goes away under
// them; meant for ThreadSanitizer, which turns any unguarded sharing into a failure.
#include "vesk_overload_detector.cpp"

#include <atomic>
#include <memory>
#include <system_error>
#include <thread>

#include "detector_fixture.h"

using morwick::VeskOverloadDetector;
using namespace overload_test;

namespace {

constexpr int ROUNDS = 3;
constexpr int EDGES_PER_ROUND = 1000;

// Counts its calls and checks they come from the detector it belongs to.
class CountingListener : public morwick::VeskOverloadDetectorListener {
public:
    void OnVeskOverloadDetectorInterrupt(VeskOverloadDetector* detector, bool) override {
        if (m_expected.load() != detector) m_foreign.fetch_add(1);
        if (m_closed.load()) m_late.fetch_add(1);
        m_calls.fetch_add(1);
    }
    std::atomic<VeskOverloadDetector*> m_expected{nullptr};
    std::atomic<bool> m_closed{false};
    std::atomic<int> m_calls{0};
    std::atomic<int> m_foreign{0};
    std::atomic<int> m_late{0};
};

TEST_F(DetectorTest, EdgesWhileListenersChangeAndTheDetectorIsDestroyed) {
    CountingListener counter;
    for (int round = 0; round < ROUNDS; ++round) {
        SCOPED_TRACE(round);
        auto detector = std::make_unique<VeskOverloadDetector>();
        counter.m_expected = detector.get();
        counter.m_closed = false;

        std::atomic<bool> stop_edges{false};
        std::atomic<bool> stop_swaps{false};
        std::atomic<int> edges{0};
        std::atomic<int> failed_edges{0};
        std::thread edge_thread([&] {
            for (int level = 1; !stop_edges; level ^= 1) {
                try {
                    m_rig.SetLevel(INTERRUPT, level);
                } catch (const std::system_error&) {
                    // Expected only once the detector has unexported the line.
                    if (!counter.m_closed) failed_edges.fetch_add(1);
                }
                edges.fetch_add(1);
            }
        });
        std::thread swap_thread([&, self = detector.get()] {
            morwick::VeskOverloadDetectorListener* const choices[] = {self, &counter, nullptr};
            for (int i = 0; !stop_swaps; ++i) {
                self->SetListener(choices[i % 3]);
                (void)self->GetLedState();
                std::this_thread::yield();
            }
        });

        const bool enough = m_rig.WaitFor([&] { return edges >= EDGES_PER_ROUND; }, 60000);
        stop_swaps = true;
        swap_thread.join();
        // The detector goes while the edges keep coming.
        detector->SetListener(&counter);
        detector.reset();
        counter.m_closed = true;
        stop_edges = true;
        edge_thread.join();

        ASSERT_TRUE(enough) << "only " << edges << " edges in 60 s";
        EXPECT_EQ(failed_edges, 0);
        EXPECT_EQ(counter.m_foreign, 0);
        EXPECT_EQ(counter.m_late, 0) << "a listener was called after the detector was destroyed";
        EXPECT_FALSE(m_rig.Exported(INTERRUPT));
        const std::string state = State();
        EXPECT_TRUE(state == "r" || state == "o" || state == "<missing>") << state;
    }
    EXPECT_GT(counter.m_calls, 0) << "no edge ever reached a listener";
}

}  // namespace
