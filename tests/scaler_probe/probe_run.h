#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "launcher.h"

// Runs the real scaler_probe (SCALER_PROBE_PATH) in a folder of its own.
struct ProbeRun {
    int status = -1;  // exit status, or -1 when it did not exit normally
    std::string out;
    std::string err;
};

inline std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), {});
}

inline void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A fresh folder under /tmp holding `run/` (the probe's working folder) and
// the captured output beside it, removed with the object.
class ProbeFolder {
public:
    ProbeFolder() {
        char path[] = "/tmp/scaler_probe_e2e.XXXXXX";
        if (mkdtemp(path)) {
            m_root = path;
            mkdir(Run().c_str(), 0755);
        }
    }
    ~ProbeFolder() {
        if (!m_root.empty()) std::system(("rm -rf '" + m_root + "'").c_str());
    }
    ProbeFolder(const ProbeFolder&) = delete;
    ProbeFolder& operator=(const ProbeFolder&) = delete;

    bool Ok() const { return !m_root.empty(); }
    // The folder that holds `run/`, for what a run must not see in its own folder.
    std::string Root() const { return m_root; }
    std::string Run() const { return m_root + "/run"; }
    std::string File(const std::string& name) const { return Run() + "/" + name; }

    // Names in the working folder, sorted.
    std::vector<std::string> Listing() const {
        std::vector<std::string> names;
        const std::string command = "ls -A '" + Run() + "' > '" + m_root + "/listing'";
        if (std::system(command.c_str()) != 0) return {"<ls failed>"};
        std::ifstream listing(m_root + "/listing");
        for (std::string name; std::getline(listing, name);) names.push_back(name);
        return names;
    }

    // `wrapper`, when given, is a command that runs the probe for the test
    // (setpriv, unshare...): its words come first, then the probe's path and `args`.
    ProbeRun Probe(const std::vector<std::string>& args = {},
                   const std::vector<std::string>& wrapper = {}) const {
        ProbeRun run;
        const std::string out = m_root + "/stdout", err = m_root + "/stderr";
        const pid_t pid = fork();
        if (pid == 0) {
            const int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (out_fd < 0 || err_fd < 0 || chdir(Run().c_str()) != 0) _exit(127);
            dup2(out_fd, STDOUT_FILENO);
            dup2(err_fd, STDERR_FILENO);
            std::vector<char*> argv;
            std::vector<std::string> command = wrapper;
            for (const std::string& word : LaunchCommand(SCALER_PROBE_PATH)) command.push_back(word);
            for (auto& word : command) argv.push_back(word.data());
            for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            setenv("LUMASET_LOG_LEVEL", "info", 1);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        int wstatus = 0;
        if (pid < 0 || waitpid(pid, &wstatus, 0) != pid) return run;
        run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
        const auto out_bytes = ReadBytes(out), err_bytes = ReadBytes(err);
        run.out.assign(out_bytes.begin(), out_bytes.end());
        run.err.assign(err_bytes.begin(), err_bytes.end());
        return run;
    }

private:
    std::string m_root;
};

inline size_t CountOf(const std::string& text, const std::string& fragment) {
    size_t count = 0;
    for (size_t at = text.find(fragment); at != std::string::npos; at = text.find(fragment, at + 1))
        ++count;
    return count;
}
