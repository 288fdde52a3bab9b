#include "RuvarEduzid/GenetecWebStreamFfmpegDecoder.h"

#include "Common/Logger.h"
#include "RuvarEduzid/WebStreamDetail.h"

extern "C" {
#include <libavutil/mathematics.h>
}
#include "Rtsp/RtspExtensions.h"

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
        AVFormatContext* context = getFormatCtx();
        // The real-time start belongs to the demuxer's RTP clock: the frame's own RTP time on that
        // clock, before any range start, is added to it.
        int64_t ts = WebStreamDetail::FrameTimestamp(frame);
        RtspFrameTiming timing{};
        if (FrameRtpTiming(frame, &timing)) ts = timing.rtp_pts;
        return FileTime(context->start_time_realtime, ts, VideoTimeBase());
    });
    return true;
}

}  // namespace RuvarEduzid
}  // namespace Halvora
