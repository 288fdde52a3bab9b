#include "RuvarEduzid/DecodedAvFrame.h"

#include "Common/Exception.h"
#include "Common/Logger.h"
#include "RuvarEduzid/FfmpegPtr.h"
#include "RuvarEduzid/FrameLayout.h"

#include <cstring>

extern "C" {
#include <ffnvcodec/dynlink_cuda.h>
#include <libavutil/hwcontext.h>
#include <libavutil/hwcontext_cuda.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

namespace Halvora {
namespace RuvarEduzid {

using namespace Video::Native;

namespace {

const char* FormatName(AVPixelFormat format) {
    const char* name = av_get_pix_fmt_name(format);
    return name ? name : "none";
}

// A new AV_PIX_FMT_YUV420P picture of width x height converted from the given planes with the
// library's default algorithm (only the layout changes). Null when swscale refuses the
// conversion or memory runs out.
AVFramePtr ConvertToYuv420P(int width, int height, AVPixelFormat srcFormat, const uint8_t* const srcData[],
                            const int srcLinesize[]) {
    SwsContextPtr sws(sws_getContext(width, height, srcFormat, width, height, AV_PIX_FMT_YUV420P, 0, nullptr,
                                     nullptr, nullptr));
    if (!sws) {
        HLOG_ERROR << "Could not create a conversion from " << FormatName(srcFormat) << " " << width << "x" << height
                   << " to yuv420p";
        return nullptr;
    }
    AVFramePtr out(av_frame_alloc());
    if (!out) return nullptr;
    out->format = AV_PIX_FMT_YUV420P;
    out->width = width;
    out->height = height;
    int ret = av_frame_get_buffer(out.get(), 32);
    if (ret < 0) {
        HLOG_ERROR << "Could not allocate a " << width << "x" << height << " picture: " << AvErrorText(ret);
        return nullptr;
    }
    int rows = sws_scale(sws.get(), srcData, srcLinesize, 0, height, out->data, out->linesize);
    if (rows <= 0) {
        HLOG_ERROR << "Conversion from " << FormatName(srcFormat) << " to yuv420p failed: " << AvErrorText(rows);
        return nullptr;
    }
    return out;
}

}  // namespace

DecodedAvFrame::DecodedAvFrame(int64_t fileTimeUtc, AVFrame* frame) : m_fileTimeUtc(fileTimeUtc) {
    if (!frame) {
        HLOG_ERROR << "DecodedAvFrame made from a null picture";
        return;
    }
    const auto format = static_cast<AVPixelFormat>(frame->format);
    if (format == AV_PIX_FMT_YUV420P || format == AV_PIX_FMT_YUVJ420P || format == AV_PIX_FMT_CUDA) {
        m_pFrame.reset(av_frame_clone(frame));
        if (!m_pFrame) {
            HLOG_ERROR << "Could not reference the decoded picture";
        }
        return;
    }
    m_pFrame = ConvertToYuv420P(frame->width, frame->height, format, frame->data, frame->linesize);
}

DecodedAvFrame::DecodedAvFrame(IDecodedFrame* other) {
    if (!other) {
        m_decoderState = Error;
        HLOG_ERROR << "DecodedAvFrame copied from a null frame";
        return;
    }
    m_decoderState = other->GetDecoderState();
    m_fileTimeUtc = other->GetFileTimeUtc();
    if (m_decoderState != Ok) return;

    const int width = other->Width();
    const int height = other->Height();
    const DecodedImageFormat sourceFormat = other->Format();
    Detail::SourcePlanes planes;
    AVPixelFormat srcFormat;
    if (sourceFormat == Yuv420P) {
        // Planar sources are read through their own plane pointers and strides.
        srcFormat = AV_PIX_FMT_YUV420P;
        planes = Detail::Yuv420PPlanes(*other);
        if (!planes.data[0] || !planes.data[1] || !planes.data[2]) {
            HLOG_ERROR << "DecodedAvFrame copied from a YUV 4:2:0 frame without planes";
            return;
        }
    } else if (sourceFormat == Cuda) {
        HLOG_ERROR << "DecodedAvFrame cannot copy a CUDA frame; move it to system memory first";
        return;
    } else {
        // Packed layouts; values outside the table are read as BGR24.
        srcFormat = Detail::PackedFfmpegFormat(sourceFormat);
        if (srcFormat == AV_PIX_FMT_NONE) srcFormat = AV_PIX_FMT_BGR24;
        planes = Detail::PackedPlanes(*other, Detail::PackedBytesPerPixel(srcFormat));
        if (!planes.data[0]) {
            HLOG_ERROR << "DecodedAvFrame copied from a packed frame without pixels";
            return;
        }
    }
    m_pFrame = ConvertToYuv420P(width, height, srcFormat, planes.data, planes.linesize);
}

DecodedAvFrame::~DecodedAvFrame() = default;

bool DecodedAvFrame::IsCuda() const { return m_pFrame && m_pFrame->format == AV_PIX_FMT_CUDA; }

const unsigned char* DecodedAvFrame::ImageData() const { return m_pFrame ? m_pFrame->data[0] : nullptr; }

int DecodedAvFrame::DataSize() const {
    if (!m_pFrame) return 0;
    int size = av_image_get_buffer_size(AV_PIX_FMT_YUV420P, m_pFrame->width, m_pFrame->height, 64);
    return size < 0 ? 0 : size;
}

int DecodedAvFrame::Width() const { return m_pFrame ? m_pFrame->width : 0; }
int DecodedAvFrame::Height() const { return m_pFrame ? m_pFrame->height : 0; }
int DecodedAvFrame::StrideRGB() const { return 0; }
int DecodedAvFrame::StrideY() const { return m_pFrame ? m_pFrame->linesize[0] : 0; }
int DecodedAvFrame::StrideUV() const { return m_pFrame ? m_pFrame->linesize[1] : 0; }
bool DecodedAvFrame::IsVerticallyFlipped() const { return false; }

DecodedImageFormat DecodedAvFrame::Format() const { return IsCuda() ? Cuda : Yuv420P; }

const unsigned char* DecodedAvFrame::GetY() const { return m_pFrame ? m_pFrame->data[0] : nullptr; }

const unsigned char* DecodedAvFrame::GetV() const {
    if (IsCuda()) HALVORA_THROW("Cannot get V surface with cuda pixel format");
    return m_pFrame ? m_pFrame->data[2] : nullptr;
}

const unsigned char* DecodedAvFrame::GetU() const {
    if (IsCuda()) HALVORA_THROW("Cannot get U surface with cuda pixel format");
    return m_pFrame ? m_pFrame->data[1] : nullptr;
}

const unsigned char* DecodedAvFrame::GetUV() const {
    if (!IsCuda()) HALVORA_THROW("UV surface only valid for CUDA pixel format");
    return m_pFrame->data[1];
}

long long DecodedAvFrame::GetFileTimeUtc() const { return m_fileTimeUtc; }
DecoderState DecodedAvFrame::GetDecoderState() const { return m_decoderState; }

void DecodedAvFrame::GetParam(unsigned int id, void* buffer, size_t size) const {
    constexpr size_t contextSize = sizeof(CUcontext);
    static_assert(contextSize == 8, "a CUDA context is handed out as 8 bytes");
    if (id != 0) HALVORA_THROW("DecodedAvFrame::GetParam called with unknown param " << id);
    if (size < contextSize) HALVORA_THROW("Buffer size must be larger than " << contextSize);
    if (!buffer) HALVORA_THROW("buffer == nullptr");
    if (!m_pFrame || !m_pFrame->hw_frames_ctx)
        HALVORA_THROW("DecodedAvFrame::GetParam: the picture has no hardware frames context");
    const auto* frames = reinterpret_cast<const AVHWFramesContext*>(m_pFrame->hw_frames_ctx->data);
    if (!frames->device_ctx || frames->device_ctx->type != AV_HWDEVICE_TYPE_CUDA || !frames->device_ctx->hwctx)
        HALVORA_THROW("DecodedAvFrame::GetParam: the picture is not on a CUDA device");
    const auto* cuda = static_cast<const AVCUDADeviceContext*>(frames->device_ctx->hwctx);
    CUcontext context = cuda->cuda_ctx;
    std::memcpy(buffer, &context, contextSize);
}

void DecodedAvFrame::MoveToRam() {
    if (!IsCuda()) return;
    if (!m_pFrame->hw_frames_ctx) {
        HLOG_ERROR << "Could not move the CUDA picture to system memory: it has no hardware frames context";
        return;
    }
    AVFramePtr transfer(av_frame_alloc());
    if (!transfer) return;
    transfer->format = AV_PIX_FMT_NV12;
    transfer->width = m_pFrame->width;
    transfer->height = m_pFrame->height;
    int ret = av_hwframe_transfer_data(transfer.get(), m_pFrame.get(), 0);
    if (ret != 0) {
        HLOG_ERROR << "Could not move the CUDA picture to system memory: " << AvErrorText(ret);
        return;
    }
    AVFramePtr converted = ConvertToYuv420P(m_pFrame->width, m_pFrame->height,
                                            static_cast<AVPixelFormat>(transfer->format), transfer->data,
                                            transfer->linesize);
    if (!converted) return;
    m_pFrame = std::move(converted);
}

}  // namespace RuvarEduzid
}  // namespace Halvora
