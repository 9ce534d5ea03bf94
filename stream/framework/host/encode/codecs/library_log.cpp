#include "library_log.h"

#include <cstdio>
#include <mutex>
#include <string>

extern "C" {
#include <libavutil/log.h>
#include <x264.h>
}

#include "log.h"
#include "repeat_counter.h"

namespace {

void Emit(Log::Level level, const char* library, std::string line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (line.empty()) return;
    static RepeatCounter repeats{std::chrono::seconds(5)};
    const uint64_t due = repeats.Count(line);
    if (due == 0) return;
    const Log& log = Log::Instance();
    const std::string suffix = RepeatCounter::Suffix(due);
    switch (level) {
    case Log::Level::FATAL:
    case Log::Level::ERROR: log.Errorf("%s: %s%s", library, line.c_str(), suffix.c_str()); break;
    case Log::Level::WARN: log.Warnf("%s: %s%s", library, line.c_str(), suffix.c_str()); break;
    default: log.Debugf("%s: %s%s", library, line.c_str(), suffix.c_str()); break;
    }
}

Log::Level FromLibav(int level) {
    if (level <= AV_LOG_ERROR) return Log::Level::ERROR;
    if (level <= AV_LOG_WARNING) return Log::Level::WARN;
    return Log::Level::DEBUG;  // its information is about its own working
}

void LibavLog(void* context, int level, const char* format, va_list args) {
    if (level > av_log_get_level() || FromLibav(level) > Log::Instance().GetLevel()) return;
    // libav writes a line in pieces: each thread gathers its own.
    thread_local std::string pending;
    thread_local int prefix = 1;
    char piece[1024];
    av_log_format_line2(context, level, format, args, piece, sizeof(piece), &prefix);
    pending += piece;
    if (pending.empty() || pending.back() != '\n') return;
    Emit(FromLibav(level), "libav", pending);
    pending.clear();
}

}  // namespace

void RouteLibavLog() {
    static std::once_flag once;
    std::call_once(once, [] {
        av_log_set_level(AV_LOG_VERBOSE);  // the logger's threshold does the rest
        av_log_set_callback(&LibavLog);
    });
}

void X264Log(void*, int level, const char* format, va_list args) {
    char line[1024];
    vsnprintf(line, sizeof(line), format, args);
    // Its information (CPU features, the profile chosen) is about its own working.
    const Log::Level ours = level <= X264_LOG_ERROR     ? Log::Level::ERROR
                            : level == X264_LOG_WARNING ? Log::Level::WARN
                                                        : Log::Level::DEBUG;
    Emit(ours, "x264", line);
}

int X264LogLevel() {
    return Log::Instance().GetLevel() >= Log::Level::DEBUG ? X264_LOG_INFO : X264_LOG_WARNING;
}
