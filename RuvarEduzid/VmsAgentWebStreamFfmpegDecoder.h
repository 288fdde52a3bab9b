#pragma once

// VmsAgent streams: the GET_PARAMETER range start, in 10-us units, becomes the origin of the
// packet timestamps; each frame's timestamp is then its time since 1970 in 10-us units.

#include "RuvarEduzid/GenericWebStreamFfmpegDecoder.h"

#include <cstdint>

namespace Halvora {
namespace RuvarEduzid {

class RUVAREDUZID_API VmsAgentWebStreamFfmpegDecoder : public GenericWebStreamFfmpegDecoder {
public:
    VmsAgentWebStreamFfmpegDecoder() = default;
    ~VmsAgentWebStreamFfmpegDecoder() override = default;
    using GenericWebStreamFfmpegDecoder::Initialize;

    // The range start handed to the RTP layer (in stream units): the reply's value / 10, truncated.
    static int64_t RangeStart(int64_t replyRangeStart);
    // A frame timestamp counted in 10-us units since 1970, as a file time.
    static int64_t FileTime(int64_t ts);

private:
    bool Initialize(const Halvora::Video::Native::VideoFileInfo& info, const ParameterList* parameters) override;
};

}  // namespace RuvarEduzid
}  // namespace Halvora
