#pragma once

// Plain RTSP cameras and recorders (RFC 3550, ONVIF): every frame is dated by the camera's own
// clock. With the ONVIF replay header extension (0xABAC) a frame takes the NTP time its own packets
// carry. Otherwise the RTCP sender report nearest before the frame (the latest one known when its
// first packet came) maps its RTP time to NTP time, at the clock rate of the media's rtpmap, so a
// camera whose RTP clock drifts against its NTP clock stays exact to the report interval. No frame
// is handed out before the first report has come (at most the get-next time-out); frames that came
// earlier are dated backwards from it. A camera that sends neither gets the decoder's own rule
// (the stream clock).

#include "RuvarEduzid/GenericWebStreamFfmpegDecoder.h"

#include <cstdint>

namespace Halvora {
namespace RuvarEduzid {

class RUVAREDUZID_API CameraWebStreamFfmpegDecoder : public GenericWebStreamFfmpegDecoder {
public:
    CameraWebStreamFfmpegDecoder() = default;
    ~CameraWebStreamFfmpegDecoder() override = default;
    using GenericWebStreamFfmpegDecoder::Initialize;

    // File time of an RTP time from a sender report's RTP and NTP (32.32) times; both RTP times on
    // the continuous (unwrapped) RTP clock of `clockRate` Hz.
    static uint64_t FileTime(int64_t rtpPosition, int64_t reportPosition, uint64_t reportNtpTime, int clockRate);

private:
    bool Initialize(const Halvora::Video::Native::VideoFileInfo& info, const ParameterList* parameters) override;
};

}  // namespace RuvarEduzid
}  // namespace Halvora
