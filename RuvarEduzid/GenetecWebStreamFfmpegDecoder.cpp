#include "RuvarEduzid/GenetecWebStreamFfmpegDecoder.h"

#include "Common/Logger.h"
#include "RuvarEduzid/WebStreamDetail.h"
#include "Rtsp/RtspExtensions.h"

using namespace Halvora::Video::Native;

namespace Halvora {
namespace RuvarEduzid {

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
        if (WebStreamDetail::FrameRtpTiming(context, frame, &timing)) ts = timing.rtp_pts;
        const int index = WebStreamDetail::VideoStreamIndex(context);
        const AVRational timeBase = index >= 0 ? context->streams[index]->time_base : AVRational{1, 90000};
        return WebStreamDetail::GenetecFileTime(context->start_time_realtime, ts, timeBase);
    });
    return true;
}

}  // namespace RuvarEduzid
}  // namespace Halvora
