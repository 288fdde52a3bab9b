#pragma once

// The entry point for streams of video-management systems: a URL, a GPU id and JSON options become
// the decoder's source and parameter list; initialization succeeds only when a first key frame
// decodes. Base class of the vendor decoders, which add capture-time hooks.

#include "RuvarEduzid/Export.h"
#include "RuvarEduzid/FFMpegDecoder.h"

#include <string>

namespace Halvora {
namespace RuvarEduzid {

class RUVAREDUZID_API GenericWebStreamFfmpegDecoder : public FFMpegDecoder {
public:
    GenericWebStreamFfmpegDecoder() = default;
    ~GenericWebStreamFfmpegDecoder() override = default;

    using FFMpegDecoder::Initialize;
    // Opens the source, then decodes one key frame: true exactly when that frame is Ok.
    bool Initialize(const Halvora::Video::Native::VideoFileInfo& info, const ParameterList* parameters) override;
    // The host's entry: `gpuId` -1 means no GPU; `jsonParameters` is only read (options
    // "HwDecoder", "RtspConnectionTimeout", "RtspGetFrameTimeoutParameter").
    virtual bool Initialize(const std::wstring& url, int gpuId, std::wstring& jsonParameters);
};

}  // namespace RuvarEduzid
}  // namespace Halvora

// Destroys a decoder handed out by WebStreamFfmpegDecoder_Create; null is ignored.
RUVAREDUZID_C_API void GenericWebStreamFfmpegDecoder_Destroy(Halvora::RuvarEduzid::GenericWebStreamFfmpegDecoder* decoder);
