#pragma once

// The writer contracts shared with the host. The order of the virtual operations is part of
// the contract: the host calls the writers through their virtual tables.

#include "RuvarEduzid/Export.h"

#include <memory>

namespace Halvora {
namespace Common {
class DateTime;
}
namespace Orvi {
class Yuv420PImage;
}
namespace Video {
namespace Native {
class IDecodedFrame;
}
}  // namespace Video

namespace RuvarEduzid {

// Feeds frames into encoded video. A writer finishes its output when it is destroyed.
class RUVAREDUZID_API IVideoWriter {
public:
    IVideoWriter() = default;
    IVideoWriter(const IVideoWriter&) = default;
    IVideoWriter& operator=(const IVideoWriter&) = default;

    // Slot 0: a planar YUV 4:2:0 image and its capture time.
    virtual void WriteFrame(const Halvora::Orvi::Yuv420PImage& image, const Halvora::Common::DateTime& time) = 0;
    // Slot 1: a decoded frame; its time is the frame's GetFileTimeUtc().
    virtual void WriteFrame(std::shared_ptr<Halvora::Video::Native::IDecodedFrame> frame) = 0;
    // Slot 2.
    virtual ~IVideoWriter() = default;
};

}  // namespace RuvarEduzid
}  // namespace Halvora
