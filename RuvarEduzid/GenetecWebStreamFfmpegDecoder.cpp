#include "RuvarEduzid/GenetecWebStreamFfmpegDecoder.h"

#include "Common/Logger.h"
#include "RuvarEduzid/WebStreamDetail.h"

extern "C" {
#include <libavutil/mathematics.h>
}
#include "Rtsp/RtspExtensions.h"
#include "Rtsp/RtspInput.h"

using namespace Halvora::Video::Native;

namespace Halvora {
namespace RuvarEduzid {

uint64_t GenetecWebStreamFfmpegDecoder::FileTime(int64_t startTimeRealtime, int64_t ts, AVRational timeBase) {
    // Microseconds since 1970 and a 90 kHz count are different units: both become 100-ns ticks.
    const int64_t startUs = startTimeRealtime == AV_NOPTS_VALUE ? 0 : startTimeRealtime;
    const int64_t start = av_rescale_q(startUs, AVRational{1, 1000000}, AVRational{1, 10000000});
    const int64_t offset = av_rescale_q(ts, timeBase, AVRational{1, 10000000});
    return static_cast<uint64_t>(WebStreamDetail::WrappingAdd(WebStreamDetail::WrappingAdd(start, offset), WebStreamDetail::UnixEpochFileTimeTicks));
}

bool GenetecWebStreamFfmpegDecoder::Initialize(const VideoFileInfo& info, const ParameterList* parameters) {
    if (!FFMpegDecoder::Initialize(info, parameters)) {
        HLOG_ERROR << "Genetec WebStreamFfmpegDecoder::Initialize failed";
        return false;
    }
    OnFrameReceived([this](AVFrame* frame) -> unsigned long long {
        // The real-time start (FFmpeg's, from the first sender report) belongs to the RTP time of
        // the demuxer's base: the frame's own RTP time is counted from there on the continuous
        // clock, before any range start (negative for a frame before the base).
        int64_t ts = WebStreamDetail::FrameTimestamp(frame);
        int64_t start = getFormatCtx()->start_time_realtime;
        RtspFrameTiming timing{};
        if (RtspSource() && FrameRtpTiming(frame, &timing)) {
            ts = timing.position - RtspSource()->BasePosition();
            start = RtspSource()->StartTimeRealtime(VideoTimeBase());
        }
        return FileTime(start, ts, VideoTimeBase());
    });
    AwaitSenderReport(false);
    return true;
}

}  // namespace RuvarEduzid
}  // namespace Halvora
