#pragma once

// Iss streams: each frame is dated at the local instant the stream opened plus its presentation
// time. Connection and frame time-outs are forced to 15 s and 2 s.

#include "RuvarEduzid/GenericWebStreamFfmpegDecoder.h"

#include <cstdint>
#include <string>

namespace Halvora {
namespace RuvarEduzid {

class RUVAREDUZID_API IssWebStreamFfmpegDecoder : public GenericWebStreamFfmpegDecoder {
public:
    IssWebStreamFfmpegDecoder() = default;
    ~IssWebStreamFfmpegDecoder() override = default;
    using GenericWebStreamFfmpegDecoder::Initialize;

    // The opening instant (100-ns ticks since 1970) plus the frame's presentation time.
    static int64_t FileTime(int64_t ts, AVRational timeBase, int64_t openTimeTicks);
    // Current system time in 100-ns ticks since 1970-01-01 UTC.
    static int64_t NowTicks();
    // "IssWebStreamFfmpegDecoder::SetTime <ticks>".
    static std::string SetTimeLogLine(int64_t openTimeTicks);

private:
    bool Initialize(const Halvora::Video::Native::VideoFileInfo& info, const ParameterList* parameters) override;

    int64_t openTimeTicks = 0;  // system time when the stream opened, 100-ns ticks since 1970
};

}  // namespace RuvarEduzid
}  // namespace Halvora
