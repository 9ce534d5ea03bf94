#pragma once

// A measured program, its standard output and error appended to a log file.
// Killed and reaped if still running when dropped.

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

class Child {
public:
    // `extra_env` entries are added after this process's own environment.
    Child(std::string name, const std::vector<std::string>& args,
          const std::vector<std::string>& extra_env, const std::string& log_path)
        : m_name(std::move(name)), m_log(log_path) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, log_path.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        std::vector<char*> argv;
        for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
        env.insert(env.end(), extra_env.begin(), extra_env.end());
        std::vector<char*> envp;
        for (auto& entry : env) envp.push_back(entry.data());
        envp.push_back(nullptr);
        const int failure = posix_spawnp(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (failure != 0) throw std::runtime_error("cannot run " + args[0] + ": " + strerror(failure));
    }
    ~Child() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t Pid() const { return m_pid; }

    // Whether the program has ended, without reaping it (so that Wait still
    // gets its status and rusage).
    bool HasEnded() const {
        if (m_pid <= 0) return true;
        siginfo_t info{};
        return waitid(P_PID, id_t(m_pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == m_pid;
    }

    // Waits at most `limit_seconds`; returns the CPU seconds (user + system)
    // the program used. Throws when it failed or had to be killed.
    double Wait(int limit_seconds) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limit_seconds);
        int status = 0;
        rusage usage{};
        for (;;) {
            const pid_t done = wait4(m_pid, &status, WNOHANG, &usage);
            if (done == m_pid) break;
            if (done < 0 && errno != EINTR)
                throw std::runtime_error("waiting for " + m_name + ": " + strerror(errno));
            if (std::chrono::steady_clock::now() > deadline) {
                kill(m_pid, SIGKILL);
                waitpid(m_pid, nullptr, 0);
                m_pid = -1;
                throw std::runtime_error(m_name + " did not end within " +
                                         std::to_string(limit_seconds) + " s and was killed; see " + m_log);
            }
            usleep(20000);
        }
        m_pid = -1;
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            throw std::runtime_error(m_name + " failed (" +
                                     (WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                                        : "signal " + std::to_string(WTERMSIG(status))) +
                                     "); see " + m_log);
        return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    }

private:
    std::string m_name;
    std::string m_log;
    pid_t m_pid = -1;
};
