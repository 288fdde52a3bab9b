#include "RuvarEduzid/DecoderUtils.h"

#include <boost/uuid/string_generator.hpp>

namespace Halvora {
namespace RuvarEduzid {

const boost::uuids::uuid DecoderUtils::HalvoraFFmpegDecoderId =
    boost::uuids::string_generator()(DecoderUtils::HalvoraFFmpegDecoderIdText);

}  // namespace RuvarEduzid
}  // namespace Halvora
