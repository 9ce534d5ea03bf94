#pragma once

#include <memory>
#include <string>

#include "status.h"

// One GPIO line through the Linux sysfs interface, rooted at LUMASET_GPIO_SYSFS
// (default /sys/class/gpio). The line is exported and set up by the constructor
// and unexported by the destructor; its value file stays open in between.
class Gpio {
public:
    // direction: "in" or "out" ("high"/"low" also give an output);
    // edge: "none", "rising", "falling" or "both".
    // Throws std::system_error naming the path when the line cannot be set up.
    Gpio(int number, const std::string& direction, const std::string& edge);
    ~Gpio();

    Gpio(const Gpio&) = delete;
    Gpio& operator=(const Gpio&) = delete;

    // The value descriptor: poll() reports POLLPRI at each edge the line's edge
    // setting selects, until the next GetValue().
    int GetInterruptFD() const;

    // Reads the level, 1 high or 0 low, and so consumes a pending edge.
    // -1 (errno set) when the value could not be read: a failure is never a level.
    int GetValue() const;

    // Writes "1" for a nonzero value, "0" otherwise; FAILURE_SYSCALL (logged) on failure.
    Status SetValue(int value);

private:
    struct Failures;

    int m_number;
    std::string m_root;
    std::string m_line_path;
    int m_value_fd;
    // Failing reads and writes are logged once, then counted.
    std::unique_ptr<Failures> m_failures;
};
