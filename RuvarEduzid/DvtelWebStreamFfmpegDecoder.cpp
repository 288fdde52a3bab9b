#include "RuvarEduzid/DvtelWebStreamFfmpegDecoder.h"

#include "Common/Logger.h"
#include "RuvarEduzid/WebStreamDetail.h"
#include "Rtsp/RtspExtensions.h"

using namespace Halvora::Video::Native;

namespace Halvora {
namespace RuvarEduzid {

DvtelWebStreamFfmpegDecoder::~DvtelWebStreamFfmpegDecoder() {
    // The input outlives this part of the object: it must not write into it any more.
    if (getFormatCtx()) rtsp_set_packet_callback(getFormatCtx(), nullptr, nullptr);
}

uint64_t DvtelWebStreamFfmpegDecoder::ReadRtpExtension(const uint8_t* packet, int length, uint64_t* destination) {
    return WebStreamDetail::ReadDvtelExtensionTime(packet, length, destination);
}

bool DvtelWebStreamFfmpegDecoder::Initialize(const VideoFileInfo& info, const ParameterList* callerParameters) {
    if (callerParameters) parameters.insert(parameters.end(), callerParameters->begin(), callerParameters->end());
    if (!FFMpegDecoder::Initialize(info, &parameters)) {
        HLOG_ERROR << "Dvtel WebStreamFfmpegDecoder::Initialize failed";
        return false;
    }
    // Bound to this input only: another decoder's packets never reach rtpExtensionTime.
    if (rtsp_set_packet_callback(getFormatCtx(), &ReadRtpExtension, &rtpExtensionTime) < 0) {
        HLOG_WARNING << "Dvtel WebStreamFfmpegDecoder: the input is not an RTSP session, frames carry no extension time";
    }
    OnFrameReceived([this](AVFrame* frame) -> unsigned long long {
        // The extension time carried by the frame's own packets; the latest one seen otherwise.
        RtspFrameTiming timing{};
        if (WebStreamDetail::FrameRtpTiming(getFormatCtx(), frame, &timing) && timing.has_callback_value)
            return WebStreamDetail::DvtelFileTime(timing.callback_value);
        return WebStreamDetail::DvtelFileTime(rtpExtensionTime);
    });
    OnDecoderOpen([](AVFormatContext* context) -> int {
        flush_packet_queue(context);
        return 1;
    });
    return true;
}

}  // namespace RuvarEduzid
}  // namespace Halvora
