#include "RuvarEduzid/FFMpegVideoWriter.h"

#include "Common/Exception.h"

namespace Halvora {
namespace RuvarEduzid {

FFMpegVideoWriter::FFMpegVideoWriter(int width, int height, int frameRate) : GenericVideoWriter() {
    (void)width;
    (void)height;
    (void)frameRate;
    HALVORA_THROW("Deprecated video writer");
}

FFMpegVideoWriter::~FFMpegVideoWriter() = default;

}  // namespace RuvarEduzid
}  // namespace Halvora
