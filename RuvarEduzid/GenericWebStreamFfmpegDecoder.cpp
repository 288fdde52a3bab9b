#include "RuvarEduzid/GenericWebStreamFfmpegDecoder.h"

#include "Common/DateTime.h"
#include "Common/Logger.h"
#include "RuvarEduzid/WebStreamDetail.h"

using namespace Halvora::Video::Native;

namespace Halvora {
namespace RuvarEduzid {

bool GenericWebStreamFfmpegDecoder::Initialize(const VideoFileInfo& info, const ParameterList* parameters) {
    if (!FFMpegDecoder::Initialize(info, parameters)) return false;
    // The first key frame proves that the stream decodes. It is the stream's first picture too:
    // the first GetNextFrame hands it out, and the frames after it follow.
    std::shared_ptr<IDecodedFrame> frame = DecodeFirstKeyFrame();
    if (!frame || frame->GetDecoderState() != DecoderState::Ok) return false;
    HoldFrame(std::move(frame));
    return true;
}

bool GenericWebStreamFfmpegDecoder::Initialize(const std::wstring& url, int gpuId, std::wstring& jsonParameters) {
    HLOG_INFO << WebStreamDetail::EntryLogLine(url, gpuId, Halvora::Common::DateTime::Now().toString(true));
    ParameterList parameters = WebStreamDetail::BuildParameters(gpuId, jsonParameters);
    VideoFileInfo info(url);
    // Virtual: a vendor class's override runs.
    return Initialize(info, &parameters);
}

}  // namespace RuvarEduzid
}  // namespace Halvora

RUVAREDUZID_C_API void GenericWebStreamFfmpegDecoder_Destroy(Halvora::RuvarEduzid::GenericWebStreamFfmpegDecoder* decoder) {
    delete decoder;
}
