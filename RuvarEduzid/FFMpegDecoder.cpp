#include "RuvarEduzid/FFMpegDecoder.h"

#include "Common/Exception.h"
#include "Common/Logger.h"
#include "Common/StringUtility.h"
#include "RuvarEduzid/DecodedAvFrame.h"
#include "RuvarEduzid/DecoderUtils.h"
#include "RuvarEduzid/EncodedAvPacket.h"
#include "RuvarEduzid/FFMpegGate.h"
#include "RuvarEduzid/Native/EmptyFrame.h"
#include "RuvarEduzid/Native/EmptyPacket.h"
#include "RuvarEduzid/RuvarEduzidSettings.h"
#include "Rtsp/RtspExtensions.h"
#include "Rtsp/RtspInput.h"
#include "Rtsp/RtspUrl.h"

extern "C" {
#include <libavutil/hwcontext.h>
#include <libavutil/mathematics.h>
#include <libavutil/pixdesc.h>
}

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/uuid/string_generator.hpp>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace Halvora {
namespace RuvarEduzid {

using Halvora::Common::DateTime;
using Halvora::Common::StringUtility;
using namespace Halvora::Video::Native;

namespace {

// Guards the live buffers of all decoders of the process.
std::mutex g_bufferMutex;
// Signalled on every append, on the end of live input and on Interrupt.
std::condition_variable g_bufferAppended;

constexpr AVRational kMicroseconds{1, 1000000};
constexpr AVRational kFileTimeTicks{1, 10000000};
// FFmpeg reads memory input through a buffer of at most this size.
constexpr size_t kMaxIoBufferSize = 1 << 20;
constexpr size_t kMinIoBufferSize = 4096;

std::shared_ptr<IDecodedFrame> EmptyFrameOf(DecoderState state) { return std::make_shared<EmptyFrame>(state); }
std::shared_ptr<IEncodedPacket> EmptyPacketOf(DemuxerState state) { return std::make_shared<EmptyPacket>(state); }

int IoBufferSize(size_t size) { return static_cast<int>(std::clamp(size, kMinIoBufferSize, kMaxIoBufferSize)); }

// FFmpeg's error text for `code` (1024-byte buffer).
std::string ErrorText(int code) {
    char text[1024] = {0};
    av_strerror(code, text, sizeof text);
    return text;
}

// A custom I/O context with its FFmpeg buffer, freed together.
void FreeIoContext(AVIOContext*& io) {
    if (!io) return;
    av_freep(&io->buffer);
    avio_context_free(&io);
}

AVIOContext* MakeIoContext(size_t size, void* opaque, int (*read)(void*, uint8_t*, int)) {
    int ioSize = IoBufferSize(size);
    auto* buffer = static_cast<unsigned char*>(av_malloc(ioSize));
    if (!buffer) return nullptr;
    AVIOContext* io = avio_alloc_context(buffer, ioSize, 0, opaque, read, nullptr, nullptr);
    if (!io) av_free(buffer);
    return io;
}

bool IsYuv420(AVPixelFormat f) { return f == AV_PIX_FMT_YUV420P || f == AV_PIX_FMT_YUVJ420P; }

}  // namespace

// ---- FFMpegDecoderDetail ----------------------------------------------------------

namespace FFMpegDecoderDetail {

boost::posix_time::ptime WatchdogNow() {
    // UTC rather than local time: a daylight-saving change must not stretch or cut a time-out.
    return boost::posix_time::second_clock::universal_time();
}

int interrupt_cb(void* opaque) {
    auto* context = static_cast<InterruptContext*>(opaque);
    if (!context) return 0;
    if (context->interrupted && context->interrupted->load()) return 1;
    if (context->timeoutMs == 0) return 0;
    int64_t elapsedMs = (WatchdogNow() - context->lastActivity).total_milliseconds();
    if (elapsedMs > context->timeoutMs) {
        HLOG_WARNING << "FFMpegDecoder network timeout: " << context->timeoutMs << " ms";
        short before = context->expirations;
        if (context->expirations < SHRT_MAX) context->expirations = static_cast<short>(before + 1);
        if (before >= 2) return 1;
        context->timeoutMs = context->timeoutMs > INT_MAX / 2 ? INT_MAX : context->timeoutMs * 2;
        return 0;
    }
    return 0;
}

AVFormatContext* GetVideoFormatContext(const std::wstring& path, InterruptContext* interruptContext,
                                       const int* rtspTransport) {
    std::wstring maskedPath = StringUtility::HideRtspPassword(path);
    HLOG_INFO << "GetVideoFormatContext for: " << maskedPath;
    AVFormatContext* context = avformat_alloc_context();
    if (!context) HALVORA_THROW(L"Can't open image file: " << maskedPath << L" Err: " << ErrorText(AVERROR(ENOMEM)));
    std::string utf8Path = StringUtility::WstringToString(path);

    bool rtsp = path.find(L"rtsp://") != std::wstring::npos;
    bool http = path.find(L"http://") != std::wstring::npos;
    bool https = path.find(L"https://") != std::wstring::npos;

    AVDictionaryGuard options;
    if (rtsp) {
        switch (rtspTransport ? *rtspTransport : 0) {
            case 1: options.Set("rtsp_flags", "prefer_tcp"); break;
            case 2: options.Set("rtsp_transport", "udp"); break;
            case 3: options.Set("rtsp_transport", "udp_multicast"); break;
            default: options.Set("rtsp_transport", "tcp"); break;
        }
    }
    if (interruptContext && (rtsp || http || https)) {
        context->interrupt_callback.callback = &interrupt_cb;
        context->interrupt_callback.opaque = interruptContext;
    }

    // "rtsp://" addresses open through the library's RTSP layer (the RTSP extensions need it);
    // on failure it frees the context, as FFmpeg does.
    int result = 0;
    Rtsp::RtspUrl rtspUrl;
    if (rtsp && rtspUrl.Parse(utf8Path)) {
        Rtsp::RtspSessionOptions rtspOptions;
        switch (rtspTransport ? *rtspTransport : 0) {
            case 1: rtspOptions.transport = Rtsp::RtspTransportMode::PreferTcp; break;
            case 2: rtspOptions.transport = Rtsp::RtspTransportMode::Udp; break;
            case 3: rtspOptions.transport = Rtsp::RtspTransportMode::UdpMulticast; break;
            default: rtspOptions.transport = Rtsp::RtspTransportMode::Interleaved; break;
        }
        // The interrupt callback ends every wait within the decoder's time-outs (it allows up to
        // four times the time-out); the layer's own bound is only the last resort behind it.
        const int timeoutMs = interruptContext ? interruptContext->timeoutMs : 0;
        const int bound = timeoutMs > 0 ? static_cast<int>(std::min<int64_t>(int64_t{timeoutMs} * 8, 600000)) : 60000;
        rtspOptions.openTimeoutMs = std::max(bound, 10000);
        rtspOptions.readTimeoutMs = std::max(bound, 10000);
        // A GET_PARAMETER reply is awaited as long as a reply while opening.
        rtspOptions.requestTimeoutMs = timeoutMs > 0 ? timeoutMs : 5000;
        result = Rtsp::RtspInput::Open(&context, utf8Path, rtspOptions);
    } else {
        // On failure FFmpeg frees the context.
        result = avformat_open_input(&context, utf8Path.c_str(), nullptr, &options);
    }
    if (result >= 0) return context;
    if (result == AVERROR_INVALIDDATA) {
        HLOG_WARNING << "Server doesn't support reconnection or stream is down.";
    }
    HALVORA_THROW(L"Can't open image file: " << maskedPath << L" Err: " << ErrorText(result));
}

void GetVideoStream(AVFormatContext* context, AVStream** stream, int* index) {
    if (avformat_find_stream_info(context, nullptr) < 0) HALVORA_THROW("Can't find stream info");
    *index = av_find_best_stream(context, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (*index < 0) HALVORA_THROW("Can't find stream info for file: " << (context->url ? context->url : ""));
    *stream = context->streams[*index];
}

AVCodecContext* GetVideoCodecContext(AVFormatContext* context, AVStream* stream, bool hwAccel, const AVCodec** codec) {
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
        HALVORA_THROW("Can't find decoder. File: " << (context->url ? context->url : "") << ", hwAccel: "
                                                   << (hwAccel ? 1 : 0));
    AVCodecContextPtr codecContext(avcodec_alloc_context3(found));
    if (!codecContext || avcodec_parameters_to_context(codecContext.get(), stream->codecpar) < 0)
        HALVORA_THROW("Can't get stream parameters");
    if (codec) *codec = found;
    return codecContext.release();
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

AVBSFContext* FindBsf(AVFormatContext* input, AVCodecContext* codec) {
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
    return guard.release();
}

}  // namespace FFMpegDecoderDetail

using namespace FFMpegDecoderDetail;

// ---- construction and identity ------------------------------------------------------

FFMpegDecoder::FFMpegDecoder() {
    RuvarEduzidSettings::Load();
    m_decoderSurfaces = RuvarEduzidSettings::GetDecoderSurfaces();
    m_liveBufferLimitMB = RuvarEduzidSettings::GetLiveBufferSizeMB();
    m_connectionTimeoutMs = RuvarEduzidSettings::GetConnectionTimeout();
    m_getFrameTimeoutMs = RuvarEduzidSettings::GetGetNextTimeout();
    m_rtspTransport = RuvarEduzidSettings::GetRtspTransport();
    m_ffmpegLogLevel = RuvarEduzidSettings::GetFFmpegLogLevel();
    m_decoderThreads = RuvarEduzidSettings::GetDecoderThreads();
    m_interruptContext.lastActivity = WatchdogNow();
    m_interruptContext.interrupted = &m_interrupted;
}

FFMpegDecoder::~FFMpegDecoder() { ReleaseAll(); }

void FFMpegDecoder::ReleaseAll() {
    av_bsf_free(&m_pBsfCtx);
    m_heldFrame.reset();
    av_packet_free(&m_pReadPacket);
    av_frame_free(&m_pFrame);
    // Frees the device reference of the hardware paths too.
    avcodec_free_context(&m_pCodecCtx);
    // A custom I/O context is not closed with the input: it goes after it.
    Rtsp::RtspInput::Close(&m_pFormatCtx);
    FreeIoContext(m_pIoCtx);
    if (m_bufferInput) {
        std::lock_guard<std::mutex> lock(g_bufferMutex);
        std::free(m_memoryInput.data);
        m_memoryInput = MemoryInput();
    }
    m_onDecoderOpen = nullptr;
    m_onFrameReceived = nullptr;
}

boost::uuids::uuid FFMpegDecoder::GetId() {
    return boost::uuids::string_generator()(DecoderUtils::HalvoraFFmpegDecoderIdText);
}

std::wstring FFMpegDecoder::GetName() { return L" Halvora FFmpeg Decoder"; }

void FFMpegDecoder::OnDecoderOpen(std::function<int(AVFormatContext*)> hook) { m_onDecoderOpen = std::move(hook); }

void FFMpegDecoder::OnFrameReceived(std::function<unsigned long long(AVFrame*)> hook) {
    m_onFrameReceived = std::move(hook);
}

// ---- opening --------------------------------------------------------------------------

void FFMpegDecoder::ProcessParameters(DecodedImageFormat& requestedFormat, const ParameterList* parameters) {
    for (const auto& parameter : *parameters) {
        if (!parameter) continue;
        HLOG_INFO << "FFMpegDecoder::ProcessParameter: " << parameter->kind;
        switch (parameter->kind) {
            case 0: {
                const auto& formats = static_cast<const ImageFormatsParameter&>(*parameter).formats;
                if (formats.size() != 1) {
                    HLOG_WARNING << "Format priority list not implemented";
                }
                if (!formats.empty()) requestedFormat = formats.front();
                break;
            }
            case 1: {
                const auto& p = static_cast<const CuvidDecoderParameter&>(*parameter);
                m_decoderType = static_cast<DecoderTypes>(p.decoderType);
                m_gpuId = p.gpuId;
                HLOG_INFO << "FFMpegDecoder::ProcessParameters. HW decoding, GpuID:" << m_gpuId
                          << ", Decoder Surfaces: " << m_decoderSurfaces
                          << ", HwDecoder: " << static_cast<int>(m_decoderType);
                break;
            }
            case 2: {
                float hours = static_cast<const UtcOffsetParameter&>(*parameter).utcOffsetHours;
                if (hours != 0.0f) {
                    HLOG_TRACE << "Using UTC offset " << hours;
                    m_utcOffsetHours = hours;
                }
                break;
            }
            case 3:
                m_connectionTimeoutMs = static_cast<const RtspConnectionTimeoutParameter&>(*parameter).timeoutMs;
                HLOG_INFO << "FFMpegDecoder::ProcessParameters. ConnectionTimeoutMs:" << m_connectionTimeoutMs;
                break;
            case 4:
                m_getFrameTimeoutMs = static_cast<const RtspGetFrameTimeoutParameter&>(*parameter).timeoutMs;
                HLOG_INFO << "FFMpegDecoder::ProcessParameters. GetFrameTimeoutMs:" << m_getFrameTimeoutMs;
                break;
            case 5:
                m_decoderThreads = static_cast<const DecoderThreadsParameter&>(*parameter).threads;
                HLOG_INFO << "FFMpegDecoder::ProcessParameters. DecoderThreads:" << m_decoderThreads;
                break;
            default: break;
        }
    }
}

bool FFMpegDecoder::Initialize(const VideoFileInfo& info, const ParameterList* parameters) {
    if (m_pFormatCtx) return RefuseSecondOpening();
    try {
        DecodedImageFormat requestedFormat = Yuv420P;
        if (parameters) ProcessParameters(requestedFormat, parameters);
        if (m_decoderType != DecoderTypes::Software && requestedFormat != Cuda) {
            HLOG_ERROR << "Invalid parameter combination: AllowHwDecode = true && requestedFormat == "
                       << static_cast<int>(requestedFormat);
            return false;
        }
        FFMpegGate::EnsureInitialization(static_cast<FFMpegGate::LogLevel>(m_ffmpegLogLevel));
        m_startTimeUtc = info.startTime;
        // The watchdog is always armed for network sources so that Interrupt reaches blocking
        // reads; a time-out of 0 only disables the time limit.
        m_interruptContext.lastActivity = WatchdogNow();
        m_interruptContext.timeoutMs = m_connectionTimeoutMs;
        m_pFormatCtx = GetVideoFormatContext(info.path, &m_interruptContext, &m_rtspTransport);
        if (!m_pFormatCtx) {
            HLOG_ERROR << "Can't open " << StringUtility::HideRtspPassword(info.path);
            return false;
        }
        HLOG_INFO << "Init ffmpeg decoder with path: " << StringUtility::HideRtspPassword(info.path) << " StartTime "
                  << m_startTimeUtc;
        GetVideoStream(m_pFormatCtx, &m_pVideoStream, &m_videoStreamIndex);
        if (m_getFrameTimeoutMs != 0) m_interruptContext.timeoutMs = m_getFrameTimeoutMs;
        if (m_pVideoStream->start_time >= 1) m_streamStartPts = m_pVideoStream->start_time;
        return true;
    } catch (const Halvora::Common::Exception& e) {
        return InitializeFailed(e);
    }
}

bool FFMpegDecoder::RefuseSecondOpening() {
    // The input that is open stays as it is: the decoder goes on decoding it.
    HLOG_ERROR << "FFMpegDecoder::Initialize error: the decoder is already initialized";
    return false;
}

bool FFMpegDecoder::InitializeFailed(const Halvora::Common::Exception& e) {
    HLOG_ERROR << "FFMpegDecoder::Initialize error: " << e;
    // A failed decoder holds no half-opened input.
    Rtsp::RtspInput::Close(&m_pFormatCtx);
    m_pVideoStream = nullptr;
    return false;
}

bool FFMpegDecoder::InitializeRtsp(const VideoFileInfo& info, const ParameterList* parameters) {
    if (!Initialize(info, parameters)) return false;
    try {
        // The reply wait is timed from its own start, not from the start of the opening.
        m_interruptContext.lastActivity = WatchdogNow();
        int64_t value = 0;
        if (!rtsp_read_get_parameter(m_pFormatCtx, &value)) {
            HLOG_ERROR << "FFMpegDecoder::InitializeRtsp error: rtsp_read_get_parameter";
            return false;
        }
        set_rtpctx_range_start(m_pFormatCtx, value, 1);
        flush_packet_queue(m_pFormatCtx);
        return true;
    } catch (const Halvora::Common::Exception& e) {
        HLOG_ERROR << "FFMpegDecoder::InitializeRtsp error: " << e;
        return false;
    }
}

void FFMpegDecoder::OpenDecoder(DecoderTypes type, bool allowCuvid) {
    if (m_decoderOpen) HALVORA_THROW("Decoder is already open");
    bool tryCuvid = allowCuvid, tryCudaDevice = true;
    switch (static_cast<int>(type)) {
        case 0: tryCuvid = tryCudaDevice = false; break;
        case 1: tryCuvid = false; break;
        case 3: tryCudaDevice = false; break;
        default: break;
    }

    AVDictionaryGuard options;
    options.Set("gpu", std::to_string(m_gpuId).c_str());
    if (m_decoderSurfaces > 0) options.Set("surfaces", std::to_string(m_decoderSurfaces).c_str());
    int codecId = m_pVideoStream->codecpar->codec_id;
    const AVCodec* codec = nullptr;
    AVCodecContextPtr context;

    auto open = [&](AVCodecContextPtr candidate) {
        candidate->pkt_timebase = m_pVideoStream->time_base;
        // 0 lets FFmpeg count the cores; a negative count decodes on one thread. Frame threads
        // come first (slice threads only where a codec has no frame threads): they speed up any
        // stream, whereas slice threads need pictures cut into several slices, which few cameras
        // send. Each extra frame thread holds a picture back by one frame; pictures and times
        // stay those of one thread.
        candidate->thread_count = m_decoderThreads < 0 ? 1 : m_decoderThreads;
        candidate->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
        int result = avcodec_open2(candidate.get(), codec, &options);
        if (result < 0) {
            HLOG_WARNING << "Can't open codec : " << codecId << " err = " << result;
            return false;
        }
        context = std::move(candidate);
        return true;
    };

    if (tryCuvid) {
        AVCodecContextPtr candidate(GetVideoCodecContext(m_pFormatCtx, m_pVideoStream, true, &codec));
        candidate->get_format = &GetAnyFormat;
        // A failed CUVID open goes straight to software.
        if (!open(std::move(candidate))) tryCudaDevice = false;
    }
    if (!context && tryCudaDevice) {
        AVCodecContextPtr candidate(GetVideoCodecContext(m_pFormatCtx, m_pVideoStream, false, &codec));
        AVBufferRef* device = nullptr;
        if (av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_CUDA, std::to_string(m_gpuId).c_str(), nullptr, 0) >= 0) {
            candidate->hw_device_ctx = av_buffer_ref(device);
            candidate->get_format = &GetAnyFormat;
        } else {
            candidate->get_format = &GetYuvFormat;
        }
        AVBufferRefPtr deviceGuard(device);
        open(std::move(candidate));
    }
    if (!context) {
        AVCodecContextPtr candidate(GetVideoCodecContext(m_pFormatCtx, m_pVideoStream, false, &codec));
        candidate->get_format = &GetYuvFormat;
        open(std::move(candidate));
    }
    if (!context) HALVORA_THROW("Can't open any decoder for codec " << codecId);

    HLOG_INFO << "FFMpegDecoder::OpenDecoder opened " << (codec && codec->name ? codec->name : "?")
              << (context->hw_device_ctx ? " with a CUDA device" : "") << ", threads " << context->thread_count
              << (context->active_thread_type == FF_THREAD_FRAME ? " (frame)" : "");
    m_pCodecCtx = context.release();
    m_decoderOpen = true;
    m_pFrame = av_frame_alloc();
    if (!m_pFrame) HALVORA_THROW("Can't allocate a frame");
    if (m_pFormatCtx->pb) m_pFormatCtx->pb->eof_reached = 0;
    m_pCodecCtx->pkt_timebase = m_pVideoStream->time_base;
}

VideoFileInfoResult FFMpegDecoder::GetVideoFileInfo(const std::wstring& path) {
    FFMpegGate::EnsureInitialization(static_cast<FFMpegGate::LogLevel>(m_ffmpegLogLevel));
    // The probe of a network source is bounded by the connection time-out.
    m_interruptContext.lastActivity = WatchdogNow();
    if (m_connectionTimeoutMs != 0) m_interruptContext.timeoutMs = m_connectionTimeoutMs;
    AVInputFormatContextPtr input(GetVideoFormatContext(path, &m_interruptContext, &m_rtspTransport));
    AVStream* stream = nullptr;
    int index = -1;
    GetVideoStream(input.get(), &stream, &index);
    AVCodecContextPtr codec(GetVideoCodecContext(input.get(), stream, false, nullptr));

    int64_t duration = stream->duration;
    if (duration == AV_NOPTS_VALUE) {
        duration = input->duration == AV_NOPTS_VALUE ? 0 : av_rescale_q(input->duration, AV_TIME_BASE_Q, stream->time_base);
    }
    int64_t ticks = av_rescale_q(duration, stream->time_base, kFileTimeTicks);

    auto info = std::make_shared<VideoFileInfo>(path);
    info->duration = Halvora::Common::FileTimeToDuration(ticks);
    info->width = codec->width;
    info->height = codec->height;
    info->codecId = codec->codec_id;
    if (stream->avg_frame_rate.num != 0 && stream->avg_frame_rate.den != 0)
        info->fps = static_cast<float>(av_q2d(stream->avg_frame_rate));
    else if (stream->r_frame_rate.num != 0 && stream->r_frame_rate.den != 0)
        info->fps = static_cast<float>(av_q2d(stream->r_frame_rate));
    info->decoderId = GetId();

    FFMpegGate::DumpInputVideo(input.get(), codec.get());
    VideoFileInfoResult result;
    result.infos.push_back(info);
    result.status = 1;
    return result;
}

// ---- frame loop ---------------------------------------------------------------------

bool FFMpegDecoder::HasInterruptCallback() const {
    return m_pFormatCtx && m_pFormatCtx->interrupt_callback.callback;
}

int FFMpegDecoder::ReadPacket(AVPacket* packet) {
    // A memory input that ran dry has its end mark set; new bytes let it read on.
    if (m_bufferInput && m_pFormatCtx->pb && m_pFormatCtx->pb->eof_reached && QueuedBytes() > 0)
        m_pFormatCtx->pb->eof_reached = 0;
    // The RTSP layer moves the timestamps of its inputs to the range start here.
    return Rtsp::RtspInput::ReadFrame(m_pFormatCtx, packet);
}

std::shared_ptr<IDecodedFrame> FFMpegDecoder::GetNextFrame() {
    if (HasInterruptCallback()) m_interruptContext.lastActivity = WatchdogNow();
    return RunFrameLoop(LoopMode::AllFrames);
}

std::shared_ptr<IDecodedFrame> FFMpegDecoder::GetNextKeyFrame() { return RunFrameLoop(LoopMode::KeyFrames); }

std::shared_ptr<IDecodedFrame> FFMpegDecoder::DecodeFirstKeyFrame() { return RunFrameLoop(LoopMode::FromFirstKeyFrame); }

void FFMpegDecoder::HoldFrame(std::shared_ptr<IDecodedFrame> frame) { m_heldFrame = std::move(frame); }

void FFMpegDecoder::UpdateDts(AVPacket* packet) {
    AVRational timeBase = m_pVideoStream->time_base;
    if (packet->dts != AV_NOPTS_VALUE) {
        m_nextDtsUs = av_rescale_q(packet->dts, timeBase, kMicroseconds);
    } else {
        if (m_nextDtsUs == AV_NOPTS_VALUE) {
            AVRational rate = m_pVideoStream->avg_frame_rate;
            m_nextDtsUs = rate.num != 0 && rate.den != 0
                              ? static_cast<int64_t>(-m_pCodecCtx->has_b_frames * 1000000.0 / av_q2d(rate))
                              : 0;
        }
        // A packet without dts reaches the decoder with the predicted one.
        packet->dts = av_rescale_q(m_nextDtsUs, kMicroseconds, timeBase);
    }
    if (packet->duration != 0) {
        m_nextDtsUs += av_rescale_q(packet->duration, timeBase, kMicroseconds);
    } else if (m_pCodecCtx->framerate.num != 0 && m_pCodecCtx->framerate.den != 0 &&
               m_pCodecCtx->ticks_per_frame > 0) {
        AVCodecParserContext* parser = av_stream_get_parser(m_pVideoStream);
        int64_t ticks = parser ? parser->repeat_pict + 1 : m_pCodecCtx->ticks_per_frame;
        m_nextDtsUs += (static_cast<int64_t>(m_pCodecCtx->framerate.den) * ticks * 1000000) /
                       m_pCodecCtx->framerate.num / m_pCodecCtx->ticks_per_frame;
    }
}

long long FFMpegDecoder::FrameTime(bool& drop, bool& endOfArchive) {
    drop = endOfArchive = false;
    if (m_bufferInput) return (DateTime::NowUTC().GetFileTime() - DateTime::UnixEpochTicks) / DateTime::TicksPerSecond;

    int64_t pts = m_pFrame->best_effort_timestamp;
    if (pts == AV_NOPTS_VALUE) pts = m_pFrame->pts;
    if (m_endOfFile && pts < 0) {
        HLOG_INFO << "Video stream number " << m_videoStreamIndex
                  << " Get invalid timestamp at the end of the stream, return EndOfArchive";
        m_loopState = Drained;
        endOfArchive = true;
        return 0;
    }
    // A picture without any timestamp is dated at the start of the stream.
    if (pts == AV_NOPTS_VALUE) pts = m_streamStartPts;
    if (m_seekTargetPts != 0 && pts < m_seekTargetPts) {
        HLOG_TRACE << "Frame at " << pts << " before the seek target " << m_seekTargetPts << " dropped";
        drop = true;
        return 0;
    }
    m_seekTargetPts = 0;

    if (m_onFrameReceived) return static_cast<long long>(m_onFrameReceived(m_pFrame));
    AVRational timeBase = m_pVideoStream->time_base;
    if (m_startTimeUtc.IsEmpty()) {
        long long time = av_rescale_q(pts, timeBase, kFileTimeTicks) + DateTime::UnixEpochTicks;
        if (m_utcOffsetHours > 0) time += static_cast<long long>(std::trunc(m_utcOffsetHours * 60)) * 600000000LL;
        return time;
    }
    return av_rescale_q(pts - m_streamStartPts, timeBase, kFileTimeTicks) + m_startTimeUtc.GetFileTime();
}

std::shared_ptr<IDecodedFrame> FFMpegDecoder::RunFrameLoop(LoopMode mode) {
    if (!m_pFormatCtx) {
        HLOG_ERROR << "GetNextFrame !m_pFormatCtx";
        return EmptyFrameOf(Error);
    }
    // A held frame is the stream's first key frame: it comes first, whether all frames or key
    // frames are asked for.
    if (m_heldFrame && !m_interrupted) return std::move(m_heldFrame);
    int errorCount = 0;
    int foreignPacketCount = 0;
    int warningLimit = 65536;
    if (!m_pReadPacket) m_pReadPacket = av_packet_alloc();
    if (!m_pReadPacket) return EmptyFrameOf(Error);
    AVPacket* packet = m_pReadPacket;

    for (;;) {
        if (m_interrupted) return EmptyFrameOf(NotAvailable);
        std::shared_ptr<IDecodedFrame> result;

        switch (m_loopState.load()) {
            case NeedsPacket: {
                if (m_resendPacket) {
                    // The decoder refused this packet before; its frames were taken since.
                    m_resendPacket = false;
                } else {
                    if (mode != LoopMode::KeyFrames && m_live && QueuedBytes() == 0 && !LiveInputEnded())
                        return EmptyFrameOf(NotAvailable);
                    av_packet_unref(packet);
                    int readResult = ReadPacket(packet);
                    if (readResult == AVERROR(EAGAIN)) {
                        ++errorCount;
                        break;
                    }
                    if (readResult < 0 && readResult != AVERROR_EOF) {
                        HLOG_WARNING << "FFMpegDecoder: reading failed, taken as end of input: "
                                     << ErrorText(readResult);
                    }
                    m_endOfFile = readResult < 0;
                    if (m_endOfFile && !m_decoderOpen) return EmptyFrameOf(Error);
                    // At the end of input the (empty) packet belongs to no stream: the decoder is
                    // drained whatever the index of the video stream.
                    if (!m_endOfFile && packet->stream_index != m_videoStreamIndex) {
                        av_packet_unref(packet);
                        ++foreignPacketCount;
                        break;
                    }
                    if (!m_decoderOpen) {
                        OpenDecoder(m_decoderType, packet->pts != AV_NOPTS_VALUE);
                        // A hook that primed the RTSP session may have moved its range start: the
                        // packet in hand is timed again and decoded like every other one, so that
                        // no frame sent after PLAY is lost.
                        if (m_onDecoderOpen && m_onDecoderOpen(m_pFormatCtx) != 0)
                            Rtsp::RtspInput::Retime(m_pFormatCtx, packet);
                    }
                    const bool keyFramesOnly =
                        mode == LoopMode::KeyFrames || (mode == LoopMode::FromFirstKeyFrame && !m_keyFrameSent);
                    // At the end of input the decoder is drained in every mode: the key frames it
                    // still holds (reordering, frame threads) come out too.
                    if (keyFramesOnly && !m_endOfFile) {
                        if (!(packet->flags & AV_PKT_FLAG_KEY)) {
                            av_packet_unref(packet);
                            break;
                        }
                        m_keyFrameSent = true;
                    }
                    if (!m_endOfFile && mode != LoopMode::KeyFrames) UpdateDts(packet);
                }

                int sendResult = 0;
                if (!m_endOfFile) {
                    if (m_codecDrained) {
                        // Input arrived after a drain: the decoder starts over.
                        avcodec_flush_buffers(m_pCodecCtx);
                        m_codecDrained = false;
                    }
                    sendResult = avcodec_send_packet(m_pCodecCtx, packet);
                    if (sendResult == AVERROR(EAGAIN)) {
                        HLOG_WARNING << "FFMpegDecoder::GetNextFrame Received EAGAIN on avcodec_send_packet";
                        m_resendPacket = true;
                        m_loopState = PacketSent;
                        break;
                    }
                    av_packet_unref(packet);
                } else if (!m_bufferInput || LiveInputEnded()) {
                    int flushResult = avcodec_send_packet(m_pCodecCtx, nullptr);
                    if (flushResult != 0) HALVORA_THROW("Failed to flush decoder, err = " << flushResult);
                    m_codecDrained = true;
                } else {
                    // More bytes may still be appended.
                    return EmptyFrameOf(NotAvailable);
                }
                if (sendResult < 0) {
                    ++errorCount;
                    if (errorCount % 1000 == 0) {
                        HLOG_ERROR << "avcodec_send_packet failed to send packet. err = " << sendResult << " desc: \""
                                   << ErrorText(sendResult) << "\" err count = " << errorCount;
                    }
                    m_loopState = NeedsPacket;
                    break;
                }
                m_loopState = PacketSent;
                break;
            }
            case PacketSent: {
                int receiveResult = avcodec_receive_frame(m_pCodecCtx, m_pFrame);
                if (receiveResult == AVERROR_EOF) {
                    m_loopState = Drained;
                } else if (receiveResult < 0) {
                    if (receiveResult != AVERROR(EAGAIN)) {
                        HLOG_WARNING << "avcodec_receive_frame didn't get frame, err = " << receiveResult
                                     << " desc: \"" << ErrorText(receiveResult) << "\"";
                    }
                    m_loopState = NeedsPacket;
                    ++errorCount;
                } else {
                    m_loopState = FrameReady;
                }
                break;
            }
            case FrameReady: {
                bool drop = false, endOfArchive = false;
                long long time = FrameTime(drop, endOfArchive);
                if (endOfArchive) {
                    av_frame_unref(m_pFrame);
                    return EmptyFrameOf(EndOfArchive);
                }
                if (!drop) result = std::make_shared<DecodedAvFrame>(time, m_pFrame);
                av_frame_unref(m_pFrame);
                m_loopState = PacketSent;
                break;
            }
            default: return EmptyFrameOf(EndOfArchive);
        }

        if (errorCount > 65536) {
            if (m_endOfFile) {
                HLOG_WARNING << "Decoder skipped end of file";
                return EmptyFrameOf(EndOfArchive);
            }
            HLOG_ERROR << "Too many decoding errors, count = " << errorCount;
            return EmptyFrameOf(Error);
        }
        if (foreignPacketCount > warningLimit) {
            if (m_endOfFile) {
                HLOG_WARNING << "Decoder skipped end of file";
                return EmptyFrameOf(EndOfArchive);
            }
            HLOG_WARNING << "Too many decoding warnings, count = " << foreignPacketCount;
            warningLimit = warningLimit > INT_MAX / 2 ? INT_MAX : warningLimit * 2;
        }
        if (result) return result;
    }
}

std::shared_ptr<IDecodedFrame> FFMpegDecoder::GetFrameAt(long long fileTimeUtc) {
    if (!m_pFormatCtx || !m_pVideoStream) return GetNextFrame();
    if (fileTimeUtc == m_startTimeUtc.GetFileTime()) return GetNextFrame();
    // Without a start time, frames are dated by the stream clock read as UTC (plus the offset).
    int64_t base = m_startTimeUtc.GetFileTime();
    if (m_startTimeUtc.IsEmpty()) {
        base = DateTime::UnixEpochTicks;
        if (m_utcOffsetHours > 0) base += static_cast<int64_t>(std::trunc(m_utcOffsetHours * 60)) * 600000000LL;
    }
    int64_t offset = 0;
    if (__builtin_sub_overflow(static_cast<int64_t>(fileTimeUtc), base, &offset)) offset = fileTimeUtc < base ? INT64_MIN + 1 : INT64_MAX;
    int64_t target = av_rescale_q(offset, kFileTimeTicks, m_pVideoStream->time_base);
    // A start time counts from the stream's first frame; the stream clock is absolute.
    if (!m_startTimeUtc.IsEmpty() && __builtin_add_overflow(target, m_streamStartPts, &target)) target = INT64_MAX;
    av_seek_frame(m_pFormatCtx, m_videoStreamIndex, target, AVSEEK_FLAG_BACKWARD);
    if (m_pCodecCtx) avcodec_flush_buffers(m_pCodecCtx);
    m_heldFrame.reset();
    m_codecDrained = false;
    m_resendPacket = false;
    m_seekTargetPts = target;
    m_loopState = NeedsPacket;
    return GetNextFrame();
}

std::shared_ptr<IDecodedFrame> FFMpegDecoder::GetFrame(int frameNumber) {
    if (!m_pFormatCtx || !m_pVideoStream) return GetNextFrame();
    int index = frameNumber > 0 ? frameNumber - 1 : frameNumber;
    // Length of one frame in stream time base: from the stream's duration and frame count, or
    // from its frame rate when it reports no count.
    int64_t frameDuration = 0;
    if (m_pVideoStream->nb_frames > 0 && m_pVideoStream->duration > 0 && m_pVideoStream->duration != AV_NOPTS_VALUE)
        frameDuration = m_pVideoStream->duration / m_pVideoStream->nb_frames;
    else if (m_pVideoStream->avg_frame_rate.num > 0 && m_pVideoStream->avg_frame_rate.den > 0)
        frameDuration = av_rescale_q(1, av_inv_q(m_pVideoStream->avg_frame_rate), m_pVideoStream->time_base);
    int64_t start = m_pVideoStream->start_time == AV_NOPTS_VALUE ? 0 : m_pVideoStream->start_time;
    int64_t target = static_cast<int64_t>(index) * frameDuration + start;
    int result = frameDuration > 0 || index == 0
                     ? av_seek_frame(m_pFormatCtx, m_videoStreamIndex, target, AVSEEK_FLAG_BACKWARD | AVSEEK_FLAG_FRAME)
                     : -1;
    if (result < 0) {
        HLOG_ERROR << "Frame = " << index;
        return EmptyFrameOf(EndOfArchive);
    }
    if (m_pCodecCtx) avcodec_flush_buffers(m_pCodecCtx);
    m_heldFrame.reset();
    m_codecDrained = false;
    m_resendPacket = false;
    m_loopState = NeedsPacket;
    m_seekTargetPts = target;
    return GetNextFrame();
}

void FFMpegDecoder::Interrupt() {
    HLOG_TRACE << "Interrupt received";
    m_interrupted = true;
    // Wakes a read that waits for live bytes.
    std::lock_guard<std::mutex> lock(g_bufferMutex);
    g_bufferAppended.notify_all();
}

// ---- packets --------------------------------------------------------------------------

std::shared_ptr<IEncodedPacket> FFMpegDecoder::GetNextPacket() {
    if (!m_pFormatCtx || !m_pVideoStream) {
        HLOG_ERROR << "GetNextPacket !m_pFormatCtx";
        return EmptyPacketOf(Error);
    }
    if (HasInterruptCallback()) m_interruptContext.lastActivity = WatchdogNow();
    if (!m_decoderOpen) {
        OpenDecoder(m_decoderType, false);
        if (m_onDecoderOpen) m_onDecoderOpen(m_pFormatCtx);
    }
    if (!m_bsfInitialized && m_decoderOpen) {
        m_pBsfCtx = FindBsf(m_pFormatCtx, m_pCodecCtx);
        m_bsfInitialized = true;
    }

    AVPacketPtr packet;
    int skipped = 0;
    bool end = false;
    for (;;) {
        if (m_interrupted) return EmptyPacketOf(NotAvailable);
        packet.reset(av_packet_alloc());
        if (!packet) return EmptyPacketOf(Error);
        if (m_live && QueuedBytes() == 0 && !LiveInputEnded()) return EmptyPacketOf(NotAvailable);
        int readResult = ReadPacket(packet.get());
        if (readResult == AVERROR(EAGAIN)) return EmptyPacketOf(NotAvailable);
        if (readResult < 0) {
            // A memory input may still grow.
            if (m_bufferInput && !LiveInputEnded()) return EmptyPacketOf(NotAvailable);
            end = true;
            break;
        }
        if (packet->stream_index == m_videoStreamIndex) break;
        if (++skipped > 65536) {
            end = true;
            break;
        }
    }
    if (end) {
        av_bsf_free(&m_pBsfCtx);
        return EmptyPacketOf(EndOfArchive);
    }

    if (m_pBsfCtx) {
        if (av_bsf_send_packet(m_pBsfCtx, packet.get()) != 0) {
            HLOG_ERROR << "Bsf send failed";
            av_bsf_free(&m_pBsfCtx);
            return EmptyPacketOf(Error);
        }
        int result = av_bsf_receive_packet(m_pBsfCtx, packet.get());
        if (result == AVERROR(EAGAIN)) return EmptyPacketOf(NotAvailable);
        if (result != 0) {
            HLOG_ERROR << "Bsf receive failed: " << result;
            av_bsf_free(&m_pBsfCtx);
            return EmptyPacketOf(Error);
        }
    }
    return std::make_shared<EncodedAvPacket>(0, packet.release());
}

int FFMpegDecoder::GetCodecId() {
    if (m_decoderOpen) return m_pCodecCtx->codec_id;
    HLOG_WARNING << "Decoder not opened yet";
    return -1;
}

// ---- memory input -------------------------------------------------------------------

uint64_t FFMpegDecoder::QueuedBytes() const {
    std::lock_guard<std::mutex> lock(g_bufferMutex);
    return m_memoryInput.used;
}

bool FFMpegDecoder::LiveInputEnded() const {
    std::lock_guard<std::mutex> lock(g_bufferMutex);
    return m_liveInputEnded;
}

int FFMpegDecoder::StaticRead(void* opaque, uint8_t* buffer, int size) {
    auto* input = static_cast<MemoryInput*>(opaque);
    if (!input || !buffer || size <= 0) return 0;
    uint64_t n = std::min<uint64_t>(input->capacity - input->position, static_cast<uint64_t>(size));
    if (n == 0) return AVERROR_EOF;
    std::memcpy(buffer, input->data + input->position, n);
    input->position += n;
    return static_cast<int>(n);
}

int FFMpegDecoder::LiveRead(void* opaque, uint8_t* buffer, int size) {
    auto* self = static_cast<FFMpegDecoder*>(opaque);
    if (!self || !buffer || size <= 0) return 0;
    std::unique_lock<std::mutex> lock(g_bufferMutex);
    MemoryInput& input = self->m_memoryInput;
    // Another thread feeds the queue: a read that ran dry in the middle of a packet waits for
    // the next bytes (bounded by the get-next time-out) instead of cutting the packet short.
    if (input.used == 0 && !self->m_liveInputEnded && self->m_appendThread != std::thread::id() &&
        self->m_appendThread != std::this_thread::get_id()) {
        int waitMs = self->m_getFrameTimeoutMs > 0 ? self->m_getFrameTimeoutMs : 5000;
        g_bufferAppended.wait_for(lock, std::chrono::milliseconds(waitMs), [&] {
            return input.used > 0 || self->m_liveInputEnded || self->m_interrupted.load();
        });
    }
    if (input.used == 0) return AVERROR_EOF;
    uint64_t n = std::min<uint64_t>(input.used, static_cast<uint64_t>(size));
    std::memcpy(buffer, input.data + input.position, n);
    input.position += n;
    input.used -= n;
    if (input.used == 0) input.position = 0;
    return static_cast<int>(n);
}

bool FFMpegDecoder::Initialize(unsigned char* data, size_t size, DateTime startTime) {
    if (m_pFormatCtx || m_pIoCtx) return RefuseSecondOpening();
    FFMpegGate::EnsureInitialization(static_cast<FFMpegGate::LogLevel>(m_ffmpegLogLevel));
    m_startTimeUtc = startTime;
    m_memoryInput = MemoryInput{data, 0, 0, data ? size : 0};

    AVFormatContext* context = avformat_alloc_context();
    m_pIoCtx = MakeIoContext(size, &m_memoryInput, &StaticRead);
    if (!context || !m_pIoCtx) {
        avformat_free_context(context);
        FreeIoContext(m_pIoCtx);
        return false;
    }
    context->pb = m_pIoCtx;
    try {
        if (avformat_open_input(&context, nullptr, nullptr, nullptr) < 0) HALVORA_THROW("Can't open input");
        m_pFormatCtx = context;
        GetVideoStream(m_pFormatCtx, &m_pVideoStream, &m_videoStreamIndex);
        return true;
    } catch (const Halvora::Common::Exception& e) {
        return InitializeFailed(e);
    }
}

bool FFMpegDecoder::Initialize(unsigned char* data, size_t capacity, size_t dataSize, bool live,
                               const ParameterList* parameters) {
    if (m_pFormatCtx || m_pIoCtx) return RefuseSecondOpening();
    try {
        m_live = live;
        DecodedImageFormat requestedFormat = Yuv420P;
        if (parameters) {
            HLOG_TRACE << "FFMpegDecoder::Initialize from buffer with parameters";
            ProcessParameters(requestedFormat, parameters);
        } else {
            HLOG_TRACE << "FFMpegDecoder::Initialize from buffer without parameters";
        }
        if (m_decoderType != DecoderTypes::Software && requestedFormat != Cuda) {
            HLOG_ERROR << "Invalid parameter combination: AllowHwDecode = true && requestedFormat == "
                       << static_cast<int>(requestedFormat);
            return false;
        }
        if (dataSize > capacity || (dataSize > 0 && !data)) {
            HLOG_ERROR << "FFMpegDecoder::Initialize error: " << dataSize << " bytes do not fit a buffer of "
                       << capacity;
            return false;
        }
        FFMpegGate::EnsureInitialization(static_cast<FFMpegGate::LogLevel>(m_ffmpegLogLevel));

        auto* buffer = static_cast<unsigned char*>(std::malloc(std::max<size_t>(capacity, 1)));
        if (!buffer) {
            HLOG_ERROR << "Can't allocate memory " << static_cast<int>(requestedFormat);
            return false;
        }
        std::memset(buffer, 0, std::max<size_t>(capacity, 1));
        if (dataSize > 0) std::memcpy(buffer, data, dataSize);
        {
            std::lock_guard<std::mutex> lock(g_bufferMutex);
            m_bufferInput = true;
            m_memoryInput = MemoryInput{buffer, 0, dataSize, capacity};
        }

        AVFormatContext* context = avformat_alloc_context();
        m_pIoCtx = MakeIoContext(capacity, this, &LiveRead);
        if (!context || !m_pIoCtx) {
            avformat_free_context(context);
            FreeIoContext(m_pIoCtx);
            return false;
        }
        context->pb = m_pIoCtx;
        int result = avformat_open_input(&context, nullptr, nullptr, nullptr);
        if (result < 0) {
            HLOG_WARNING << "FFMpegDecoder::Initialize failed: " << AvErrorText(result);
            return false;
        }
        m_pFormatCtx = context;
        GetVideoStream(m_pFormatCtx, &m_pVideoStream, &m_videoStreamIndex);
        return true;
    } catch (const Halvora::Common::Exception& e) {
        return InitializeFailed(e);
    }
}

bool FFMpegDecoder::AppendChunkToBuffer(unsigned char* chunk, size_t size) {
    if (!m_bufferInput) {
        HLOG_ERROR << "FFMpegDecoder::AppendChunkToBuffer: the decoder was not opened from a live buffer";
        return false;
    }
    std::lock_guard<std::mutex> lock(g_bufferMutex);
    m_appendThread = std::this_thread::get_id();
    MemoryInput& input = m_memoryInput;
    if (size == 0) {
        // End of input: the decoding thread drains the decoder once it has read every queued byte.
        m_liveInputEnded = true;
        g_bufferAppended.notify_all();
        return true;
    }
    if (!chunk) return false;
    // Room behind the unread bytes: append. Room only after moving them to the front: move.
    if (input.position + input.used + size > input.capacity && input.used + size <= input.capacity) {
        std::memmove(input.data, input.data + input.position, input.used);
        input.position = 0;
    }
    if (input.position + input.used + size <= input.capacity) {
        std::memcpy(input.data + input.position + input.used, chunk, size);
        input.used += size;
    } else if (m_live && static_cast<int64_t>((input.used + size) >> 20) > static_cast<int64_t>(m_liveBufferLimitMB)) {
        HLOG_ERROR << "Live decoding buffer size is exceeded " << m_liveBufferLimitMB << "M";
        return false;
    } else {
        uint64_t newSize = input.used + size;
        HLOG_WARNING << "FFMpegDecoder::AppendChunkToBuffer. increased buffer size from " << input.capacity << " to "
                     << newSize;
        auto* grown = static_cast<unsigned char*>(std::malloc(newSize));
        if (!grown) {
            HLOG_ERROR << "Can't allocate memory " << newSize;
            return false;
        }
        std::memcpy(grown, input.data + input.position, input.used);
        std::memcpy(grown + input.used, chunk, size);
        std::free(input.data);
        input.data = grown;
        input.position = 0;
        input.used = newSize;
        input.capacity = newSize;
    }
    // New input after the decoder was drained: decoding starts again.
    int drained = Drained;
    if (m_loopState.compare_exchange_strong(drained, NeedsPacket)) m_liveInputEnded = false;
    g_bufferAppended.notify_all();
    return true;
}

}  // namespace RuvarEduzid
}  // namespace Halvora

// ---- exported plain functions ---------------------------------------------------------

using Halvora::RuvarEduzid::FFMpegDecoder;

FFMpegDecoder* FFMpegDecoder_Create() { return new FFMpegDecoder(); }

void FFMpegDecoder_Destroy(FFMpegDecoder* decoder) { delete decoder; }

bool FFMpegDecoder_InitializeFromBuffer(FFMpegDecoder* decoder, unsigned char* data, size_t size, int64_t startTime) {
    return decoder->Initialize(data, size, Halvora::Common::DateTime(startTime));
}

bool FFMpegDecoder_AppendBuffer(FFMpegDecoder* decoder, unsigned char* data, size_t size) {
    return static_cast<Halvora::Video::Native::IVideoDecoder*>(decoder)->AppendChunkToBuffer(data, size);
}

void FFMpegDecoder_GetNextFrame(FFMpegDecoder* decoder) { decoder->GetNextFrame(); }
