#pragma once

#include "RuvarEduzid/IVideoWriter.h"
#include "RuvarEduzid/Export.h"

#include <memory>

namespace Halvora {
namespace IO {
class MemoryOutputStream;
}
namespace RuvarEduzid {

// Feeds frames into clips written to memory (implemented by NvVideoWriter).
class RUVAREDUZID_API IClipVideoWriter : public IVideoWriter {
public:
    IClipVideoWriter() = default;
    IClipVideoWriter(const IClipVideoWriter&) = default;
    IClipVideoWriter& operator=(const IClipVideoWriter&) = default;

    using IVideoWriter::WriteFrame;
    // Slot 3.
    virtual void WriteFrame(std::shared_ptr<Halvora::Video::Native::IDecodedFrame> frame, bool flag) = 0;
    // Slot 4: begins a clip written into `output`; width, height, frame rate, bit rate.
    virtual void StartClip(Halvora::IO::MemoryOutputStream& output, unsigned int width, unsigned int height,
                           unsigned int frameRate, unsigned int bitrate) = 0;
    // Slot 5: ends the current clip.
    virtual bool StopClip() = 0;
    // Slot 6: releases the encoder.
    virtual void Dispose() = 0;
};

}  // namespace RuvarEduzid
}  // namespace Halvora
