#pragma once

#include <cstdarg>
#include <functional>
#include <string>

// The framework logger: one record per call on standard error.
// Safe from any thread; no level ends the process, Fatal included.
class Log {
public:
    enum class Level { NONE = 0, FATAL = 1, ERROR = 2, WARN = 3, INFO = 4, DEBUG = 5 };

    // Receives every record at or above the threshold instead of standard error.
    using Capture = std::function<void(Level level, const std::string& text)>;

    static const Log& Instance();

    void Fatal(const char* format, va_list args) const;
    void Error(const char* format, va_list args) const;
    void Warn(const char* format, va_list args) const;
    void Info(const char* format, va_list args) const;
    void Debug(const char* format, va_list args) const;

    // printf-style conveniences for the framework's own messages.
    void Fatalf(const char* format, ...) const __attribute__((format(printf, 2, 3)));
    void Errorf(const char* format, ...) const __attribute__((format(printf, 2, 3)));
    void Warnf(const char* format, ...) const __attribute__((format(printf, 2, 3)));
    void Infof(const char* format, ...) const __attribute__((format(printf, 2, 3)));
    void Debugf(const char* format, ...) const __attribute__((format(printf, 2, 3)));

    Level GetLevel() const;
    void SetLevel(Level level) const;
    // An empty capture restores standard error. Meant for tests.
    void SetCapture(Capture capture) const;

    // "fatal", "error", "warn", "info", "debug" or "none"; anything else gives INFO.
    static Level ParseLevel(const char* text);
    static char LevelLetter(Level level);

private:
    Log();
    void Write(Level level, const char* format, va_list args) const;
};
