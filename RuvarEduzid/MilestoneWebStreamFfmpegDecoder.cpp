#include "RuvarEduzid/MilestoneWebStreamFfmpegDecoder.h"

#include "Common/DateTime.h"
#include "Common/Exception.h"
#include "Common/Logger.h"
#include "RuvarEduzid/WebStreamDetail.h"
#include "Rtsp/RtspExtensions.h"
#include "Rtsp/RtspInput.h"

using namespace Halvora::Video::Native;

namespace Halvora {
namespace RuvarEduzid {

uint64_t MilestoneWebStreamFfmpegDecoder::FileTime(int64_t rtpPosition, int64_t reportPosition, uint64_t reportNtpTime) {
    return WebStreamDetail::NtpToFileTime(WebStreamDetail::RtpToNtp(rtpPosition, reportPosition, reportNtpTime));
}

bool MilestoneWebStreamFfmpegDecoder::Initialize(const VideoFileInfo& info, const ParameterList* parameters) {
    OnDecoderOpen([](AVFormatContext* context) -> int {
        int64_t rangeStart = 0;
        if (!rtsp_read_get_parameter(context, &rangeStart))
            HALVORA_THROW("Cannot get rtsp range start parameter from Milestone");
        set_rtpctx_range_start(context, rangeStart, 1);
        flush_packet_queue(context);
        return 1;
    });
    OnFrameReceived([this](AVFrame* frame) -> unsigned long long {
        // The frame's own RTP time, however long the decoder held it; the latest sender report
        // maps RTP time to NTP time (before any report: NTP time 0 at RTP time 0).
        RtspFrameTiming timing{};
        if (!RtspSource() || !FrameRtpTiming(frame, &timing))
            return static_cast<unsigned long long>(Halvora::Common::DateTime::EmptyTicks);
        Rtsp::RtpFrameTimeline::Report report;
        if (!RtspSource()->SenderReport(false, &report)) report.position = RtspSource()->UnwrapRtpTime(0);
        return FileTime(timing.position, report.position, report.ntp);
    });
    AwaitSenderReport(false);
    bool ok = GenericWebStreamFfmpegDecoder::Initialize(info, parameters);
    if (!ok) {
        HLOG_ERROR << "Milestone WebStreamFfmpegDecoder::Initialize failed";
    }
    return ok;
}

}  // namespace RuvarEduzid
}  // namespace Halvora
