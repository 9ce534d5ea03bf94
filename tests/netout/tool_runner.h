#pragma once

// Helpers for tests that run programs: a private temporary folder, file
// writing, and running a program with its standard output and error captured.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

class TempDir {
public:
    explicit TempDir(const std::string& tag) {
        std::string pattern = "/tmp/lumaset-" + tag + "-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
            ADD_FAILURE() << "mkdtemp " << pattern << ": " << strerror(errno);
        m_path = pattern;
    }
    ~TempDir() {
        if (!m_path.empty()) {
            const std::string command = "rm -rf '" + m_path + "'";
            if (std::system(command.c_str()) != 0) ADD_FAILURE() << "cannot remove " << m_path;
        }
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

inline void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(file.good()) << "cannot write " << path;
}

struct ToolResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// Runs argv[0] (looked up in PATH) with extra environment entries "KEY=value".
// on_output, if given, sees the program's pid and its standard output so far each
// time more of it arrives, while the program may still run.
using OutputWatch = std::function<void(pid_t pid, const std::string& out)>;
inline ToolResult RunTool(const std::vector<std::string>& args,
                          const std::vector<std::string>& extra_env = {},
                          const OutputWatch& on_output = nullptr) {
    ToolResult result;
    int out_pipe[2];
    int err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << strerror(errno);
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> env_strings;
    for (char** e = environ; *e != nullptr; ++e) env_strings.emplace_back(*e);
    for (const auto& entry : extra_env) env_strings.push_back(entry);
    std::vector<char*> envp;
    for (auto& entry : env_strings) envp.push_back(entry.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (spawned != 0) {
        ADD_FAILURE() << "cannot run " << args[0] << ": " << strerror(spawned);
        close(out_pipe[0]);
        close(err_pipe[0]);
        return result;
    }
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open_count = 2;
    while (open_count > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t got = read(fds[i].fd, buffer, sizeof(buffer));
            if (got > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(got));
                if (i == 0 && on_output) on_output(pid, result.out);
            } else if (got == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
    int wait_status = 0;
    while (waitpid(pid, &wait_status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    return result;
}

// ffprobe's view of a capture: one "index,type,codec,width,height" line per stream
// (ffprobe lists a TS stream under its program too; each is kept once).
inline std::vector<std::string> ProbeStreams(const std::string& path,
                                             const std::string& analyze_usec = "5000000") {
    const ToolResult probe =
        RunTool({"ffprobe", "-v", "error", "-analyzeduration", analyze_usec, "-show_entries",
                 "stream=index,codec_type,codec_name,width,height", "-of", "csv=p=0", path});
    EXPECT_EQ(probe.status, 0) << probe.err;
    std::vector<std::string> streams;
    size_t start = 0;
    while (start < probe.out.size()) {
        size_t end = probe.out.find('\n', start);
        if (end == std::string::npos) end = probe.out.size();
        const std::string line = probe.out.substr(start, end - start);
        bool seen = false;
        for (const auto& s : streams) seen = seen || s == line;
        if (!line.empty() && !seen) streams.push_back(line);
        start = end + 1;
    }
    return streams;
}
