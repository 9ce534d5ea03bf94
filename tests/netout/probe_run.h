#pragma once

// What the end-to-end tests of netout_probe share: its path, its usage text
// and progress lines, a run with small frames, and reading its log.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "launcher.h"
#include "tool_runner.h"

namespace probe_run {

const std::string PROBE = NETOUT_PROBE_PATH;

const std::string USAGE =
    "usage: netout_probe [-h] [-s seconds_to_run] [-i ip address] [-p port] [-m max message size]\n"
    "\n"
    "This program will encode the HDMI input using the Qualcomm encoder, and write\n"
    "it out of a network datagram socket to ip address and port given for the given\n"
    "number of seconds.\n"
    "Make sure the receiving socket ('server' socket) is already listening.\n"
    "\n"
    " -h: Print the help\n"
    " -s: Seconds to run (default: 30)\n"
    " -i: IP address to write output data to (default: 127.0.0.1)\n"
    " -p: Port to write output data to (default: 3458)\n"
    " -m: Max size in bytes for sent messages (default: 3948)\n"
    "\n"
    "Example:\n"
    "     netout_probe -s 30 -i 127.0.0.1 -p 3458 -m 3948";

const std::string FULL_RUN =
    "Get Arguments\n"
    "Connecting Components...\n"
    "Starting Components...\n"
    "Encode is started and should run for specified time...\n"
    "Done encoding. Stopping and disconnecting...\n"
    "Shutting down...\n"
    "Success\n";

// Smaller frames keep the runs cheap where the picture size does not matter.
const std::string SMALL_OPTIONS = "enc0.width=320 enc0.height=240 enc0.bitrate=500000";
const std::string SMALL = "LUMASET_OPTIONS=" + SMALL_OPTIONS;

inline ToolResult RunProbe(std::vector<std::string> args, std::vector<std::string> env = {SMALL}) {
    const std::vector<std::string> launch = LaunchCommand(PROBE);
    args.insert(args.begin(), launch.begin(), launch.end());
    return RunTool(args, env);
}

inline size_t Count(const std::string& text, const std::string& piece) {
    size_t count = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++count;
    return count;
}

// The lines of a log that contain the fragment.
inline std::string Lines(const std::string& log, const std::string& fragment) {
    std::string found;
    size_t start = 0;
    while (start < log.size()) {
        size_t end = log.find('\n', start);
        if (end == std::string::npos) end = log.size();
        const std::string line = log.substr(start, end - start);
        if (line.find(fragment) != std::string::npos) found += line + "\n";
        start = end + 1;
    }
    return found;
}

// The frames the encoder made, as its stop line gives them; -1 without one.
inline int EncodedFrames(const std::string& log) {
    const std::string line = Lines(log, "enc0: stopped after ");
    const size_t at = line.find("stopped after ");
    return at == std::string::npos ? -1 : std::atoi(line.c_str() + at + 14);
}

// The sender's counters as its "at shutdown" line gives them.
struct Counters {
    bool found = false;
    unsigned long long datagrams = 0, bytes = 0, frames = 0, refused = 0, failed = 0, dropped = 0;
};

inline Counters ShutdownCounters(const std::string& log) {
    Counters counters;
    const std::string line = Lines(log, "netout0: at shutdown: ");
    const size_t at = line.find("at shutdown: ");
    if (at == std::string::npos) return counters;
    counters.found =
        std::sscanf(line.c_str() + at, "at shutdown: %llu datagrams, %llu bytes, %llu frames, %llu "
                                       "refused, %llu failed, %llu packets dropped",
                    &counters.datagrams, &counters.bytes, &counters.frames, &counters.refused,
                    &counters.failed, &counters.dropped) == 6;
    return counters;
}

}  // namespace probe_run
