#pragma once

#include <memory>

#include "h264_encoder.h"
#include "ts_muxer.h"

// The encoder's codecs (libx264, libavformat) live in a module of their own,
// liblumaset_codecs.so beside liblumaset.so, loaded the first time one is made:
// programs that encode nothing never load those libraries and the hundred
// others they pull in. Null, with the reason logged once, when the module
// cannot be loaded.
std::unique_ptr<H264Encoder> CreateH264Encoder();
std::unique_ptr<TsMuxer> CreateTsMuxer();

// What the module hands the library: one table, checked by its version.
struct CodecModuleEntry {
    static constexpr unsigned VERSION = 2;
    unsigned version;
    H264Encoder* (*create_h264_encoder)();
    TsMuxer* (*create_ts_muxer)();
};

// The module's one exported symbol.
#define LUMASET_CODEC_MODULE_ENTRY "lumaset_codec_module_entry"
extern "C" const CodecModuleEntry* lumaset_codec_module_entry();
