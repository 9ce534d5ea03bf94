#pragma once

#include <cstdint>

// Result of every framework operation. SUCCESS is the only success value.
enum class Status : int32_t {
    SUCCESS = 0,
    FAILURE = 1,
    FAILURE_BENIGN = 2,
    FAILURE_TRY_AGAIN = 3,
    FAILURE_ALLOCATION = 4,
    FAILURE_NULL_POINTER = 5,
    FAILURE_SYSCALL = 6,
    FAILURE_BUSY = 7,
    FAILURE_UNAVAILABLE = 8,
    FAILURE_INVALID = 9,
    FAILURE_UNSUPPORTED = 10,
    FAILURE_UNIMPLEMENTED = 11,
    FAILURE_INVALID_STATE = 12,
    FAILURE_INTERRUPTED = 13,
    FAILURE_UNKNOWN = 14,
};
