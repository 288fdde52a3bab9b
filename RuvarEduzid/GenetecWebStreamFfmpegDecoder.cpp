#include "RuvarEduzid/GenetecWebStreamFfmpegDecoder.h"

#include "Common/Logger.h"
#include "RuvarEduzid/WebStreamDetail.h"

using namespace Halvora::Video::Native;

namespace Halvora {
namespace RuvarEduzid {

bool GenetecWebStreamFfmpegDecoder::Initialize(const VideoFileInfo& info, const ParameterList* parameters) {
    if (!FFMpegDecoder::Initialize(info, parameters)) {
        HLOG_ERROR << "Genetec WebStreamFfmpegDecoder::Initialize failed";
        return false;
    }
    OnFrameReceived([this](AVFrame* frame) -> unsigned long long {
        return WebStreamDetail::GenetecFileTime(getFormatCtx()->start_time_realtime,
                                                WebStreamDetail::FrameTimestamp(frame));
    });
    return true;
}

}  // namespace RuvarEduzid
}  // namespace Halvora
