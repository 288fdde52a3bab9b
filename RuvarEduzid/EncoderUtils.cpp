#include "RuvarEduzid/EncoderUtils.h"

#include "Common/Logger.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace Halvora {
namespace RuvarEduzid {

const AVCodec* EncoderUtils::FindH264Encoder() {
    for (const char* name : {"libopenh264", "libx264"}) {
        if (const AVCodec* codec = avcodec_find_encoder_by_name(name)) {
            HLOG_INFO << "Using H.264 encoder " << name;
            return codec;
        }
    }
    HLOG_ERROR << "Neither libopenh264 nor libx264 is available in this FFmpeg build";
    return nullptr;
}

}  // namespace RuvarEduzid
}  // namespace Halvora
