#include "RuvarEduzid/DvtelWebStreamFfmpegDecoder.h"

#include "Common/Logger.h"
#include "RuvarEduzid/WebStreamDetail.h"
#include "Rtsp/RtpPacketParser.h"
#include "Rtsp/RtspExtensions.h"

using namespace Halvora::Video::Native;

namespace Halvora {
namespace RuvarEduzid {

using Rtsp::RtpPacketParser;

DvtelWebStreamFfmpegDecoder::~DvtelWebStreamFfmpegDecoder() {
    // The input outlives this part of the object: it must not write into it any more.
    if (getFormatCtx()) rtsp_set_packet_callback(getFormatCtx(), nullptr, nullptr);
}

uint64_t DvtelWebStreamFfmpegDecoder::ReadRtpExtension(const uint8_t* packet, int length, uint64_t* destination) {
    // Entry 0 ends at byte 32: a shorter packet cannot hold a time.
    if (!packet || !destination || length < 32) return 0;
    if (RtpPacketParser::ReadBe16(packet + 12) != 0x4000) return 0;
    int32_t entries = static_cast<int32_t>(RtpPacketParser::ReadBe32(packet + 16));
    for (int64_t i = 0; i < entries; ++i) {
        int64_t remaining = static_cast<int64_t>(length) - 32 - 8 * i;
        if (remaining < 0) return 0;
        if (RtpPacketParser::ReadBe16(packet + 20 + 8 * i) == 0x4001) {
            *destination = RtpPacketParser::ReadBe64(packet + 24 + 8 * i);
            return 1;
        }
    }
    return 0;
}

uint64_t DvtelWebStreamFfmpegDecoder::FileTime(uint64_t rtpExtensionTime) {
    return rtpExtensionTime - WebStreamDetail::Year1ToFileTimeTicks;
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
        if (FrameRtpTiming(frame, &timing) && timing.has_callback_value) return FileTime(timing.callback_value);
        return FileTime(rtpExtensionTime);
    });
    OnDecoderOpen([](AVFormatContext* context) -> int {
        flush_packet_queue(context);
        return 1;
    });
    return true;
}

}  // namespace RuvarEduzid
}  // namespace Halvora
