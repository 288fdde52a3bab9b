#include "RuvarEduzid/FfmpegImageConverter.h"

#include "Common/Exception.h"
#include "Common/Logger.h"
#include "RuvarEduzid/FfmpegPtr.h"

#include <utility>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/mem.h>
#include <libavutil/pixdesc.h>
}

namespace Halvora {
namespace RuvarEduzid {

using namespace Video::Native;

AVPixelFormat FfmpegImageConverter::DecodedImageFormatToFfmpegFormat(DecodedImageFormat format) {
    switch (format) {
        case Bgr24: return AV_PIX_FMT_BGR24;
        case Rgb24: return AV_PIX_FMT_RGB24;
        case Bgra32: return AV_PIX_FMT_BGRA;
        case Abgr32: return AV_PIX_FMT_ABGR;
        case Yuv420P: return AV_PIX_FMT_YUV420P;
        default: return AV_PIX_FMT_BGR24;
    }
}

SwsContextPtr FfmpegImageConverter::CreateContext(int width, int height, AVPixelFormat source,
                                                  AVPixelFormat destination) {
    // Flags 0: only the layout changes; swscale picks its default algorithm.
    SwsContextPtr context(
        sws_getContext(width, height, source, width, height, destination, 0, nullptr, nullptr, nullptr));
    if (!context)
        HALVORA_THROW("Could not create an image conversion from " << av_get_pix_fmt_name(source) << " to "
                                                                   << av_get_pix_fmt_name(destination) << " for "
                                                                   << width << "x" << height);
    return context;
}

FfmpegImageConverter::FfmpegImageConverter(DecodedImageFormat source, DecodedImageFormat destination, int height,
                                           int width)
    : m_width(width),
      m_height(height),
      m_sourceFormat(DecodedImageFormatToFfmpegFormat(source)),
      m_destinationFormat(DecodedImageFormatToFfmpegFormat(destination)) {
    m_pContext = CreateContext(m_width, m_height, m_sourceFormat, m_destinationFormat);
}

FfmpegImageConverter::~FfmpegImageConverter() = default;

FfmpegImageConverter::FfmpegImageConverter(const FfmpegImageConverter& other)
    : m_width(other.m_width),
      m_height(other.m_height),
      m_sourceFormat(other.m_sourceFormat),
      m_destinationFormat(other.m_destinationFormat) {
    if (other.m_pContext) m_pContext = CreateContext(m_width, m_height, m_sourceFormat, m_destinationFormat);
}

FfmpegImageConverter& FfmpegImageConverter::operator=(const FfmpegImageConverter& other) {
    if (this != &other) {
        FfmpegImageConverter copy(other);
        *this = std::move(copy);
    }
    return *this;
}

FfmpegImageConverter::FfmpegImageConverter(FfmpegImageConverter&& other) noexcept
    : m_pContext(std::move(other.m_pContext)),
      m_width(other.m_width),
      m_height(other.m_height),
      m_sourceFormat(other.m_sourceFormat),
      m_destinationFormat(other.m_destinationFormat) {}

FfmpegImageConverter& FfmpegImageConverter::operator=(FfmpegImageConverter&& other) noexcept {
    if (this != &other) {
        m_pContext = std::move(other.m_pContext);
        m_width = other.m_width;
        m_height = other.m_height;
        m_sourceFormat = other.m_sourceFormat;
        m_destinationFormat = other.m_destinationFormat;
    }
    return *this;
}

void FfmpegImageConverter::Convert(const AVFrame* source, AVFrame* destination) const {
    if (!m_pContext) HALVORA_THROW("FfmpegImageConverter has no conversion context");
    if (!source || !destination) HALVORA_THROW("FfmpegImageConverter::Convert needs two frames");
    sws_scale(m_pContext.get(), source->data, source->linesize, 0, m_height, destination->data, destination->linesize);
}

}  // namespace RuvarEduzid
}  // namespace Halvora

using Halvora::RuvarEduzid::SwsContextPtr;

unsigned char* RuvarEduzid_YV420toRGB24(const unsigned char* y, const unsigned char* v, const unsigned char* u,
                                        int width, int height, int strideY, int strideUV, int* outStride) {
    if (!y || !u || !v) {
        HLOG_ERROR << "RuvarEduzid_YV420toRGB24 called without planes";
        return nullptr;
    }
    SwsContextPtr sws(sws_getContext(width, height, AV_PIX_FMT_YUV420P, width, height, AV_PIX_FMT_RGB24, 0, nullptr,
                                     nullptr, nullptr));
    if (!sws) {
        HLOG_ERROR << "RuvarEduzid_YV420toRGB24 cannot convert a " << width << "x" << height << " picture";
        return nullptr;
    }
    uint8_t* rgb[4] = {nullptr, nullptr, nullptr, nullptr};
    int rgbStride[4] = {0, 0, 0, 0};
    int ret = av_image_alloc(rgb, rgbStride, width, height, AV_PIX_FMT_RGB24, 32);
    if (ret < 0) {
        HLOG_ERROR << "RuvarEduzid_YV420toRGB24 could not allocate " << width << "x" << height
                   << " RGB: " << Halvora::RuvarEduzid::AvErrorText(ret);
        return nullptr;
    }
    const uint8_t* const src[4] = {y, u, v, nullptr};
    const int srcStride[4] = {strideY, strideUV, strideUV, 0};
    ret = sws_scale(sws.get(), src, srcStride, 0, height, rgb, rgbStride);
    if (ret <= 0) {
        av_freep(&rgb[0]);
        HLOG_ERROR << "RuvarEduzid_YV420toRGB24 conversion failed";
        return nullptr;
    }
    if (outStride) *outStride = rgbStride[0];
    return rgb[0];
}

void RuvarEduzid_ReleaseBuffer(void* buffer) { av_free(buffer); }
