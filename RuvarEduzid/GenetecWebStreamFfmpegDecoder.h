#pragma once

// Genetec streams: each frame's time is the input's real-time start (from RTCP, microseconds since
// 1970) plus the frame's own RTP timestamp in seconds.

#include "RuvarEduzid/GenericWebStreamFfmpegDecoder.h"

namespace Halvora {
namespace RuvarEduzid {

class RUVAREDUZID_API GenetecWebStreamFfmpegDecoder : public GenericWebStreamFfmpegDecoder {
public:
    GenetecWebStreamFfmpegDecoder() = default;
    ~GenetecWebStreamFfmpegDecoder() override = default;
    using GenericWebStreamFfmpegDecoder::Initialize;

private:
    bool Initialize(const Halvora::Video::Native::VideoFileInfo& info, const ParameterList* parameters) override;
};

}  // namespace RuvarEduzid
}  // namespace Halvora
