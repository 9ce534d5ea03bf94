// overload_monitor: shows the overload interrupt line (GPIO 208) on the red
// (GPIO 234) and blue (GPIO 235) status LEDs and records the LED state as one
// character in a state file. Holds a wake lock while it runs; ends on SIGHUP,
// SIGABRT or SIGTERM with the signal number as exit status.

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

#include "diagnostics.h"
#include "gpio.h"
#include "wake_lock.h"

const char* FILEPATH = "/data/local/lumaset/tmp/tmp/overload";
FILE* fp = nullptr;
// Cleared from signal context, so it must be lock-free atomic rather than a plain bool.
std::atomic<bool> monitor_overload{true};

namespace morwick {

class VeskOverloadDetector;

class VeskOverloadDetectorListener {
public:
    virtual ~VeskOverloadDetectorListener() = default;
    // Called on the poll thread once per interrupt event; level true = high.
    virtual void OnVeskOverloadDetectorInterrupt(VeskOverloadDetector* detector, bool level) = 0;
};

class VeskOverloadDetector : public VeskOverloadDetectorListener {
public:
    // Fixed underlying type: callers may pass values outside the four names.
    enum LED_STATE : int {
        LED_OFF = 0,
        LED_RED = 1,
        LED_BLUE = 2,
        LED_PURPLE = 3,
    };

    VeskOverloadDetector();
    ~VeskOverloadDetector() override;

    VeskOverloadDetector(const VeskOverloadDetector&) = delete;
    VeskOverloadDetector& operator=(const VeskOverloadDetector&) = delete;

    void SetListener(VeskOverloadDetectorListener* listener);
    void ThreadInterruptPoll();
    void HandleInterrupt(bool level);
    void OnVeskOverloadDetectorInterrupt(VeskOverloadDetector* detector, bool level) override;
    // Expects m_mutex held by the caller; failures are thrown, never returned.
    Status SetLedState(LED_STATE state);
    LED_STATE GetLedState();

private:
    std::mutex m_mutex;
    // Written under m_mutex, read by GetLedState without it.
    std::atomic<LED_STATE> m_led_state;
    Gpio m_overload_interrupt_gpio;
    Gpio m_overload_led_red_gpio;
    Gpio m_overload_led_blue_gpio;
    std::atomic<bool> m_running;
    std::thread m_thread;
    bool m_thread_started;
    VeskOverloadDetectorListener* m_listener;
};

VeskOverloadDetector::VeskOverloadDetector()
    : m_led_state(LED_OFF),
      m_overload_interrupt_gpio(208, "in", "both"),
      m_overload_led_red_gpio(234, "out", "none"),
      m_overload_led_blue_gpio(235, "out", "none"),
      m_running(true),
      m_thread(),
      m_thread_started(false),
      m_listener(nullptr) {
    SetListener(this);
}

VeskOverloadDetector::~VeskOverloadDetector() {
    m_running = false;
    if (m_thread.joinable()) m_thread.join();
}

void VeskOverloadDetector::SetListener(VeskOverloadDetectorListener* listener) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_listener = listener;
    if (listener != nullptr && !m_thread_started) {
        m_thread = std::thread([this] { ThreadInterruptPoll(); });
        m_thread_started = true;
    }
}

void VeskOverloadDetector::ThreadInterruptPoll() {
    const char* thread_name = "overload_interrupt";
    DIAG_ERRNO(prctl(PR_SET_NAME, thread_name, 0, 0, 0));

    pollfd entry{};
    entry.fd = m_overload_interrupt_gpio.GetInterruptFD();
    entry.events = POLLPRI;

    while (m_running) {
        entry.revents = 0;
        const int result = poll(&entry, 1, 10);
        if (result < 0) {
            if (errno == EINTR) continue;
            DIAG_MESSAGE("Error polling overload_interrupt: %m");
            m_running = false;
            return;
        }
        if (result == 0) continue;

        if (entry.revents & POLLPRI) {
            const bool level = m_overload_interrupt_gpio.GetValue() != 0;
            // One failed listener call must not blind the daemon to later overloads.
            try {
                HandleInterrupt(level);
            } catch (const std::exception& failure) {
                error("(%d)[%s:%d] %s():\n\tInterrupt listener failed: %s", diagnostics::ThreadId(),
                      LUMASET_SOURCE_NAME, __LINE__, __func__, failure.what());
            } catch (...) {
                DIAG_MESSAGE("Interrupt listener failed with an unknown exception");
            }
        }
        if (entry.revents & POLLNVAL) {
            DIAG_MESSAGE("Fatal error polling overload_interrupt");
            m_running = false;
            return;
        }
    }
}

