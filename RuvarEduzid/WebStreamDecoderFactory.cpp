#include "RuvarEduzid/WebStreamDecoderFactory.h"

#include "Common/Exception.h"
#include "Common/StringUtility.h"
#include "RuvarEduzid/CameraWebStreamFfmpegDecoder.h"
#include "RuvarEduzid/DvtelWebStreamFfmpegDecoder.h"
#include "RuvarEduzid/GenetecWebStreamFfmpegDecoder.h"
#include "RuvarEduzid/IssWebStreamFfmpegDecoder.h"
#include "RuvarEduzid/MilestoneWebStreamFfmpegDecoder.h"
#include "RuvarEduzid/SeeTecWebStreamFfmpegDecoder.h"
#include "RuvarEduzid/VmsAgentWebStreamFfmpegDecoder.h"

#include <memory>

using Halvora::Common::StringUtility;
using namespace Halvora::Video::Native;

namespace Halvora {
namespace RuvarEduzid {

namespace {
const char* const kNames[] = {"Generic", "Milestone", "SeeTec", "Dvtel", "Genetec", "Iss", "VmsAgent", "Camera"};
}  // namespace

GenericWebStreamFfmpegDecoder* WebStreamDecoderFactory::GetDecoder(VMSDecoder::DecoderId id) {
    switch (id) {
        case VMSDecoder::Generic: return new GenericWebStreamFfmpegDecoder();
        case VMSDecoder::Milestone: return new MilestoneWebStreamFfmpegDecoder();
        case VMSDecoder::SeeTec: return new SeeTecWebStreamFfmpegDecoder();
        case VMSDecoder::Dvtel: return new DvtelWebStreamFfmpegDecoder();
        case VMSDecoder::Genetec: return new GenetecWebStreamFfmpegDecoder();
        case VMSDecoder::Iss: return new IssWebStreamFfmpegDecoder();
        case VMSDecoder::VmsAgent: return new VmsAgentWebStreamFfmpegDecoder();
        case VMSDecoder::Camera: return new CameraWebStreamFfmpegDecoder();
    }
    return nullptr;
}

GenericWebStreamFfmpegDecoder* WebStreamDecoderFactory::GetDecoder(std::string name) {
    for (int id = 0; id < static_cast<int>(sizeof(kNames) / sizeof(kNames[0])); ++id)
        if (name == kNames[id]) return GetDecoder(static_cast<VMSDecoder::DecoderId>(id));
    HALVORA_THROW("Unknown decoder requested! Cannot find " << StringUtility::StringToWstring(name));
}

std::vector<std::string> WebStreamDecoderFactory::List() { return std::vector<std::string>(std::begin(kNames), std::end(kNames)); }

IFrameDecoder* WebStreamDecoderFactory::CreateDecoder(const VideoFileInfo& info,
                                                      const std::vector<std::shared_ptr<DecoderParameter>>* parameters,
                                                      std::string name) {
    std::unique_ptr<GenericWebStreamFfmpegDecoder> decoder(GetDecoder(std::move(name)));
    // The VideoFileInfo form, so that the family's override runs.
    if (!decoder->Initialize(info, parameters)) HALVORA_THROW("Decoder Initialization error");
    return decoder.release();
}

}  // namespace RuvarEduzid
}  // namespace Halvora

RUVAREDUZID_C_API Halvora::RuvarEduzid::GenericWebStreamFfmpegDecoder* WebStreamFfmpegDecoder_Create(const wchar_t* vmsName) {
    std::wstring name = vmsName ? std::wstring(vmsName) : std::wstring();
    return Halvora::RuvarEduzid::WebStreamDecoderFactory::GetDecoder(Halvora::Common::StringUtility::WstringToString(name));
}
