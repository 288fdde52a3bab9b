#pragma once

#include "RuvarEduzid/Export.h"
#include "RuvarEduzid/Native/Interfaces.h"

#include <boost/uuid/uuid.hpp>

#include <memory>
#include <string>
#include <vector>

namespace Halvora {
namespace RuvarEduzid {

class RUVAREDUZID_API DecoderUtils {
public:
    // Identity of FFMpegDecoder, built once at library load.
    static const boost::uuids::uuid HalvoraFFmpegDecoderId;
    static constexpr const char* HalvoraFFmpegDecoderIdText = "{0CB279A5-F203-4096-929E-975CBB8A71CD}";

    // A decoder for `info`, initialized with `parameters`; the caller owns it. Throws
    // CodeErrorException for another decoder id or when the source does not open.
    static Halvora::Video::Native::IFrameDecoder* CreateDecoder(
        const Halvora::Video::Native::VideoFileInfo& info,
        const std::vector<std::shared_ptr<Halvora::Video::Native::DecoderParameter>>* parameters);
    // Probes a source with a temporary decoder. Throws CodeErrorException on failure.
    static Halvora::Video::Native::VideoFileInfoResult GetVideoFileInfo(const std::wstring& path);
};

}  // namespace RuvarEduzid
}  // namespace Halvora
