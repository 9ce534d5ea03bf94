#include "options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <strings.h>

#include "log.h"

Options& Options::GetOptions() {
    static Options options;
    return options;
}

bool Options::AddPairs(const std::string& text, const char* origin, bool pairs_only) {
    bool all_good = true;
    std::istringstream tokens(text);
    std::string token;
    while (tokens >> token) {
        const auto equals = token.find('=');
        if (equals == std::string::npos && !pairs_only) continue;
        if (equals == std::string::npos || equals == 0) {
            Log::Instance().Warnf("Options: ignoring \"%s\" from %s: not key=value", token.c_str(),
                                  origin);
            all_good = false;
            continue;
        }
        m_values[token.substr(0, equals)] = token.substr(equals + 1);
    }
    return all_good;
}

Status Options::Initialize(int argc, char* const* argv, std::string flavour) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_values.clear();
    bool all_good = AddPairs(flavour, "the flavour");
    if (const char* environment = getenv(ENVIRONMENT)) all_good &= AddPairs(environment, ENVIRONMENT);
    if (argv && argc > 0 && argv[0]) m_values["program"] = argv[0];
    for (int i = 1; argv && i < argc; ++i) {
        if (argv[i]) all_good &= AddPairs(argv[i], "the arguments", false);
    }
    return all_good ? Status::SUCCESS : Status::FAILURE_INVALID;
}

bool Options::Has(const std::string& key) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_values.count(key) != 0;
}

std::string Options::GetString(const std::string& key, const std::string& fallback) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_values.find(key);
    return found == m_values.end() ? fallback : found->second;
}

int64_t Options::GetInt(const std::string& key, int64_t fallback) const {
    if (!Has(key)) return fallback;
    const std::string text = GetString(key, "");
    char* end = nullptr;
    errno = 0;
    // Decimal: base 0 read a frame rate of "030" as octal 24.
    const long long value = strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno == ERANGE) {
        Log::Instance().Warnf("Options: %s=\"%s\" is not a whole number; using %lld", key.c_str(),
                              text.c_str(), static_cast<long long>(fallback));
        return fallback;
    }
    return value;
}

double Options::GetDouble(const std::string& key, double fallback) const {
    if (!Has(key)) return fallback;
    const std::string text = GetString(key, "");
    char* end = nullptr;
    errno = 0;
    const double value = strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(value)) {
        Log::Instance().Warnf("Options: %s=\"%s\" is not a number; using %g", key.c_str(),
                              text.c_str(), fallback);
        return fallback;
    }
    return value;
}

bool Options::GetBool(const std::string& key, bool fallback) const {
    if (!Has(key)) return fallback;
    const std::string text = GetString(key, "");
    for (const char* yes : {"1", "true", "yes", "on"})
        if (!strcasecmp(text.c_str(), yes)) return true;
    for (const char* no : {"0", "false", "no", "off"})
        if (!strcasecmp(text.c_str(), no)) return false;
    Log::Instance().Warnf("Options: %s=\"%s\" is not a yes/no value; using %s", key.c_str(),
                          text.c_str(), fallback ? "true" : "false");
    return fallback;
}

void Options::Set(const std::string& key, const std::string& value) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_values[key] = value;
}

void Options::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_values.clear();
}
