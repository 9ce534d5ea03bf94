#include <linux/videodev2.h>

#include "codec_module.h"
#include "encoder_nodes.h"
#include "hardware_encoder.h"
#include "log.h"
#include "software_encoder.h"
#include "video_encoder.h"

Status MakeVideoEncoder(const EncoderChoice& choice, VideoEncoder::Output output,
                        std::unique_ptr<VideoEncoder>& encoder) {
    const Log& log = Log::Instance();
    std::string path;
    if (choice.choice == "auto") {
        std::vector<PassedOver> passed_over;
        path = FindEncoderNode(V4L2_PIX_FMT_H264, passed_over);
        for (const PassedOver& node : passed_over)
            log.Debugf("%s: %s is no H.264 encoder: %s", choice.name.c_str(), node.path.c_str(),
                       node.why.c_str());
    } else if (!choice.choice.empty() && choice.choice[0] == '/') {
        path = choice.choice;  // one that is no H.264 encoder says why when it opens
    } else if (choice.choice != "x264") {
        log.Errorf("%s: encoder \"%s\" is none of auto, x264 or a device path", choice.name.c_str(),
                   choice.choice.c_str());
        return Status::FAILURE_INVALID;
    }
    if (!path.empty()) {
        encoder = std::make_unique<HardwareEncoder>(choice.name, path, std::move(output),
                                                    V4L2_PIX_FMT_H264);
        return Status::SUCCESS;
    }
    std::unique_ptr<H264Encoder> codec = CreateH264Encoder();
    if (!codec) return Status::FAILURE_UNAVAILABLE;  // logged by the loader
    encoder = std::make_unique<SoftwareEncoder>(std::move(codec), std::move(output));
    return Status::SUCCESS;
}
