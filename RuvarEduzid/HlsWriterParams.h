#pragma once

// What the host tells about an HLS presentation: the master playlist, the expected length, the
// frame rate, the segment callback and one H.264 configuration per rendition.

#include "Common/ManagedObject.h"
#include "RuvarEduzid/Export.h"
#include "RuvarEduzid/GetTsFilePathCb.h"
#include "RuvarEduzid/H264StreamConfig.h"
#include "RuvarEduzid/IHlsWriter.h"

#include <string>
#include <vector>

namespace Halvora {
namespace RuvarEduzid {

struct RUVAREDUZID_API HlsWriterParams {
    HlsWriterParams(const std::wstring& filePath, double duration, double fps, GetTsFilePathCb callback);
    HlsWriterParams(const HlsWriterParams&) = default;
    HlsWriterParams(HlsWriterParams&&) = default;
    HlsWriterParams& operator=(const HlsWriterParams&) = default;
    HlsWriterParams& operator=(HlsWriterParams&&) = default;
    ~HlsWriterParams() = default;

    std::wstring filePath;                  // the master playlist; renditions go into numbered folders beside it
    double duration = 0.0;                  // expected length in seconds
    std::vector<H264StreamConfig> streams;  // one per rendition, in playlist order
    double fps = 0.0;                       // 0: derived from the first two frames
    GetTsFilePathCb tsFilePathCb;           // told of every finished segment
};

}  // namespace RuvarEduzid
}  // namespace Halvora

// Parameters in shared ownership inside a new handle that the host destroys.
RUVAREDUZID_C_API Halvora::Common::ManagedSPtr<Halvora::RuvarEduzid::HlsWriterParams>* HlsWriterParams_CreateParams(
    const wchar_t* filePath, double duration, double fps, Halvora::RuvarEduzid::GetTsFilePathCb callback);
// Appends a copy of *config to the renditions.
RUVAREDUZID_C_API void HlsWriterParams_AddStream(
    Halvora::Common::ManagedSPtr<Halvora::RuvarEduzid::HlsWriterParams>* params,
    const Halvora::RuvarEduzid::H264StreamConfig* config);
