#include "RuvarEduzid/AVFrameProxy.h"

#include "Common/Exception.h"
#include "RuvarEduzid/FfmpegPtr.h"
#include "RuvarEduzid/FrameLayout.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace Halvora {
namespace RuvarEduzid {

using namespace Video::Native;

namespace {

bool IsEncoderYuv420P(const AVFrame* frame) {
    return frame->format == AV_PIX_FMT_YUV420P || frame->format == AV_PIX_FMT_YUVJ420P;
}

AVFramePtr AllocateEncoderFrame(const AVCodecContext* encoder) {
    if (!encoder) HALVORA_THROW("AVFrameProxy needs an encoder context");
    AVFramePtr frame(av_frame_alloc());
    if (!frame) HALVORA_THROW("Could not allocate a frame for the encoder");
    frame->format = encoder->pix_fmt;
    frame->width = encoder->width;
    frame->height = encoder->height;
    return frame;
}

void Reference(AVFrame* frame, const Detail::SourcePlanes& planes) {
    for (int i = 0; i < 3; ++i) {
        frame->data[i] = const_cast<uint8_t*>(planes.data[i]);
        frame->linesize[i] = planes.linesize[i];
    }
}

// Scales the source planes into new buffers of the frame's size and format.
void Scale(AVFrame* frame, SwsContextPtr* cache, int srcWidth, int srcHeight, AVPixelFormat srcFormat,
           const Detail::SourcePlanes& planes) {
    if (!cache) HALVORA_THROW("AVFrameProxy needs a scaler cache");
    int ret = av_frame_get_buffer(frame, 32);
    if (ret < 0)
        HALVORA_THROW("Could not allocate a " << frame->width << "x" << frame->height
                                              << " frame for the encoder: " << AvErrorText(ret));
    // The cached context is reused, or freed and replaced when the sizes or formats changed.
    cache->reset(sws_getCachedContext(cache->release(), srcWidth, srcHeight, srcFormat, frame->width, frame->height,
                                      static_cast<AVPixelFormat>(frame->format), SWS_BILINEAR, nullptr, nullptr,
                                      nullptr));
    if (!*cache) {
        const char* dstName = av_get_pix_fmt_name(static_cast<AVPixelFormat>(frame->format));
        HALVORA_THROW("Could not scale " << av_get_pix_fmt_name(srcFormat) << " " << srcWidth << "x" << srcHeight
                                         << " to " << (dstName ? dstName : "none") << " " << frame->width << "x"
                                         << frame->height);
    }
    ret = sws_scale(cache->get(), planes.data, planes.linesize, 0, srcHeight, frame->data, frame->linesize);
    if (ret <= 0) HALVORA_THROW("Scaling the frame for the encoder failed: " << AvErrorText(ret));
}

}  // namespace

AVFrameProxy::AVFrameProxy(IDecodedFrame* source, AVCodecContext* encoder, SwsContextPtr* cache) {
    if (!source) HALVORA_THROW("AVFrameProxy needs a source frame");
    AVFramePtr frame = AllocateEncoderFrame(encoder);
    const DecodedImageFormat format = source->Format();
    Detail::SourcePlanes planes;
    AVPixelFormat srcFormat;
    if (format == Yuv420P) {
        srcFormat = AV_PIX_FMT_YUV420P;
        planes = Detail::Yuv420PPlanes(*source);
    } else {
        srcFormat = Detail::PackedFfmpegFormat(format);
        if (srcFormat == AV_PIX_FMT_NONE) HALVORA_THROW("Unsupported input pixel format: " << static_cast<int>(format));
        planes = Detail::PackedPlanes(*source, Detail::PackedBytesPerPixel(srcFormat));
    }
    if (!planes.data[0] || (format == Yuv420P && (!planes.data[1] || !planes.data[2])))
        HALVORA_THROW("AVFrameProxy source frame has no pixels");
    if (format == Yuv420P && source->Width() == frame->width && source->Height() == frame->height &&
        IsEncoderYuv420P(frame.get())) {
        Reference(frame.get(), planes);
    } else {
        Scale(frame.get(), cache, source->Width(), source->Height(), srcFormat, planes);
    }
    m_pFrame = std::move(frame);
}

AVFrameProxy::AVFrameProxy(const Orvi::Yuv420PImage& image, AVCodecContext* encoder, SwsContextPtr* cache) {
    AVFramePtr frame = AllocateEncoderFrame(encoder);
    Detail::SourcePlanes planes;
    const cv::Mat* mats[3] = {&image.yMat, &image.uMat, &image.vMat};
    for (int i = 0; i < 3; ++i) {
        planes.data[i] = mats[i]->data;
        planes.linesize[i] = static_cast<int>(mats[i]->step[0]);
    }
    if (!planes.data[0] || !planes.data[1] || !planes.data[2]) HALVORA_THROW("AVFrameProxy source image is empty");
    const int cols = image.yMat.cols;
    const int rows = image.yMat.rows;
    // The chroma planes are read as half-size planes: they must hold that much.
    for (const cv::Mat* chroma : {&image.uMat, &image.vMat}) {
        if (chroma->cols < (cols + 1) / 2 || chroma->rows < (rows + 1) / 2)
            HALVORA_THROW("AVFrameProxy source image has chroma planes of " << chroma->cols << "x" << chroma->rows
                                                                            << " for a luma plane of " << cols
                                                                            << "x" << rows);
    }
    if (cols == frame->width && rows == frame->height && IsEncoderYuv420P(frame.get())) {
        Reference(frame.get(), planes);
    } else {
        Scale(frame.get(), cache, cols, rows, AV_PIX_FMT_YUV420P, planes);
    }
    m_pFrame = std::move(frame);
}

AVFrameProxy::~AVFrameProxy() = default;

}  // namespace RuvarEduzid
}  // namespace Halvora
