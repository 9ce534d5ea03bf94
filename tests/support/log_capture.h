#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "log.h"

// Collects the logger's records for the lifetime of the object.
class LogCapture {
public:
    struct Record {
        Log::Level level;
        std::string text;
    };

    explicit LogCapture(Log::Level threshold = Log::Level::DEBUG)
        : m_previous_level(Log::Instance().GetLevel()) {
        Log::Instance().SetLevel(threshold);
        Log::Instance().SetCapture([this](Log::Level level, const std::string& text) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_records.push_back({level, text});
        });
    }
    ~LogCapture() {
        Log::Instance().SetCapture(nullptr);
        Log::Instance().SetLevel(m_previous_level);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<Record> Records() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_records;
    }
    // Records whose text contains the fragment.
    std::vector<Record> Matching(const std::string& fragment) const {
        std::vector<Record> found;
        for (const auto& record : Records())
            if (record.text.find(fragment) != std::string::npos) found.push_back(record);
        return found;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_records.clear();
    }

private:
    Log::Level m_previous_level;
    mutable std::mutex m_mutex;
    std::vector<Record> m_records;
};
