#pragma once

#include "RuvarEduzid/Native/VideoEnums.h"

#include <vector>

namespace Halvora {
namespace Video {
namespace Native {

// Plain records: the decoder reads `kind`, then the fields of the matching record.
struct DecoderParameter {
    int kind;
    explicit DecoderParameter(int k) : kind(k) {}
};

struct ImageFormatsParameter : DecoderParameter {
    std::vector<DecodedImageFormat> formats;
    ImageFormatsParameter() : DecoderParameter(0) {}
    explicit ImageFormatsParameter(std::vector<DecodedImageFormat> f) : DecoderParameter(0), formats(std::move(f)) {}
};

struct CuvidDecoderParameter : DecoderParameter {
    int decoderType;
    int gpuId;
    CuvidDecoderParameter(int type, int gpu) : DecoderParameter(1), decoderType(type), gpuId(gpu) {}
};

struct UtcOffsetParameter : DecoderParameter {
    float utcOffsetHours;
    explicit UtcOffsetParameter(float hours) : DecoderParameter(2), utcOffsetHours(hours) {}
};

struct RtspConnectionTimeoutParameter : DecoderParameter {
    int timeoutMs;
    explicit RtspConnectionTimeoutParameter(int ms) : DecoderParameter(3), timeoutMs(ms) {}
};

struct RtspGetFrameTimeoutParameter : DecoderParameter {
    int timeoutMs;
    explicit RtspGetFrameTimeoutParameter(int ms) : DecoderParameter(4), timeoutMs(ms) {}
};

// The RTSP transport of this decoder, in place of the settings file's "RtspTransport": 0 RTP over
// the RTSP connection (TCP), 1 TCP first then UDP, 2 UDP, 3 UDP multicast.
struct RtspTransportParameter : DecoderParameter {
    int transport;
    explicit RtspTransportParameter(int code) : DecoderParameter(5), transport(code) {}
};

}  // namespace Native
}  // namespace Video
}  // namespace Halvora
