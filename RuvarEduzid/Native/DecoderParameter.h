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

// Decoding threads of one decoder, over the settings file's DecoderThreads: 1 decodes on the
// caller's thread alone, 0 lets FFmpeg pick a count from the cores, N > 1 uses N threads.
struct DecoderThreadsParameter : DecoderParameter {
    int threads;
    explicit DecoderThreadsParameter(int n) : DecoderParameter(5), threads(n) {}
};

}  // namespace Native
}  // namespace Video
}  // namespace Halvora
