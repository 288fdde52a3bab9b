#pragma once

struct AVCodec;

namespace Halvora {
namespace RuvarEduzid {

// Shared encoder lookup of the software writers.
class EncoderUtils {
public:
    // The H.264 encoder the writers use: "libopenh264" when FFmpeg has it, else "libx264".
    // Logs at info level which one is used; null (and an error log) when FFmpeg has neither.
    static const AVCodec* FindH264Encoder();
};

}  // namespace RuvarEduzid
}  // namespace Halvora
