#pragma once

// overload_monitor as a child process in its own mount namespace, with a fresh
// tmpfs on /data for its state file. Used by the end-to-end tests and the benchmark.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

#include "data_mount_point.h"
#include "gpio_rig.h"
#include "launcher.h"
#include "overload_test_support.h"

namespace overload_test {

const std::string STATE_DIR = "/data/local/lumaset/tmp/tmp";

// What /data holds when the daemon starts: a shell snippet run in its mount
// namespace after the tmpfs is mounted, with STATE_DIR set.
const std::string WITH_STATE_DIR = "mkdir -p $STATE_DIR";
const std::string WITHOUT_STATE_DIR = "true";

// overload_monitor started as `unshare -m` + tmpfs on /data; stderr to a file.
// wake_lock_root is where it finds wake_lock and wake_unlock.
class Daemon {
public:
    Daemon(const std::string& daemon_path, const std::string& gpio_root,
           const std::string& wake_lock_root, const std::string& work_dir,
           const std::string& data_setup = WITH_STATE_DIR) {
        m_log_path = work_dir + "/daemon.log";
        const std::string setup = "mount -t tmpfs -o size=64k overload_test /data && STATE_DIR=" +
                                  STATE_DIR + " && { " + data_setup + "; } && exec " +
                                  LauncherPrefix() + "\"$0\"";
        m_pid = fork();
        if (m_pid < 0) throw std::runtime_error(std::string("fork: ") + strerror(errno));
        if (m_pid == 0) {
            setenv("LUMASET_GPIO_SYSFS", gpio_root.c_str(), 1);
            setenv("LUMASET_WAKELOCK_SYSFS", wake_lock_root.c_str(), 1);
            const int log = open(m_log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (log >= 0) dup2(log, STDERR_FILENO);
            execlp("unshare", "unshare", "-m", "--propagation", "private", "sh", "-c", setup.c_str(),
                   daemon_path.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~Daemon() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    pid_t Pid() const { return m_pid; }
    std::string Log() const { return ReadText(m_log_path); }
    // The state file's path as the daemon sees it, through its own mount namespace.
    std::string StatePath() const {
        return "/proc/" + std::to_string(m_pid) + "/root" + STATE_DIR + "/overload";
    }
    std::string State() const { return ReadText(StatePath()); }
    // A file beside the state file, as the daemon sees it.
    std::string DataPath(const std::string& name) const {
        return "/proc/" + std::to_string(m_pid) + "/root" + STATE_DIR + "/" + name;
    }
    // Ready once the poll thread exists; false if the daemon ended first.
    bool WaitReady(const GpioRig& rig) {
        rig.WaitFor([&] { return Exited() || ThreadsNamed("overload_interr", std::to_string(m_pid)) == 1; },
                    10000);
        return !Exited();
    }
    // The exit status (or 128 + signal), -1 if still running after timeout_ms.
    int WaitExit(int timeout_ms = 5000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (!Exited() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (!Exited()) return -1;
        return WIFEXITED(m_status) ? WEXITSTATUS(m_status) : 128 + WTERMSIG(m_status);
    }

private:
    bool Exited() {
        if (m_pid > 0 && waitpid(m_pid, &m_status, WNOHANG) == m_pid) m_pid = -m_pid;
        return m_pid < 0;
    }

    pid_t m_pid = -1;
    int m_status = 0;
    std::string m_log_path;
};

}  // namespace overload_test
