#pragma once

// Mounts the GPIO emulator (tools/gpio_sim) at a fresh temporary directory for the
// life of the object. Tests point LUMASET_GPIO_SYSFS at MountPoint() and drive the
// lines through the emulator's control tree: sim/N/level, sim/N/writes, sim/N/fail and
// sim/N/read_fail exist for every line 0..1023, exported or not (a level set before
// export is the level the line is exported with); power/ holds kernel-like wake-lock files.
//
// The emulator gets SIGTERM when the thread that built the rig ends (so a crashed test
// leaves no mount behind): build the rig on a thread that outlives its use.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "launcher.h"
#include "sysfs_io.h"

#ifndef GPIO_SIM_PATH
#define GPIO_SIM_PATH "gpio_sim"
#endif

class GpioSimRig : public sysfs_io::Files<GpioSimRig> {
public:
    // Its control tree counts each line's value writes and can make them fail.
    static constexpr bool COUNTS_WRITES = true;
    // What a poller of a line sees once Kill() took the file system away.
    static constexpr const char* KILLED_LINE_REPORT = "it reports an error without an edge";

    // Throws std::runtime_error naming the reason when the emulator cannot be mounted.
    // options: extra command-line options of the emulator (for example "--lines=200").
    explicit GpioSimRig(const std::vector<std::string>& options = {},
                        std::string gpio_sim_path = GPIO_SIM_PATH) {
        if (access("/dev/fuse", R_OK | W_OK) != 0)
            throw std::runtime_error("GpioSimRig: /dev/fuse is not usable (" +
                                     std::string(std::strerror(errno)) +
                                     "); the GPIO emulator needs FUSE and root");
        if (access(gpio_sim_path.c_str(), X_OK) != 0)
            throw std::runtime_error("GpioSimRig: " + gpio_sim_path + ": " + std::strerror(errno));

        std::string pattern = TempRoot() + "/gpio_sim.XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("GpioSimRig: mkdtemp " + pattern + ": " + std::strerror(errno));
        m_mount_point = pattern;

        const pid_t parent = getpid();
        m_pid = fork();
        if (m_pid < 0) {
            const int error = errno;
            rmdir(m_mount_point.c_str());
            throw std::runtime_error(std::string("GpioSimRig: fork: ") + std::strerror(error));
        }
        if (m_pid == 0) {
            // The emulator must not outlive a test that crashes: it unmounts on SIGTERM.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() != parent) _exit(127);
            std::vector<std::string> command = LaunchCommand(gpio_sim_path);
            command.insert(command.end(), options.begin(), options.end());
            command.push_back(m_mount_point);
            std::vector<char*> argv;
            for (std::string& word : command) argv.push_back(word.data());
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        }

        // The mount is up once the emulator's own files are visible at the mount point.
        const std::string probe = m_mount_point + "/export";
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (;;) {
            struct stat st {};
            if (stat(probe.c_str(), &st) == 0) break;
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                Cleanup();
                throw std::runtime_error("GpioSimRig: " + gpio_sim_path + " " + m_mount_point +
                                         " ended before mounting (" + DescribeStatus(status) +
                                         "; its messages are above)");
            }
            if (std::chrono::steady_clock::now() > deadline) {
                Stop();
                Cleanup();
                throw std::runtime_error("GpioSimRig: " + m_mount_point +
                                         " was not mounted within 10 s");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    // Unmounts (SIGTERM + wait, forced unmount as a fallback) and removes the directory.
    ~GpioSimRig() {
        Stop();
        Cleanup();
    }

    // Sends SIGTERM and waits: the wait status, or -1 when the emulator is already gone.
    // The directory stays until destruction, so a test can check that nothing is mounted.
    int Terminate() { return Stop(); }
    // Kills the emulator as a crash would: its mount goes dead under its clients.
    void Kill() {
        if (m_pid <= 0) return;
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }

    GpioSimRig(const GpioSimRig&) = delete;
    GpioSimRig& operator=(const GpioSimRig&) = delete;

    const std::string& MountPoint() const { return m_mount_point; }
    pid_t Pid() const { return m_pid; }
    std::string Path(const std::string& relative_path) const {
        return m_mount_point + "/" + relative_path;
    }

    void SetLevel(int gpio, int level) const {
        const int error = WriteFile(SimFile(gpio, "level"), level ? "1" : "0");
        if (error != 0) throw std::system_error(error, std::generic_category(), "SetLevel " + SimFile(gpio, "level"));
    }
    int Level(int gpio) const { return std::stoi(ReadFile(SimFile(gpio, "level"))); }
    int Writes(int gpio) const { return std::stoi(ReadFile(SimFile(gpio, "writes"))); }
    void SetFail(int gpio, int err) const {
        const int error = WriteFile(SimFile(gpio, "fail"), std::to_string(err));
        if (error != 0) throw std::system_error(error, std::generic_category(), "SetFail " + SimFile(gpio, "fail"));
    }
    // errno that reads of gpioN/value fail with (the edge stays pending); 0 clears.
    void SetReadFail(int gpio, int err) const {
        const int error = WriteFile(SimFile(gpio, "read_fail"), std::to_string(err));
        if (error != 0) throw std::system_error(error, std::generic_category(), "SetReadFail " + SimFile(gpio, "read_fail"));
    }
    // The kernel-like wake-lock files (power/wake_lock, power/wake_unlock).
    std::string PowerRoot() const { return Path("power"); }
    std::string ActiveWakeLocks() const { return ReadFile("power/wake_lock"); }
    bool Exported(int gpio) const {
        struct stat st {};
        return stat(Path("gpio" + std::to_string(gpio)).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }

private:
    static std::string TempRoot() {
        const char* tmp = std::getenv("TMPDIR");
        return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    }
    static std::string SimFile(int gpio, const char* name) {
        return "sim/" + std::to_string(gpio) + "/" + name;
    }
    static std::string DescribeStatus(int status) {
        if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
        if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
        return "status " + std::to_string(status);
    }

    // SIGTERM makes the emulator unmount and exit; SIGKILL only if it hangs.
    int Stop() {
        if (m_pid <= 0) return -1;
        kill(m_pid, SIGTERM);
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        for (;;) {
            const pid_t done = waitpid(m_pid, &status, WNOHANG);
            if (done == m_pid) break;
            if (done < 0 && errno != EINTR) {
                status = -1;  // reaped elsewhere
                break;
            }
            if (std::chrono::steady_clock::now() > deadline) {
                kill(m_pid, SIGKILL);
                waitpid(m_pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        m_pid = -1;
        return status;
    }

    // A mount left behind by an emulator that died is detached before the directory goes.
    void Cleanup() {
        if (m_mount_point.empty()) return;
        if (StillMounted()) {
            pid_t helper = -1;
            const char* argv[] = {"fusermount3", "-u", "-z", m_mount_point.c_str(), nullptr};
            if (posix_spawnp(&helper, "fusermount3", nullptr, nullptr, const_cast<char* const*>(argv),
                             environ) == 0)
                waitpid(helper, nullptr, 0);
        }
        rmdir(m_mount_point.c_str());
    }
    bool StillMounted() const {
        struct stat here {}, parent {};
        if (stat(m_mount_point.c_str(), &here) != 0) return true;  // ENOTCONN: dead FUSE mount
        const std::string above = m_mount_point.substr(0, m_mount_point.rfind('/'));
        if (stat(above.empty() ? "/" : above.c_str(), &parent) != 0) return false;
        return here.st_dev != parent.st_dev;
    }

    std::string m_mount_point;
    pid_t m_pid = -1;
};
