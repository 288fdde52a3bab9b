#pragma once

// Milestone streams: the range start comes from a GET_PARAMETER reply; each frame is dated from
// the RTP timestamp of its own packets and the latest RTCP sender report of the video stream. No
// frame is handed out before the first report has come (at most the get-next time-out).

#include "RuvarEduzid/GenericWebStreamFfmpegDecoder.h"

#include <cstdint>

namespace Halvora {
namespace RuvarEduzid {

class RUVAREDUZID_API MilestoneWebStreamFfmpegDecoder : public GenericWebStreamFfmpegDecoder {
public:
    MilestoneWebStreamFfmpegDecoder() = default;
    ~MilestoneWebStreamFfmpegDecoder() override = default;
    using GenericWebStreamFfmpegDecoder::Initialize;

    // File time of an RTP time, from a sender report's RTP and NTP (32.32) times; both RTP times
    // on the continuous (unwrapped) RTP clock, 90 kHz.
    static uint64_t FileTime(int64_t rtpPosition, int64_t reportPosition, uint64_t reportNtpTime);

private:
    bool Initialize(const Halvora::Video::Native::VideoFileInfo& info, const ParameterList* parameters) override;
};

}  // namespace RuvarEduzid
}  // namespace Halvora
