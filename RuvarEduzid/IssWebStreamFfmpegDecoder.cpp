#include "RuvarEduzid/IssWebStreamFfmpegDecoder.h"

#include "Common/Logger.h"
#include "RuvarEduzid/WebStreamDetail.h"

using namespace Halvora::Video::Native;

namespace Halvora {
namespace RuvarEduzid {

bool IssWebStreamFfmpegDecoder::Initialize(const VideoFileInfo& info, const ParameterList* parameters) {
    HLOG_INFO << "IssWebStreamFfmpegDecoder::Initialize";
    // Applied last, so they win over any time-out the caller gave.
    ParameterList local;
    if (parameters) local = *parameters;
    local.push_back(std::make_shared<RtspConnectionTimeoutParameter>(15000));
    local.push_back(std::make_shared<RtspGetFrameTimeoutParameter>(2000));
    if (!FFMpegDecoder::Initialize(info, &local)) {
        HLOG_ERROR << "IssWebStreamFfmpegDecoder::Initialize failed";
        return false;
    }
    OnDecoderOpen([this](AVFormatContext* context) -> int {
        openTimeTicks = WebStreamDetail::IssNowTicks();
        int index = WebStreamDetail::VideoStreamIndex(context);
        if (index >= 0) m_timeBase = context->streams[index]->time_base;
        HLOG_INFO << WebStreamDetail::IssSetTimeLogLine(openTimeTicks);
        return 1;
    });
    OnFrameReceived([this](AVFrame* frame) -> unsigned long long {
        return static_cast<unsigned long long>(
            WebStreamDetail::IssFileTime(WebStreamDetail::FrameTimestamp(frame), m_timeBase, openTimeTicks));
    });
    return true;
}

}  // namespace RuvarEduzid
}  // namespace Halvora
