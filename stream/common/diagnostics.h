#pragma once

// Status names, the log forwarding functions and the four diagnostic forms
// every program compiles in. Each form names the thread, the source file as
// the build names it, the line and the function.

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <sys/syscall.h>
#include <unistd.h>

#include "log.h"
#include "repeat_counter.h"
#include "status.h"

// Each program's build defines its own source name ("test/scaler_probe"...).
#ifndef LUMASET_SOURCE_NAME
#define LUMASET_SOURCE_NAME __FILE__
#endif

// Inline definitions have vague (weak) linkage: each program carries its own copy.
inline const char* StatusToString(Status status) {
    static const char* const NAMES[] = {
        "SUCCESS",           "FAILURE",
        "FAILURE_BENIGN",    "FAILURE_TRY_AGAIN",
        "FAILURE_ALLOCATION", "FAILURE_NULL_POINTER",
        "FAILURE_SYSCALL",   "FAILURE_BUSY",
        "FAILURE_UNAVAILABLE", "FAILURE_INVALID",
        "FAILURE_UNSUPPORTED", "FAILURE_UNIMPLEMENTED",
        "FAILURE_INVALID_STATE", "FAILURE_INTERRUPTED",
        "FAILURE_UNKNOWN",
    };
    const auto index = static_cast<unsigned int>(status);
    return index <= 14u ? NAMES[index] : "Unknown Status";
}

__attribute__((format(printf, 1, 2))) inline void error(const char* format, ...) {
    va_list args;
    va_start(args, format);
    Log::Instance().Error(format, args);
    va_end(args);
}

__attribute__((format(printf, 1, 2))) inline void warn(const char* format, ...) {
    va_list args;
    va_start(args, format);
    Log::Instance().Warn(format, args);
    va_end(args);
}

__attribute__((format(printf, 1, 2))) inline void info(const char* format, ...) {
    va_list args;
    va_start(args, format);
    Log::Instance().Info(format, args);
    va_end(args);
}

__attribute__((format(printf, 1, 2))) inline void fatal(const char* format, ...) {
    va_list args;
    va_start(args, format);
    Log::Instance().Fatal(format, args);
    va_end(args);
}

namespace diagnostics {

// The raw system call, so the id is the kernel's thread id, not the process id.
inline int ThreadId() {
    const int saved = errno;
    const int tid = static_cast<int>(syscall(SYS_gettid));
    errno = saved;
    return tid;
}

// With `repeats`, a failure that recurs is reported once a period with its count.
inline Status CheckStatus(Status result, const char* file, int line, const char* function,
                          const char* text, RepeatCounter* repeats = nullptr) {
    if (result != Status::SUCCESS) {
        const uint64_t due = repeats ? repeats->Count(StatusToString(result)) : 1;
        if (due == 0) return result;
        const int tid = ThreadId();
        warn("(%d)[%s:%d] %s():\n\t%s failed with status %s%s", tid, file, line, function, text,
             StatusToString(result), RepeatCounter::Suffix(due).c_str());
    }
    return result;
}

// Called after errno was cleared and the call evaluated; reports the call's own errno.
template <typename T>
T CheckErrno(T result, const char* file, int line, const char* function, const char* text,
             RepeatCounter* repeats = nullptr) {
    if (result < 0) {
        const int saved = errno;
        const uint64_t due = repeats ? repeats->Count(std::string(text) + ": " + std::to_string(saved)) : 1;
        if (due != 0) {
            const int tid = ThreadId();
            error("(%d)[%s:%d] %s():\n\t%s: (%i) %s%s", tid, file, line, function, text, saved,
                  strerror(saved), RepeatCounter::Suffix(due).c_str());
        }
        errno = saved;
    }
    return result;
}

inline bool CheckAssert(bool condition, const char* file, int line, const char* function,
                        const char* text) {
    if (!condition) {
        const int tid = ThreadId();
        fatal("(%d)[%s:%d] %s():\n\tAssert '%s' failed.", tid, file, line, function, text);
    }
    return condition;
}

}  // namespace diagnostics

// The inner macros stringize the expression after its macros were expanded,
// so a fourcc appears as the arithmetic the compiler saw.
#define DIAG_STATUS_TEXT_(expr, text) \
    diagnostics::CheckStatus((expr), LUMASET_SOURCE_NAME, __LINE__, __func__, text)
#define DIAG_STATUS_(expr) DIAG_STATUS_TEXT_(expr, #expr)
// Status diagnostic: evaluates expr once, warns when it is not SUCCESS, yields the Status.
#define DIAG_STATUS(expr) DIAG_STATUS_(expr)
// The same for a check in a loop: the first failure at once, then a count once a period.
#define DIAG_STATUS_COUNTED(expr, repeats) \
    diagnostics::CheckStatus((expr), LUMASET_SOURCE_NAME, __LINE__, __func__, #expr, &(repeats))

#define DIAG_ERRNO_(call) \
    (errno = 0, diagnostics::CheckErrno((call), LUMASET_SOURCE_NAME, __LINE__, __func__, #call))
// Errno diagnostic: clears errno, evaluates call once, logs errno when the result is negative.
#define DIAG_ERRNO(call) DIAG_ERRNO_(call)

// Message diagnostic: a fixed message (a string literal; may end in "%m").
#define DIAG_MESSAGE(message)                                                               \
    error("(%d)[%s:%d] %s():\n\t" message, diagnostics::ThreadId(), LUMASET_SOURCE_NAME, \
          __LINE__, __func__)

#define DIAG_ASSERT_(condition) \
    diagnostics::CheckAssert((condition), LUMASET_SOURCE_NAME, __LINE__, __func__, #condition)
// Assertion diagnostic: logs at fatal level when condition is false; execution goes on.
#define DIAG_ASSERT(condition) DIAG_ASSERT_(condition)
