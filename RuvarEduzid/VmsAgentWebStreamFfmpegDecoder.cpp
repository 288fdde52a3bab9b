#include "RuvarEduzid/VmsAgentWebStreamFfmpegDecoder.h"

#include "Common/Exception.h"
#include "Common/Logger.h"
#include "RuvarEduzid/WebStreamDetail.h"
#include "Rtsp/RtspExtensions.h"

using namespace Halvora::Video::Native;

namespace Halvora {
namespace RuvarEduzid {

int64_t VmsAgentWebStreamFfmpegDecoder::RangeStart(int64_t replyRangeStart) { return replyRangeStart / 10; }

int64_t VmsAgentWebStreamFfmpegDecoder::FileTime(int64_t ts) {
    return static_cast<int64_t>((static_cast<uint64_t>(ts) + static_cast<uint64_t>(WebStreamDetail::UnixEpochFileTime10us)) * 100ULL);
}

bool VmsAgentWebStreamFfmpegDecoder::Initialize(const VideoFileInfo& info, const ParameterList* parameters) {
    if (!FFMpegDecoder::Initialize(info, parameters)) {
        HLOG_ERROR << "VmsAgent WebStreamFfmpegDecoder::Initialize failed";
        return false;
    }
    OnDecoderOpen([](AVFormatContext* context) -> int {
        int64_t rangeStart = 0;
        if (!rtsp_read_get_parameter(context, &rangeStart))
            HALVORA_THROW("Cannot get rtsp range start parameter from VmsAgent");
        set_rtpctx_range_start(context, RangeStart(rangeStart), 0);
        flush_packet_queue(context);
        return 1;
    });
    OnFrameReceived([](AVFrame* frame) -> unsigned long long {
        int64_t ts = WebStreamDetail::FrameTimestamp(frame);
        HLOG_INFO << "ts: " << ts;
        return static_cast<unsigned long long>(FileTime(ts));
    });
    return true;
}

}  // namespace RuvarEduzid
}  // namespace Halvora
