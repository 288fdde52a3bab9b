#pragma once

// Iss streams: each frame is dated at the local instant the stream opened plus its presentation
// time. Connection and frame time-outs are forced to 15 s and 2 s.

#include "RuvarEduzid/GenericWebStreamFfmpegDecoder.h"

#include <cstdint>

namespace Halvora {
namespace RuvarEduzid {

class RUVAREDUZID_API IssWebStreamFfmpegDecoder : public GenericWebStreamFfmpegDecoder {
public:
    IssWebStreamFfmpegDecoder() = default;
    ~IssWebStreamFfmpegDecoder() override = default;
    using GenericWebStreamFfmpegDecoder::Initialize;

private:
    bool Initialize(const Halvora::Video::Native::VideoFileInfo& info, const ParameterList* parameters) override;

    int64_t openTimeTicks = 0;  // system time when the stream opened, 100-ns ticks since 1970
    AVRational m_timeBase{1, 90000};  // of the video stream, taken when the stream opens
};

}  // namespace RuvarEduzid
}  // namespace Halvora
