#include "RuvarEduzid/CameraWebStreamFfmpegDecoder.h"

#include "Common/Logger.h"
#include "RuvarEduzid/WebStreamDetail.h"
#include "Rtsp/RtspExtensions.h"
#include "Rtsp/RtspInput.h"

using namespace Halvora::Video::Native;

namespace Halvora {
namespace RuvarEduzid {

uint64_t CameraWebStreamFfmpegDecoder::FileTime(int64_t rtpPosition, int64_t reportPosition, uint64_t reportNtpTime,
                                                int clockRate) {
    return WebStreamDetail::NtpToFileTime(WebStreamDetail::RtpToNtp(rtpPosition, reportPosition, reportNtpTime, clockRate));
}

bool CameraWebStreamFfmpegDecoder::Initialize(const VideoFileInfo& info, const ParameterList* parameters) {
    AwaitSenderReport(true);
    OnFrameReceived([this](AVFrame* frame) -> unsigned long long {
        RtspFrameTiming timing{};
        if (RtspSource() && FrameRtpTiming(frame, &timing)) {
            if (timing.has_onvif_time) return WebStreamDetail::NtpToFileTime(timing.onvif_ntp_time);
            // The report known when the frame came; a frame that came before the first report is
            // dated backwards from that one.
            Rtsp::RtpFrameTimeline::Report report{timing.report_ntp_time, timing.report_position};
            if (timing.has_report || RtspSource()->SenderReport(true, &report)) {
                const AVRational timeBase = VideoTimeBase();
                const int clockRate = timeBase.num > 0 ? timeBase.den / timeBase.num : 90000;
                return FileTime(timing.position, report.position, report.ntp, clockRate);
            }
        }
        // No clock of the camera's (the input warned when the first report did not come).
        return static_cast<unsigned long long>(StreamClockTime(WebStreamDetail::FrameTimestamp(frame)));
    });
    bool ok = GenericWebStreamFfmpegDecoder::Initialize(info, parameters);
    if (!ok) {
        HLOG_ERROR << "Camera WebStreamFfmpegDecoder::Initialize failed";
    }
    return ok;
}

}  // namespace RuvarEduzid
}  // namespace Halvora
