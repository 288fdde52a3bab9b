#pragma once

// VmsAgent streams: the GET_PARAMETER range start, in 10-us units, becomes the origin of the
// packet timestamps; each frame's timestamp is then its time since 1970 in 10-us units.

#include "RuvarEduzid/GenericWebStreamFfmpegDecoder.h"

namespace Halvora {
namespace RuvarEduzid {

class RUVAREDUZID_API VmsAgentWebStreamFfmpegDecoder : public GenericWebStreamFfmpegDecoder {
public:
    VmsAgentWebStreamFfmpegDecoder() = default;
    ~VmsAgentWebStreamFfmpegDecoder() override = default;
    using GenericWebStreamFfmpegDecoder::Initialize;

private:
    bool Initialize(const Halvora::Video::Native::VideoFileInfo& info, const ParameterList* parameters) override;
};

}  // namespace RuvarEduzid
}  // namespace Halvora
