#pragma once

#include "RuvarEduzid/Export.h"
#include "RuvarEduzid/Native/Interfaces.h"

#include <boost/uuid/uuid.hpp>

namespace Halvora {
namespace RuvarEduzid {

class RUVAREDUZID_API DecoderUtils {
public:
    // Identity of FFMpegDecoder, built once at library load.
    static const boost::uuids::uuid HalvoraFFmpegDecoderId;
    static constexpr const char* HalvoraFFmpegDecoderIdText = "{0CB279A5-F203-4096-929E-975CBB8A71CD}";
};

}  // namespace RuvarEduzid
}  // namespace Halvora
