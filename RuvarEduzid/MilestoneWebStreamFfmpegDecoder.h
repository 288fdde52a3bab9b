#pragma once

// Milestone streams: the range start comes from a GET_PARAMETER reply; each frame is dated from
// the RTP timestamp of its own packets and the latest RTCP sender report of the video stream.

#include "RuvarEduzid/GenericWebStreamFfmpegDecoder.h"

#include <memory>

struct RTPDemuxContext;

namespace Halvora {
namespace RuvarEduzid {

class RUVAREDUZID_API MilestoneWebStreamFfmpegDecoder : public GenericWebStreamFfmpegDecoder {
public:
    MilestoneWebStreamFfmpegDecoder() = default;
    ~MilestoneWebStreamFfmpegDecoder() override = default;
    using GenericWebStreamFfmpegDecoder::Initialize;

private:
    bool Initialize(const Halvora::Video::Native::VideoFileInfo& info, const ParameterList* parameters) override;

    // RTP timing of the video stream, owned by the input; set by the open hook.
    std::unique_ptr<RTPDemuxContext*> rtpContext;
};

}  // namespace RuvarEduzid
}  // namespace Halvora
