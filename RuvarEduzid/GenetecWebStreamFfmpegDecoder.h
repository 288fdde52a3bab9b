#pragma once

// Genetec streams: each frame's time is the input's real-time start (from the first RTCP sender
// report, microseconds since 1970) plus the frame's own RTP time in seconds. No frame is handed
// out before the first report has come (at most the get-next time-out).

#include "RuvarEduzid/GenericWebStreamFfmpegDecoder.h"

#include <cstdint>

namespace Halvora {
namespace RuvarEduzid {

class RUVAREDUZID_API GenetecWebStreamFfmpegDecoder : public GenericWebStreamFfmpegDecoder {
public:
    GenetecWebStreamFfmpegDecoder() = default;
    ~GenetecWebStreamFfmpegDecoder() override = default;
    using GenericWebStreamFfmpegDecoder::Initialize;

    // The input's start_time_realtime (microseconds since 1970, from the first sender report;
    // AV_NOPTS_VALUE counts as 1970) plus the frame's RTP timestamp in seconds, as a file time.
    static uint64_t FileTime(int64_t startTimeRealtime, int64_t ts, AVRational timeBase);

private:
    bool Initialize(const Halvora::Video::Native::VideoFileInfo& info, const ParameterList* parameters) override;
};

}  // namespace RuvarEduzid
}  // namespace Halvora
