#include "RuvarEduzid/SeeTecWebStreamFfmpegDecoder.h"

#include "Common/DateTime.h"
#include "Common/Exception.h"
#include "Common/Logger.h"
#include "RuvarEduzid/WebStreamDetail.h"
#include "Rtsp/RtspExtensions.h"

#include <chrono>
#include <thread>

using namespace Halvora::Video::Native;

namespace Halvora {
namespace RuvarEduzid {

namespace {
constexpr int kRetries = 10;
constexpr auto kRetryPause = std::chrono::milliseconds(500);
constexpr auto kPauseSlice = std::chrono::milliseconds(20);

// Each GET_PARAMETER attempt is a new exchange: it gets the network watchdog's allowance afresh,
// otherwise the time-out of the first attempt would cut every retry short at once.
void RestartWatchdog(AVFormatContext* context) {
    if (context->interrupt_callback.callback != &FFMpegDecoderDetail::interrupt_cb) return;
    auto* watchdog = static_cast<FFMpegDecoderDetail::InterruptContext*>(context->interrupt_callback.opaque);
    if (watchdog) watchdog->lastActivity = FFMpegDecoderDetail::WatchdogNow();
}
}  // namespace

void SeeTecWebStreamFfmpegDecoder::Interrupt() {
    m_stopRetries = true;
    FFMpegDecoder::Interrupt();
}

uint64_t SeeTecWebStreamFfmpegDecoder::CalcSeeTecTimeStamp(char* reply) {
    uint64_t ms = WebStreamDetail::ParseSeeTecReply(reply, lastRtpTimestamp);
    if (ms == WebStreamDetail::SeeTecNoTimestamp) {
        HLOG_WARNING << "SeeTec reply without SeeTecTimestamp and LastRTPTimestamp";
    }
    return ms;
}

bool SeeTecWebStreamFfmpegDecoder::Initialize(const VideoFileInfo& info, const ParameterList* parameters) {
    if (!FFMpegDecoder::Initialize(info, parameters)) {
        HLOG_ERROR << "SeeTec WebStreamFfmpegDecoder::Initialize failed";
        return false;
    }
    OnDecoderOpen([this](AVFormatContext* context) -> int {
        int64_t value = 0;
        char* reply = rtsp_read_get_parameter(context, &value);
        for (int retry = 0; !reply && retry < kRetries && !m_stopRetries; ++retry) {
            auto until = std::chrono::steady_clock::now() + kRetryPause;
            while (!m_stopRetries && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(kPauseSlice);
            if (m_stopRetries) break;
            RestartWatchdog(context);
            reply = rtsp_read_get_parameter(context, &value);
        }
        if (!reply) HALVORA_THROW("Cannot get rtsp range start parameter from SeeTec");
        seeTecTimestampMs = CalcSeeTecTimeStamp(reply);
        flush_packet_queue(context);
        rtspContext = context;
        return 1;
    });
    OnFrameReceived([this](AVFrame* frame) -> unsigned long long {
        const RTPDemuxContext* rtp = rtspContext ? rtsp_get_rtp_demux_context(rtspContext, 0) : nullptr;
        if (!rtp) return static_cast<unsigned long long>(Halvora::Common::DateTime::EmptyTicks);
        // The frame's own RTP time, not that of the latest packet read.
        uint32_t timestamp = rtp->timestamp;
        RtspFrameTiming timing{};
        if (WebStreamDetail::FrameRtpTiming(rtspContext, frame, &timing)) timestamp = timing.timestamp;
        return WebStreamDetail::SeeTecFileTime(seeTecTimestampMs, lastRtpTimestamp, timestamp);
    });
    return true;
}

}  // namespace RuvarEduzid
}  // namespace Halvora
