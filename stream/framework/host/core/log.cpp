#include "log.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <sys/time.h>
#include <unistd.h>

namespace {

std::atomic<int>& Threshold() {
    static std::atomic<int> threshold{static_cast<int>(Log::ParseLevel(getenv("LUMASET_LOG_LEVEL")))};
    return threshold;
}

std::mutex& CaptureMutex() {
    static std::mutex mutex;
    return mutex;
}

Log::Capture& CaptureSlot() {
    static Log::Capture capture;
    return capture;
}

// Replaces each "%m" with the text of the given errno; "%%m" stays a literal "%m".
std::string ExpandErrno(const char* format, int saved_errno) {
    std::string out;
    for (const char* p = format; *p; ++p) {
        if (p[0] == '%' && p[1] == '%') {
            out += "%%";
            ++p;
        } else if (p[0] == '%' && p[1] == 'm') {
            for (const char* s = strerror(saved_errno); *s; ++s) {
                if (*s == '%') out += '%';
                out += *s;
            }
            ++p;
        } else {
            out += *p;
        }
    }
    return out;
}

}  // namespace

Log::Log() = default;

const Log& Log::Instance() {
    static const Log instance;
    return instance;
}

Log::Level Log::ParseLevel(const char* text) {
    if (!text) return Level::INFO;
    if (!strcmp(text, "none")) return Level::NONE;
    if (!strcmp(text, "fatal")) return Level::FATAL;
    if (!strcmp(text, "error")) return Level::ERROR;
    if (!strcmp(text, "warn")) return Level::WARN;
    if (!strcmp(text, "info")) return Level::INFO;
    if (!strcmp(text, "debug")) return Level::DEBUG;
    return Level::INFO;
}

char Log::LevelLetter(Level level) {
    switch (level) {
        case Level::FATAL: return 'F';
        case Level::ERROR: return 'E';
        case Level::WARN: return 'W';
        case Level::INFO: return 'I';
        case Level::DEBUG: return 'D';
        case Level::NONE: break;
    }
    return '?';
}

Log::Level Log::GetLevel() const { return static_cast<Level>(Threshold().load()); }

void Log::SetLevel(Level level) const { Threshold().store(static_cast<int>(level)); }

void Log::SetCapture(Capture capture) const {
    std::lock_guard<std::mutex> lock(CaptureMutex());
    CaptureSlot() = std::move(capture);
}

void Log::Write(Level level, const char* format, va_list args) const {
    const int saved_errno = errno;
    if (static_cast<int>(level) > Threshold().load() || !format) {
        errno = saved_errno;
        return;
    }
    const std::string expanded = ExpandErrno(format, saved_errno);

    va_list copy;
    va_copy(copy, args);
    const int needed = vsnprintf(nullptr, 0, expanded.c_str(), copy);
    va_end(copy);
    std::string body(needed > 0 ? static_cast<size_t>(needed) : 0, '\0');
    if (needed > 0) vsnprintf(&body[0], body.size() + 1, expanded.c_str(), args);

    {
        std::lock_guard<std::mutex> lock(CaptureMutex());
        if (CaptureSlot()) {
            CaptureSlot()(level, body);
            errno = saved_errno;
            return;
        }
    }

    timeval now{};
    gettimeofday(&now, nullptr);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);

    char head[96];
    snprintf(head, sizeof head, "%s.%03ld %c %s: ", stamp, static_cast<long>(now.tv_usec / 1000),
             LevelLetter(level), program_invocation_short_name);
    std::string record = head + body;
    if (record.empty() || record.back() != '\n') record += '\n';

    // One write per record, so lines from different threads never interleave.
    size_t done = 0;
    while (done < record.size()) {
        const ssize_t n = write(STDERR_FILENO, record.data() + done, record.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    errno = saved_errno;
}

void Log::Fatal(const char* format, va_list args) const { Write(Level::FATAL, format, args); }
void Log::Error(const char* format, va_list args) const { Write(Level::ERROR, format, args); }
void Log::Warn(const char* format, va_list args) const { Write(Level::WARN, format, args); }
void Log::Info(const char* format, va_list args) const { Write(Level::INFO, format, args); }
void Log::Debug(const char* format, va_list args) const { Write(Level::DEBUG, format, args); }

#define LUMASET_LOG_VARIADIC(Name, LEVEL)               \
    void Log::Name##f(const char* format, ...) const {  \
        va_list args;                                   \
        va_start(args, format);                         \
        Write(Level::LEVEL, format, args);              \
        va_end(args);                                   \
    }
LUMASET_LOG_VARIADIC(Fatal, FATAL)
LUMASET_LOG_VARIADIC(Error, ERROR)
LUMASET_LOG_VARIADIC(Warn, WARN)
LUMASET_LOG_VARIADIC(Info, INFO)
LUMASET_LOG_VARIADIC(Debug, DEBUG)
#undef LUMASET_LOG_VARIADIC