void VeskOverloadDetector::HandleInterrupt(bool level) {
    VeskOverloadDetectorListener* listener;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        listener = m_listener;
    }
    // Called without the mutex: a listener may take it.
    if (listener != nullptr) listener->OnVeskOverloadDetectorInterrupt(this, level);
}

void VeskOverloadDetector::OnVeskOverloadDetectorInterrupt(VeskOverloadDetector* /*detector*/,
                                                           bool level) {
    std::lock_guard<std::mutex> lock(m_mutex);
    SetLedState(level ? LED_RED : LED_OFF);
}

// Errno diagnostic for a stdio call on the state file; the text also names the path.
#define STATE_FILE_ERROR(call)                                                     \
    diagnostics::CheckErrno(-1, LUMASET_SOURCE_NAME, __LINE__, __func__,           \
                            (std::string(call) + " on " + FILEPATH).c_str())

Status VeskOverloadDetector::SetLedState(LED_STATE state) {
    int red = 0;
    int blue = 0;
    char character = 'o';
    if (state == LED_PURPLE) {
        red = 1;
        blue = 1;
        character = 'p';
    } else if (state == LED_BLUE) {
        blue = 1;
        character = 'b';
    } else if (state == LED_RED) {
        red = 1;
        character = 'r';
    }

    const Status red_status = red ? DIAG_STATUS(m_overload_led_red_gpio.SetValue(1))
                                  : DIAG_STATUS(m_overload_led_red_gpio.SetValue(0));
    if (red_status != Status::SUCCESS) throw std::runtime_error("Unable to Set GPIO Value");

    const Status blue_status = blue ? DIAG_STATUS(m_overload_led_blue_gpio.SetValue(1))
                                    : DIAG_STATUS(m_overload_led_blue_gpio.SetValue(0));
    if (blue_status != Status::SUCCESS) throw std::runtime_error("Unable to Set GPIO Value");

    m_led_state = state;

    // The LEDs already show the state: a state file that cannot be written is
    // reported and skipped, never a reason to fail.
    errno = 0;
    fp = fopen(FILEPATH, "w+");
    if (fp == nullptr) {
        STATE_FILE_ERROR("fopen(FILEPATH, \"w+\")");
        return Status::SUCCESS;
    }
    errno = 0;
    if (fputc(character, fp) == EOF) STATE_FILE_ERROR("fputc(character, fp)");
    errno = 0;
    if (fclose(fp) == EOF) STATE_FILE_ERROR("fclose(fp)");
    fp = nullptr;
    return Status::SUCCESS;
}

VeskOverloadDetector::LED_STATE VeskOverloadDetector::GetLedState() { return m_led_state; }

}  // namespace morwick

void signal_handler(int signum) {
    monitor_overload = false;
    // _exit is async-signal-safe; exit() is not.
    _exit(signum);
}

int main() {
    signal(SIGABRT, signal_handler);
    signal(SIGTERM, signal_handler);
    signal(SIGHUP, signal_handler);

    try {
        morwick::VeskOverloadDetector detector;
        morwick::WakeLock wake_lock(0x1000001A);
        while (monitor_overload) sleep(1);
    } catch (const std::exception& failure) {
        error("(%d)[%s:%d] %s():\n\tUnable to start the overload detector: %s",
              diagnostics::ThreadId(), LUMASET_SOURCE_NAME, __LINE__, __func__, failure.what());
        return 1;
    } catch (...) {
        DIAG_MESSAGE("Unable to start the overload detector");
        return 1;
    }
    return 0;
}
