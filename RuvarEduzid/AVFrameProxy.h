#pragma once

// Presents a frame or a planar image to an encoder as an AVFrame of the encoder's size and
// pixel format. A YUV 4:2:0 source of the encoder's size is referenced without copying (the
// frame has no buffers of its own); anything else is converted with a cached bilinear swscale
// context that the caller owns. The caller keeps the source alive while the proxy is used.

#include "Orvi/Yuv420PImage.h"
#include "RuvarEduzid/FfmpegPtr.h"
#include "RuvarEduzid/Native/Interfaces.h"

namespace Halvora {
namespace RuvarEduzid {

class AVFrameProxy {
public:
    // Throws CodeErrorException for a source layout other than Yuv420P, Bgr24, Rgb24, Bgra32 and
    // Abgr32 ("Unsupported input pixel format: N") and when no conversion can be made.
    AVFrameProxy(Video::Native::IDecodedFrame* source, AVCodecContext* encoder, SwsContextPtr* cache);
    AVFrameProxy(const Orvi::Yuv420PImage& image, AVCodecContext* encoder, SwsContextPtr* cache);
    ~AVFrameProxy();

    AVFrameProxy(const AVFrameProxy&) = delete;
    AVFrameProxy& operator=(const AVFrameProxy&) = delete;

    // The produced frame; the proxy keeps ownership.
    AVFrame* Get() const { return m_pFrame.get(); }

    AVFramePtr m_pFrame;
};

}  // namespace RuvarEduzid
}  // namespace Halvora
