#pragma once

#include "RuvarEduzid/Native/VideoEnums.h"

#include <vector>

namespace Halvora {
namespace Video {
namespace Native {

// Plain records: the decoder reads `kind`, then the fields of the matching record.
struct DecoderParameter {
    // The kind numbers, shared with the host.
    enum Kind : int {
        ImageFormats = 0,
        CuvidDecoder = 1,
        UtcOffset = 2,
        RtspConnectionTimeout = 3,
        RtspGetFrameTimeout = 4,
        RtspTransport = 5,
        DecoderThreads = 6,
    };
    int kind;
    explicit DecoderParameter(int k) : kind(k) {}
};
static_assert(DecoderParameter::ImageFormats == 0 && DecoderParameter::UtcOffset == 2 && DecoderParameter::RtspTransport == 5 &&
                  DecoderParameter::DecoderThreads == 6,
              "the host's kind numbers");

struct ImageFormatsParameter : DecoderParameter {
    std::vector<DecodedImageFormat> formats;
    ImageFormatsParameter() : DecoderParameter(ImageFormats) {}
    explicit ImageFormatsParameter(std::vector<DecodedImageFormat> f) : DecoderParameter(ImageFormats), formats(std::move(f)) {}
};

struct CuvidDecoderParameter : DecoderParameter {
    int decoderType;
    int gpuId;
    CuvidDecoderParameter(int type, int gpu) : DecoderParameter(CuvidDecoder), decoderType(type), gpuId(gpu) {}
};

struct UtcOffsetParameter : DecoderParameter {
    float utcOffsetHours;
    explicit UtcOffsetParameter(float hours) : DecoderParameter(UtcOffset), utcOffsetHours(hours) {}
};

struct RtspConnectionTimeoutParameter : DecoderParameter {
    int timeoutMs;
    explicit RtspConnectionTimeoutParameter(int ms) : DecoderParameter(RtspConnectionTimeout), timeoutMs(ms) {}
};

struct RtspGetFrameTimeoutParameter : DecoderParameter {
    int timeoutMs;
    explicit RtspGetFrameTimeoutParameter(int ms) : DecoderParameter(RtspGetFrameTimeout), timeoutMs(ms) {}
};

// The RTSP transport of this decoder, in place of the settings file's "RtspTransport": 0 RTP over
// the RTSP connection (TCP), 1 TCP first then UDP, 2 UDP, 3 UDP multicast.
struct RtspTransportParameter : DecoderParameter {
    int transport;
    explicit RtspTransportParameter(int code) : DecoderParameter(RtspTransport), transport(code) {}
};

// Decoding threads of one decoder, over the settings file's DecoderThreads: 1 decodes on the
// caller's thread alone, 0 lets FFmpeg pick a count from the cores, N > 1 uses N threads.
struct DecoderThreadsParameter : DecoderParameter {
    int threads;
    explicit DecoderThreadsParameter(int n) : DecoderParameter(DecoderThreads), threads(n) {}
};

}  // namespace Native
}  // namespace Video
}  // namespace Halvora
