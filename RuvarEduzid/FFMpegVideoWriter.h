#pragma once

#include "RuvarEduzid/Export.h"
#include "RuvarEduzid/GenericVideoWriter.h"

namespace Halvora {
namespace RuvarEduzid {

// A retired writer kept in the exported interface: constructing one always fails with
// "Deprecated video writer". Use GenericVideoWriter instead.
class RUVAREDUZID_API FFMpegVideoWriter : public GenericVideoWriter {
public:
    // The arguments (width, height, frame rate) are ignored; always throws CodeErrorException.
    FFMpegVideoWriter(int width, int height, int frameRate);
    ~FFMpegVideoWriter() override;
};

}  // namespace RuvarEduzid
}  // namespace Halvora
