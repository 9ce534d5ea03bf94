#pragma once

// What a sender put on the wire over time, and the most of it in any window:
// how the pacer's and the sender's rate caps are measured.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <utility>
#include <vector>

// Each datagram's send time and size in bytes.
using Sent = std::vector<std::pair<std::chrono::steady_clock::time_point, size_t>>;

// The most bytes sent within any span of `window` that starts at a datagram.
inline size_t MostInAnyWindow(const Sent& sent, std::chrono::steady_clock::duration window) {
    size_t most = 0;
    for (size_t i = 0; i < sent.size(); ++i) {
        size_t in_window = 0;
        for (size_t j = i; j < sent.size() && sent[j].first < sent[i].first + window; ++j)
            in_window += sent[j].second;
        most = std::max(most, in_window);
    }
    return most;
}
