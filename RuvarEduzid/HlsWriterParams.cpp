#include "RuvarEduzid/HlsWriterParams.h"

#include "Common/Exception.h"

#include <memory>

namespace Halvora {
namespace RuvarEduzid {

HlsWriterParams::HlsWriterParams(const std::wstring& filePath, double duration, double fps, GetTsFilePathCb callback)
    : filePath(filePath), duration(duration), fps(fps), tsFilePathCb(callback) {}

}  // namespace RuvarEduzid
}  // namespace Halvora

using Halvora::Common::ManagedSPtr;
using Halvora::RuvarEduzid::H264StreamConfig;
using Halvora::RuvarEduzid::HlsWriterParams;

ManagedSPtr<HlsWriterParams>* HlsWriterParams_CreateParams(const wchar_t* filePath, double duration, double fps,
                                                           Halvora::RuvarEduzid::GetTsFilePathCb callback) {
    return new ManagedSPtr<HlsWriterParams>(
        std::make_shared<HlsWriterParams>(filePath ? std::wstring(filePath) : std::wstring(), duration, fps, callback));
}

void HlsWriterParams_AddStream(ManagedSPtr<HlsWriterParams>* params, const H264StreamConfig* config) {
    if (!params || !config) HALVORA_THROW("HlsWriterParams_AddStream called with a null argument");
    (*params)->streams.push_back(*config);
}
