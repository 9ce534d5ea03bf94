#pragma once

// A detector test's world: the GPIO emulator as the sysfs tree and a state
// file in a scratch directory. Include after vesk_overload_detector.cpp.

#include <gtest/gtest.h>

#include <mutex>
#include <utility>
#include <vector>

#include "gpio_sim_rig.h"
#include "overload_test_support.h"

namespace overload_test {

constexpr int INTERRUPT = 208;
constexpr int RED = 234;
constexpr int BLUE = 235;

class DetectorTest : public ::testing::Test {
protected:
    DetectorTest()
        : m_rig(), m_root("LUMASET_GPIO_SYSFS", m_rig.MountPoint()), m_state_path(m_dir.Path("overload")) {
        m_saved_filepath = FILEPATH;
        FILEPATH = m_state_path.c_str();
    }
    ~DetectorTest() override { FILEPATH = m_saved_filepath; }

    std::string State() const { return ReadText(m_state_path); }
    bool WaitForState(const std::string& expected) const {
        return m_rig.WaitFor([&] { return State() == expected; });
    }

    GpioSimRig m_rig;
    ScopedEnv m_root;
    ScratchDir m_dir;
    std::string m_state_path;
    const char* m_saved_filepath;
};

// Records every call; safe to read while the poll thread calls it.
class RecordingListener : public morwick::VeskOverloadDetectorListener {
public:
    void OnVeskOverloadDetectorInterrupt(morwick::VeskOverloadDetector* detector, bool level) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.emplace_back(detector, level);
    }
    std::vector<std::pair<morwick::VeskOverloadDetector*, bool>> Calls() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }
    size_t Count() const { return Calls().size(); }

private:
    mutable std::mutex m_mutex;
    std::vector<std::pair<morwick::VeskOverloadDetector*, bool>> m_calls;
};

}  // namespace overload_test
