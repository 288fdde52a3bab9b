#pragma once

// Where the pixels of a host picture (IDecodedImage) lie, as FFmpeg plane arrays. Shared by
// DecodedAvFrame (copying a foreign frame) and AVFrameProxy (feeding an encoder).

#include "RuvarEduzid/Native/Interfaces.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace Halvora {
namespace RuvarEduzid {
namespace Detail {

// FFmpeg format of a packed layout, AV_PIX_FMT_NONE for any other layout.
inline AVPixelFormat PackedFfmpegFormat(Video::Native::DecodedImageFormat format) {
    switch (format) {
        case Video::Native::Bgr24: return AV_PIX_FMT_BGR24;
        case Video::Native::Rgb24: return AV_PIX_FMT_RGB24;
        case Video::Native::Bgra32: return AV_PIX_FMT_BGRA;
        case Video::Native::Abgr32: return AV_PIX_FMT_ABGR;
        default: return AV_PIX_FMT_NONE;
    }
}

struct SourcePlanes {
    const uint8_t* data[4] = {nullptr, nullptr, nullptr, nullptr};
    int linesize[4] = {0, 0, 0, 0};
};

// The planes of a picture in a planar YUV 4:2:0 layout: Y, U, V with their own strides.
inline SourcePlanes Yuv420PPlanes(const Video::Native::IDecodedImage& image) {
    SourcePlanes p;
    p.data[0] = image.GetY();
    p.data[1] = image.GetU();
    p.data[2] = image.GetV();
    p.linesize[0] = image.StrideY();
    p.linesize[1] = image.StrideUV();
    p.linesize[2] = image.StrideUV();
    return p;
}

// The one plane of a packed picture of `bytesPerPixel`. The stride is StrideRGB() when it
// holds a whole row; otherwise the picture is taken as rows aligned to 32 bytes. A vertically
// flipped picture is read from its last row upwards, so that it comes out upright.
inline SourcePlanes PackedPlanes(const Video::Native::IDecodedImage& image, int bytesPerPixel) {
    SourcePlanes p;
    const int rowBytes = image.Width() * bytesPerPixel;
    int stride = image.StrideRGB();
    if (stride < rowBytes) stride = (rowBytes + 31) & ~31;
    const uint8_t* data = image.ImageData();
    if (data && image.IsVerticallyFlipped() && image.Height() > 0) {
        data += static_cast<ptrdiff_t>(image.Height() - 1) * stride;
        stride = -stride;
    }
    p.data[0] = data;
    p.linesize[0] = stride;
    return p;
}

inline int PackedBytesPerPixel(AVPixelFormat format) {
    return (format == AV_PIX_FMT_BGRA || format == AV_PIX_FMT_ABGR) ? 4 : 3;
}

}  // namespace Detail
}  // namespace RuvarEduzid
}  // namespace Halvora
