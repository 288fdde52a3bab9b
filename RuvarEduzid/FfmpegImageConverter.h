#pragma once

// Converts pictures of one size between two DecodedImageFormat layouts with swscale, and the
// exported one-shot YUV 4:2:0 to packed RGB conversion.

#include "RuvarEduzid/Export.h"
#include "RuvarEduzid/FfmpegPtr.h"
#include "RuvarEduzid/Native/VideoEnums.h"


namespace Halvora {
namespace RuvarEduzid {

class RUVAREDUZID_API FfmpegImageConverter {
public:
    // Note the order: height before width. Throws CodeErrorException when swscale refuses the
    // size or layouts.
    FfmpegImageConverter(Video::Native::DecodedImageFormat source, Video::Native::DecodedImageFormat destination,
                         int height, int width);
    ~FfmpegImageConverter();

    // A copy converts the same way with a context of its own; a moved-from converter has none
    // and refuses to convert.
    FfmpegImageConverter(const FfmpegImageConverter& other);
    FfmpegImageConverter& operator=(const FfmpegImageConverter& other);
    FfmpegImageConverter(FfmpegImageConverter&& other) noexcept;
    FfmpegImageConverter& operator=(FfmpegImageConverter&& other) noexcept;

    // Converts `height` rows of `source` into `destination`; both frames must carry planes of
    // the converter's size and layouts. Throws CodeErrorException when the converter has no
    // context.
    void Convert(const AVFrame* source, AVFrame* destination) const;

    // Bgr24, Rgb24, Bgra32, Abgr32, Yuv420P to their FFmpeg formats; any other value to BGR24.
    static AVPixelFormat DecodedImageFormatToFfmpegFormat(Video::Native::DecodedImageFormat format);

    int Width() const { return m_width; }
    int Height() const { return m_height; }

private:
    static SwsContextPtr CreateContext(int width, int height, AVPixelFormat source, AVPixelFormat destination);

    SwsContextPtr m_pContext;
    int m_width = 0;
    int m_height = 0;
    AVPixelFormat m_sourceFormat = AV_PIX_FMT_NONE;
    AVPixelFormat m_destinationFormat = AV_PIX_FMT_NONE;
};

}  // namespace RuvarEduzid
}  // namespace Halvora

// Converts a planar YUV 4:2:0 picture (chroma planes in V, U order) into a new packed RGB24
// buffer with 32-byte aligned rows; stores the buffer's stride in *outStride when given. The
// caller releases the buffer with RuvarEduzid_ReleaseBuffer. Null when the picture cannot be
// converted (null planes, sizes swscale refuses).
RUVAREDUZID_C_API unsigned char* RuvarEduzid_YV420toRGB24(const unsigned char* y, const unsigned char* v,
                                                          const unsigned char* u, int width, int height,
                                                          int strideY, int strideUV, int* outStride);
RUVAREDUZID_C_API void RuvarEduzid_ReleaseBuffer(void* buffer);
