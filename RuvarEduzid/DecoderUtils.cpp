#include "RuvarEduzid/DecoderUtils.h"

#include "Common/Exception.h"
#include "RuvarEduzid/FFMpegDecoder.h"

#include <boost/uuid/string_generator.hpp>

namespace Halvora {
namespace RuvarEduzid {

const boost::uuids::uuid DecoderUtils::HalvoraFFmpegDecoderId =
    boost::uuids::string_generator()(DecoderUtils::HalvoraFFmpegDecoderIdText);

Halvora::Video::Native::IFrameDecoder* DecoderUtils::CreateDecoder(
    const Halvora::Video::Native::VideoFileInfo& info,
    const std::vector<std::shared_ptr<Halvora::Video::Native::DecoderParameter>>* parameters) {
    if (info.decoderId != HalvoraFFmpegDecoderId) HALVORA_THROW("DecoderId not recognized");
    auto decoder = std::make_unique<FFMpegDecoder>();
    if (!decoder->Initialize(info, parameters)) {
        decoder.reset();
        HALVORA_THROW("Decoder Initialization error");
    }
    return decoder.release();
}

Halvora::Video::Native::VideoFileInfoResult DecoderUtils::GetVideoFileInfo(const std::wstring& path) {
    FFMpegDecoder decoder;
    return decoder.GetVideoFileInfo(path);
}

}  // namespace RuvarEduzid
}  // namespace Halvora
