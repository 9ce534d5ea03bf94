#pragma once

#include <cstdint>

#include <flatbuffers/flatbuffers.h>

// The framework's command interface. Command payloads are FlatBuffers tables,
// so a program that includes this header links against that FlatBuffers
// release; the address below keeps its version marker in the program.
static const char* (*const FLATBUFFERS_VERSION_MARKER)() __attribute__((used)) =
    &flatbuffers::flatbuffers_version_string;

class Command {
public:
    // Values travel between processes as 32-bit integers: never renumber.
    enum Type : int32_t {
        NET_CONFIG = 1,
        ENABLED = 2,
        VIDEO_OUTPUT_FORMAT = 4,
        VIDEO_INPUT_FORMAT = 5,
        ENC_CONFIG = 7,
        MULTI_IN_SRC_IP = 8,
        MULTI_IN_SRC_PORT = 9,
        UNI_IN_SRC_PORT = 10,
        DEC_PID_VIDEO = 11,
        DEC_PID_AUDIO = 12,
        MULTI_OUT_DEST_IP = 13,
        MULTI_OUT_DEST_PORT = 14,
        MULTI_OUT_TTL = 15,
        UNI_OUT_DEST_IP = 16,
        UNI_OUT_DEST_PORT = 18,
        LED_COMPONENT_POLL_ON_STATE = 26,
        LED_COMPONENT_POLL_BLINK_STATE = 27,
        COMPONENT_CONNECT = 0x5002,
    };
};

static_assert(sizeof(Command::Type) == 4, "Command::Type is a 32-bit value");
