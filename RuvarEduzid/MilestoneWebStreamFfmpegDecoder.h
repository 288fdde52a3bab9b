#pragma once

// Milestone streams: the range start comes from a GET_PARAMETER reply; each frame is dated from
// the RTP timestamp of its own packets and the latest RTCP sender report of the video stream.

#include "RuvarEduzid/GenericWebStreamFfmpegDecoder.h"

#include <cstdint>

namespace Halvora {
namespace RuvarEduzid {

class RUVAREDUZID_API MilestoneWebStreamFfmpegDecoder : public GenericWebStreamFfmpegDecoder {
public:
    MilestoneWebStreamFfmpegDecoder() = default;
    ~MilestoneWebStreamFfmpegDecoder() override = default;
    using GenericWebStreamFfmpegDecoder::Initialize;

    // File time of an RTP timestamp, from a sender report's RTP and NTP (32.32) times.
    static uint64_t FileTime(uint32_t rtpTimestamp, uint32_t reportRtpTimestamp, uint64_t reportNtpTime);

private:
    bool Initialize(const Halvora::Video::Native::VideoFileInfo& info, const ParameterList* parameters) override;
};

}  // namespace RuvarEduzid
}  // namespace Halvora
