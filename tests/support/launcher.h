#pragma once

#include <sstream>
#include <string>
#include <vector>

// How a test starts one of the build's programs: through the build's emulator
// when the build is for another machine (qemu-arm for armhf), directly
// otherwise, so the suite needs no system-wide binfmt registration.
// LUMASET_LAUNCHER holds the emulator's command line, words split by spaces.
#ifndef LUMASET_LAUNCHER
#define LUMASET_LAUNCHER ""
#endif
#ifndef LUMASET_REACHABLE
#define LUMASET_REACHABLE "reachable"
#define LUMASET_RUNTIME_TREES ""
#endif

// The words that come before a program's path; empty on the host.
inline std::vector<std::string> LauncherWords() {
    std::vector<std::string> words;
    std::istringstream text(LUMASET_LAUNCHER);
    for (std::string word; text >> word;) words.push_back(word);
    return words;
}

// The command line that starts `program`: the launcher's words, then the path.
inline std::vector<std::string> LaunchCommand(const std::string& program) {
    std::vector<std::string> words = LauncherWords();
    words.push_back(program);
    return words;
}

// The same for a shell command: "qemu-arm " on armhf, "" on the host.
inline std::string LauncherPrefix() {
    std::string prefix;
    for (const std::string& word : LauncherWords()) prefix += word + " ";
    return prefix;
}

// The words that run a program as another user (uid and gid `id`, no groups),
// with the build and its sysroot in that user's reach wherever the clone lives.
inline std::vector<std::string> AsUser(int id) {
    std::vector<std::string> words{LUMASET_REACHABLE};
    std::istringstream trees(LUMASET_RUNTIME_TREES);
    for (std::string tree; std::getline(trees, tree, ':');)
        if (!tree.empty()) words.push_back(tree);
    const std::string ids = std::to_string(id);
    for (const std::string& word : {std::string("--"), std::string("setpriv"), "--reuid=" + ids,
                                    "--regid=" + ids, std::string("--clear-groups"), std::string("--")})
        words.push_back(word);
    return words;
}

inline bool UnderEmulation() { return !LauncherWords().empty(); }
