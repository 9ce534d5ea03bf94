#pragma once

// The kernel's own GPIO lines inside the booted appliance (scripts/appliance-vm):
// sysfs GPIO at /sys/class/gpio over the gpio-sim chip that the guest's init
// makes (lines 208..511), kernel wake locks at /sys/power. Same interface as
// GpioSimRig for what a kernel can do: input lines move through their pull,
// an output's level is read from the chip, and the chip can be taken away.
// What only the emulator has (write counts, injected errors) throws.

#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "sysfs_io.h"

class KernelGpioRig : public sysfs_io::Files<KernelGpioRig> {
public:
    static constexpr bool COUNTS_WRITES = false;
    // Once Kill() removed the chip, the value files of its lines read ENODEV.
    static constexpr const char* KILLED_LINE_REPORT = "its level cannot be read: No such device";

    explicit KernelGpioRig(const std::vector<std::string>& options = {}) {
        if (!options.empty()) throw std::logic_error("KernelGpioRig: the kernel's chip takes no options");
        std::ifstream settings(SETTINGS);
        if (!(settings >> m_chip >> m_base))
            throw std::runtime_error(std::string("KernelGpioRig: no sim chip described in ") + SETTINGS +
                                     " (run inside scripts/appliance-vm)");
    }
    KernelGpioRig(const KernelGpioRig&) = delete;
    KernelGpioRig& operator=(const KernelGpioRig&) = delete;

    std::string MountPoint() const { return "/sys/class/gpio"; }
    std::string Path(const std::string& relative_path) const { return MountPoint() + "/" + relative_path; }
    std::string PowerRoot() const { return "/sys/power"; }

    // An input line is moved by its pull, as a device on the line would.
    void SetLevel(int gpio, int level) const {
        const int error = sysfs_io::WriteOnce(SimFile(gpio, "pull"), level ? "pull-up" : "pull-down");
        if (error != 0) throw std::system_error(error, std::generic_category(), "SetLevel " + SimFile(gpio, "pull"));
    }
    int Level(int gpio) const { return std::stoi(sysfs_io::ReadWhole(SimFile(gpio, "value"))); }
    int Writes(int) const { throw std::logic_error("KernelGpioRig: the kernel does not count value writes"); }
    void SetFail(int, int) const { throw std::logic_error("KernelGpioRig: the kernel cannot fail value writes"); }
    void SetReadFail(int, int) const { throw std::logic_error("KernelGpioRig: the kernel cannot fail value reads"); }
    std::string ActiveWakeLocks() const { return sysfs_io::ReadWhole(PowerRoot() + "/wake_lock"); }

    // The chip goes away under its users, as when its driver is unbound.
    void Kill() const {
        const int error = sysfs_io::WriteOnce(std::string(CONFIGFS) + "/live", "0");
        if (error != 0) throw std::system_error(error, std::generic_category(), "taking the sim chip down");
    }

private:
    static constexpr const char* SETTINGS = "/run/simline";
    static constexpr const char* CONFIGFS = "/sys/kernel/config/gpio-sim/appliance";

    std::string SimFile(int gpio, const char* name) const {
        return m_chip + "/sim_gpio" + std::to_string(gpio - m_base) + "/" + name;
    }

    std::string m_chip;
    int m_base = 0;
};
