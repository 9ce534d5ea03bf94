#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "status.h"

// The process-wide key=value store components read their settings from.
// Keys are "<component name>.<setting>", e.g. "enc0.width".
class Options {
public:
    // Space-separated key=value pairs, applied after the flavour string.
    static constexpr const char* ENVIRONMENT = "LUMASET_OPTIONS";

    static Options& GetOptions();

    // Replaces the store's contents with, in increasing precedence: the pairs
    // of the flavour string, the pairs of LUMASET_OPTIONS, and the key=value
    // arguments after argv[0]. argv[0] is kept as "program". A malformed token
    // is skipped with a warning and makes the result FAILURE_INVALID; the good
    // pairs are stored either way.
    Status Initialize(int argc, char* const* argv, std::string flavour);

    bool Has(const std::string& key) const;
    std::string GetString(const std::string& key, const std::string& fallback) const;
    // Text that is not a whole number (or double) in range logs a warning and
    // gives the fallback. Whole numbers are decimal: "030" is 30, "0x10" none.
    int64_t GetInt(const std::string& key, int64_t fallback) const;
    double GetDouble(const std::string& key, double fallback) const;
    // 1/0, true/false, yes/no, on/off.
    bool GetBool(const std::string& key, bool fallback) const;

    void Set(const std::string& key, const std::string& value);
    void Clear();

private:
    Options() = default;
    // Parses one space-separated list of pairs; false when a token was
    // malformed. Without pairs_only, tokens with no '=' are passed over.
    bool AddPairs(const std::string& text, const char* origin, bool pairs_only = true);

    mutable std::mutex m_mutex;
    std::map<std::string, std::string> m_values;
};
