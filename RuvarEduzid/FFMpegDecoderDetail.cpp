#include "RuvarEduzid/FFMpegDecoderDetail.h"

#include "Common/Exception.h"
#include "Common/Logger.h"
#include "Common/StringUtility.h"
#include "Rtsp/RtspInput.h"
#include "Rtsp/RtspUrl.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <climits>
#include <cstring>

namespace Halvora {
namespace RuvarEduzid {

using Halvora::Common::StringUtility;

namespace {
bool IsYuv420(AVPixelFormat f) { return f == AV_PIX_FMT_YUV420P || f == AV_PIX_FMT_YUVJ420P; }

// The option that asks FFmpeg's own RTSP client for a transport (for addresses the RTSP layer does
// not parse).
void SetFFmpegTransport(AVDictionaryGuard& options, Rtsp::RtspTransportMode transport) {
    switch (transport) {
        case Rtsp::RtspTransportMode::PreferTcp: options.Set("rtsp_flags", "prefer_tcp"); break;
        case Rtsp::RtspTransportMode::Udp: options.Set("rtsp_transport", "udp"); break;
        case Rtsp::RtspTransportMode::UdpMulticast: options.Set("rtsp_transport", "udp_multicast"); break;
        case Rtsp::RtspTransportMode::Interleaved: options.Set("rtsp_transport", "tcp"); break;
    }
}
}  // namespace

namespace FFMpegDecoderDetail {

int interrupt_cb(void* opaque) {
    auto* context = static_cast<InterruptContext*>(opaque);
    if (!context) return 0;
    if (context->interrupted && context->interrupted->load()) return 1;
    // Once the watchdog gave up on the source, every later wait ends at once: the source is lost
    // (the read it abandoned may still hand out what FFmpeg held back, such as the last frame).
    if (context->timedOut) return 1;
    if (context->timeoutMs == 0) return 0;
    const int64_t elapsedMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(WatchdogNow() - context->lastActivity).count();
    if (elapsedMs > context->timeoutMs) {
        HLOG_WARNING << "FFMpegDecoder network timeout: " << context->timeoutMs << " ms";
        short before = context->expirations;
        if (context->expirations < SHRT_MAX) context->expirations = static_cast<short>(before + 1);
        if (before >= 2) {
            context->timedOut = true;
            return 1;
        }
        context->timeoutMs = context->timeoutMs > INT_MAX / 2 ? INT_MAX : context->timeoutMs * 2;
        return 0;
    }
    return 0;
}

OpenedInput::OpenedInput() = default;
OpenedInput::OpenedInput(AVFormatContext* context) : m_context(context) {}
OpenedInput::OpenedInput(std::unique_ptr<Rtsp::RtspInput> rtsp) : m_rtsp(std::move(rtsp)) {}
OpenedInput::OpenedInput(OpenedInput&&) noexcept = default;
OpenedInput& OpenedInput::operator=(OpenedInput&&) noexcept = default;
OpenedInput::~OpenedInput() = default;

AVFormatContext* OpenedInput::get() const { return m_rtsp ? m_rtsp->Context() : m_context.get(); }

void OpenedInput::reset() {
    m_rtsp.reset();
    m_context.reset();
}

OpenedInput GetVideoFormatContext(const std::wstring& path, InterruptContext* interruptContext, int rtspTransport) {
    const std::wstring maskedPath = StringUtility::HideRtspPassword(path);
    HLOG_INFO << "GetVideoFormatContext for: " << maskedPath;
    AVFormatContextPtr context(avformat_alloc_context());
    if (!context) HALVORA_THROW(L"Can't open image file: " << maskedPath << L" Err: " << AvErrorText(AVERROR(ENOMEM), 1024));
    const std::string utf8Path = StringUtility::WstringToString(path);

    const bool rtsp = path.find(L"rtsp://") != std::wstring::npos;
    const bool http = path.find(L"http://") != std::wstring::npos;
    const bool https = path.find(L"https://") != std::wstring::npos;
    const Rtsp::RtspTransportMode transport = Rtsp::TransportFromCode(rtspTransport);

    if (interruptContext && (rtsp || http || https)) {
        context->interrupt_callback.callback = &interrupt_cb;
        context->interrupt_callback.opaque = interruptContext;
    }

    int result = 0;
    Rtsp::RtspUrl rtspUrl;
    if (rtsp && rtspUrl.Parse(utf8Path)) {
        // "rtsp://" addresses open through the library's RTSP layer (the RTSP extensions need it).
        Rtsp::RtspSessionOptions rtspOptions;
        rtspOptions.transport = transport;
        // The interrupt callback ends every wait within the decoder's time-outs (it allows up to
        // four times the time-out); the layer's own bound is only the last resort behind it.
        const int timeoutMs = interruptContext ? interruptContext->timeoutMs : 0;
        const int bound = timeoutMs > 0 ? static_cast<int>(std::min<int64_t>(int64_t{timeoutMs} * 8, 600000)) : 60000;
        rtspOptions.openTimeoutMs = std::max(bound, 10000);
        rtspOptions.readTimeoutMs = std::max(bound, 10000);
        // A GET_PARAMETER reply is awaited as long as a reply while opening.
        rtspOptions.requestTimeoutMs = timeoutMs > 0 ? timeoutMs : 5000;
        std::unique_ptr<Rtsp::RtspInput> input =
            Rtsp::RtspInput::Open(context.release(), utf8Path, rtspOptions, &result);
        if (input) return OpenedInput(std::move(input));
    } else {
        AVDictionaryGuard options;
        if (rtsp) SetFFmpegTransport(options, transport);
        // On failure FFmpeg frees the context.
        AVFormatContext* opened = context.release();
        result = avformat_open_input(&opened, utf8Path.c_str(), nullptr, &options);
        if (result >= 0) return OpenedInput(opened);
    }
    if (result == AVERROR_INVALIDDATA) {
        HLOG_WARNING << "Server doesn't support reconnection or stream is down.";
    }
    HALVORA_THROW(L"Can't open image file: " << maskedPath << L" Err: " << AvErrorText(result, 1024));
}

void GetVideoStream(AVFormatContext* context, AVStream** stream, int* index) {
    if (avformat_find_stream_info(context, nullptr) < 0) HALVORA_THROW("Can't find stream info");
    *index = av_find_best_stream(context, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (*index < 0)
        HALVORA_THROW("Can't find stream info for file: " << StringUtility::HideRtspPassword(context->url ? context->url : ""));
    *stream = context->streams[*index];
}

AVCodecContextPtr GetVideoCodecContext(AVFormatContext* context, AVStream* stream, bool hwAccel, const AVCodec** codec) {
    AVCodecID codecId = stream->codecpar->codec_id;
    const AVCodec* found = nullptr;
    if (hwAccel) {
        void* iterator = nullptr;
        while (const AVCodec* candidate = av_codec_iterate(&iterator)) {
            if (!av_codec_is_decoder(candidate) || candidate->id != codecId) continue;
            if (!candidate->wrapper_name || std::strcmp(candidate->wrapper_name, "cuvid") != 0) continue;
            bool cuda = false;
            for (const AVPixelFormat* f = candidate->pix_fmts; f && *f != AV_PIX_FMT_NONE; ++f)
                if (*f == AV_PIX_FMT_CUDA) cuda = true;
            if (cuda) {
                found = candidate;
                break;
            }
        }
    }
    if (!found) found = avcodec_find_decoder(codecId);
    if (!found)
        HALVORA_THROW("Can't find decoder. File: " << StringUtility::HideRtspPassword(context->url ? context->url : "")
                                                   << ", hwAccel: " << (hwAccel ? 1 : 0));
    AVCodecContextPtr codecContext(avcodec_alloc_context3(found));
    if (!codecContext || avcodec_parameters_to_context(codecContext.get(), stream->codecpar) < 0)
        HALVORA_THROW("Can't get stream parameters");
    if (codec) *codec = found;
    return codecContext;
}

AVPixelFormat GetYuvFormat(AVCodecContext*, const AVPixelFormat* formats) {
    for (const AVPixelFormat* f = formats; *f != AV_PIX_FMT_NONE; ++f)
        if (IsYuv420(*f)) return *f;
    // No 4:2:0 layout offered (4:2:2, 4:4:4, high bit depth): take the decoder's own software
    // layout; the frame converts it to 4:2:0.
    for (const AVPixelFormat* f = formats; *f != AV_PIX_FMT_NONE; ++f) {
        const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(*f);
        if (descriptor && !(descriptor->flags & AV_PIX_FMT_FLAG_HWACCEL)) return *f;
    }
    // Called by FFmpeg, possibly on one of its threads: an exception must not unwind through it.
    HLOG_ERROR << "Could not find a supported pixel format in codec format list";
    return AV_PIX_FMT_NONE;
}

AVPixelFormat GetAnyFormat(AVCodecContext* context, const AVPixelFormat* formats) {
    for (const AVPixelFormat* f = formats; *f != AV_PIX_FMT_NONE; ++f)
        if (*f == AV_PIX_FMT_CUDA) return *f;
    return GetYuvFormat(context, formats);
}

AVBSFContextPtr FindBsf(AVFormatContext* input, AVCodecContext* codec) {
    const char* name = input->iformat && input->iformat->name ? input->iformat->name : "";
    const char* longName = input->iformat && input->iformat->long_name ? input->iformat->long_name : "";
    const AVBitStreamFilter* filter = nullptr;
    if (std::strcmp(name, "mov,mp4,m4a,3gp,3g2,mj2") == 0 || std::strcmp(name, "matroska,webm") == 0) {
        if (codec->codec_id == AV_CODEC_ID_H264) filter = av_bsf_get_by_name("h264_mp4toannexb");
        else if (codec->codec_id == AV_CODEC_ID_HEVC) filter = av_bsf_get_by_name("hevc_mp4toannexb");
    }
    HLOG_INFO << "Input format: " << name << " (" << longName << "), BSF: " << (filter ? filter->name : "none");
    if (!filter) return nullptr;
    AVBSFContext* context = nullptr;
    if (av_bsf_alloc(filter, &context) < 0) {
        HLOG_ERROR << "Failed to allocate BSF";
        return nullptr;
    }
    AVBSFContextPtr guard(context);
    if (avcodec_parameters_from_context(context->par_in, codec) < 0) {
        HLOG_ERROR << "Failed to set BSF parameters";
        return nullptr;
    }
    context->time_base_in = codec->pkt_timebase;
    if (av_bsf_init(context) < 0) {
        HLOG_ERROR << "Failed to initialize BSF";
        return nullptr;
    }
    return guard;
}

}  // namespace FFMpegDecoderDetail

}  // namespace RuvarEduzid
}  // namespace Halvora
