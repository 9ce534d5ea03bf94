// The codec module's entry: what liblumaset asks of it.

#include "av_ts_muxer.h"
#include "codec_module.h"
#include "x264_encoder.h"

namespace {

H264Encoder* CreateX264Encoder() { return new X264Encoder(); }
TsMuxer* CreateAvTsMuxer() { return new AvTsMuxer(); }

const CodecModuleEntry ENTRY = {CodecModuleEntry::VERSION, &CreateX264Encoder, &CreateAvTsMuxer};

}  // namespace

extern "C" __attribute__((visibility("default"))) const CodecModuleEntry* lumaset_codec_module_entry() {
    return &ENTRY;
}
