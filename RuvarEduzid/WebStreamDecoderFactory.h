#pragma once

// Chooses the web-stream decoder of a video-management-system family, by id or by name.

#include "RuvarEduzid/Export.h"
#include "RuvarEduzid/GenericWebStreamFfmpegDecoder.h"

#include <string>
#include <vector>

namespace Halvora {
namespace RuvarEduzid {

namespace VMSDecoder {
enum DecoderId : int { Generic = 0, Milestone = 1, SeeTec = 2, Dvtel = 3, Genetec = 4, Iss = 5, VmsAgent = 6, Camera = 7 };
}  // namespace VMSDecoder

class RUVAREDUZID_API WebStreamDecoderFactory {
public:
    WebStreamDecoderFactory() = default;
    WebStreamDecoderFactory(const WebStreamDecoderFactory&) = default;
    // The factory holds no state: assignment does nothing.
    WebStreamDecoderFactory& operator=(const WebStreamDecoderFactory&) { return *this; }
    WebStreamDecoderFactory& operator=(WebStreamDecoderFactory&&) { return *this; }

    // A new decoder of the family's class, owned by the caller; null for an id outside 0 to 7.
    static GenericWebStreamFfmpegDecoder* GetDecoder(VMSDecoder::DecoderId id);
    // By exact, case-sensitive name; throws CodeErrorException for an unknown name.
    static GenericWebStreamFfmpegDecoder* GetDecoder(std::string name);
    // The family names in id order.
    static std::vector<std::string> List();
    // GetDecoder(name), then Initialize(info, parameters); throws "Decoder Initialization error"
    // when that returns false. The caller owns the result.
    static Halvora::Video::Native::IFrameDecoder* CreateDecoder(
        const Halvora::Video::Native::VideoFileInfo& info,
        const std::vector<std::shared_ptr<Halvora::Video::Native::DecoderParameter>>* parameters, std::string name);
};

}  // namespace RuvarEduzid
}  // namespace Halvora

// A new decoder for the named family (see WebStreamDecoderFactory::GetDecoder), owned by the caller
// and freed with GenericWebStreamFfmpegDecoder_Destroy. An unknown name throws.
RUVAREDUZID_C_API Halvora::RuvarEduzid::GenericWebStreamFfmpegDecoder* WebStreamFfmpegDecoder_Create(const wchar_t* vmsName);
