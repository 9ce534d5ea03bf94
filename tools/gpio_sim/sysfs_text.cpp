#include "sysfs_text.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace {
std::string WithoutNewline(const std::string& text) {
    if (!text.empty() && text.back() == '\n') return text.substr(0, text.size() - 1);
    return text;
}
}  // namespace

bool ParseSysfsLong(const std::string& text, long* value) {
    const std::string body = WithoutNewline(text);
    if (body.empty() || std::isspace(static_cast<unsigned char>(body.front()))) return false;
    errno = 0;
    char* end = nullptr;
    const long parsed = std::strtol(body.c_str(), &end, 0);
    if (errno != 0 || end != body.c_str() + body.size()) return false;
    *value = parsed;
    return true;
}

bool SysfsEquals(const std::string& text, const char* word) {
    return WithoutNewline(text) == word;
}
