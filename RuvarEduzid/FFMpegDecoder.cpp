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

extern "C" {
#include <libavutil/hwcontext.h>
#include <libavutil/mathematics.h>
}

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/uuid/string_generator.hpp>

#include <climits>
#include <cmath>
#include <string>

namespace Halvora {
namespace RuvarEduzid {

using Halvora::Common::DateTime;
using Halvora::Common::StringUtility;
using namespace Halvora::Video::Native;

namespace {

constexpr AVRational kMicroseconds{1, 1000000};
constexpr AVRational kFileTimeTicks{1, 10000000};

std::shared_ptr<IDecodedFrame> EmptyFrameOf(DecoderState state) { return std::make_shared<EmptyFrame>(state); }
std::shared_ptr<IEncodedPacket> EmptyPacketOf(DemuxerState state) { return std::make_shared<EmptyPacket>(state); }

// FFmpeg's error text for `code` (1024-byte buffer).
std::string ErrorText(int code) { return AvErrorText(code, 1024); }

}  // namespace

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
    m_pBsfCtx.reset();
    m_heldFrame.reset();
    m_pReadPacket.reset();
    m_pFrame.reset();
    // Frees the device reference of the hardware paths too.
    m_pCodecCtx.reset();
    // A custom I/O context is not closed with the input: it goes after it.
    CloseInput();
    m_memoryInput.Close();
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
            case DecoderParameter::ImageFormats: {
                const auto& formats = static_cast<const ImageFormatsParameter&>(*parameter).formats;
                if (formats.size() != 1) {
                    HLOG_WARNING << "Format priority list not implemented";
                }
                if (!formats.empty()) requestedFormat = formats.front();
                break;
            }
            case DecoderParameter::CuvidDecoder: {
                const auto& p = static_cast<const CuvidDecoderParameter&>(*parameter);
                m_decoderType = static_cast<DecoderTypes>(p.decoderType);
                m_gpuId = p.gpuId;
                HLOG_INFO << "FFMpegDecoder::ProcessParameters. HW decoding, GpuID:" << m_gpuId
                          << ", Decoder Surfaces: " << m_decoderSurfaces
                          << ", HwDecoder: " << static_cast<int>(m_decoderType);
                break;
            }
            case DecoderParameter::UtcOffset: {
                float hours = static_cast<const UtcOffsetParameter&>(*parameter).utcOffsetHours;
                if (hours != 0.0f) {
                    HLOG_TRACE << "Using UTC offset " << hours;
                    m_utcOffsetHours = hours;
                }
                break;
            }
            case DecoderParameter::RtspConnectionTimeout:
                m_connectionTimeoutMs = static_cast<const RtspConnectionTimeoutParameter&>(*parameter).timeoutMs;
                HLOG_INFO << "FFMpegDecoder::ProcessParameters. ConnectionTimeoutMs:" << m_connectionTimeoutMs;
                break;
            case DecoderParameter::RtspGetFrameTimeout:
                m_getFrameTimeoutMs = static_cast<const RtspGetFrameTimeoutParameter&>(*parameter).timeoutMs;
                HLOG_INFO << "FFMpegDecoder::ProcessParameters. GetFrameTimeoutMs:" << m_getFrameTimeoutMs;
                break;
            case DecoderParameter::RtspTransport:
                m_rtspTransport = static_cast<const RtspTransportParameter&>(*parameter).transport;
                HLOG_INFO << "FFMpegDecoder::ProcessParameters. RtspTransport:" << m_rtspTransport;
                break;
            case DecoderParameter::DecoderThreads:
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
        AdoptInput(GetVideoFormatContext(info.path, &m_interruptContext, m_rtspTransport));
        if (m_awaitSenderReport) AwaitSenderReport(m_awaitSenderReport == 2);
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
    // A failed decoder holds no half-opened input: it can be initialized again.
    CloseInput();
    m_memoryInput.Close();
    return false;
}

void FFMpegDecoder::CloseInput() {
    m_pVideoStream = nullptr;
    m_pFormatCtx = nullptr;
    m_input.reset();
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
    // Which of CUVID, the CUDA device and software may be tried, in that order; an unknown type
    // behaves as Cuvid.
    bool tryCuvid = allowCuvid, tryCudaDevice = true;
    switch (type) {
        case DecoderTypes::Software: tryCuvid = tryCudaDevice = false; break;
        case DecoderTypes::Cuda: tryCuvid = false; break;
        case DecoderTypes::CuvidThenSoftware: tryCudaDevice = false; break;
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
        AVCodecContextPtr candidate = GetVideoCodecContext(m_pFormatCtx, m_pVideoStream, true, &codec);
        candidate->get_format = &GetAnyFormat;
        // A failed CUVID open goes straight to software.
        if (!open(std::move(candidate))) tryCudaDevice = false;
    }
    if (!context && tryCudaDevice) {
        AVCodecContextPtr candidate = GetVideoCodecContext(m_pFormatCtx, m_pVideoStream, false, &codec);
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
        AVCodecContextPtr candidate = GetVideoCodecContext(m_pFormatCtx, m_pVideoStream, false, &codec);
        candidate->get_format = &GetYuvFormat;
        open(std::move(candidate));
    }
    if (!context) HALVORA_THROW("Can't open any decoder for codec " << codecId);

    HLOG_INFO << "FFMpegDecoder::OpenDecoder opened " << (codec && codec->name ? codec->name : "?")
              << (context->hw_device_ctx ? " with a CUDA device" : "") << ", threads " << context->thread_count
              << (context->active_thread_type == FF_THREAD_FRAME ? " (frame)" : "");
    m_pCodecCtx = std::move(context);
    m_decoderOpen = true;
    m_pFrame.reset(av_frame_alloc());
    if (!m_pFrame) HALVORA_THROW("Can't allocate a frame");
    if (m_pFormatCtx->pb) m_pFormatCtx->pb->eof_reached = 0;
    m_pCodecCtx->pkt_timebase = m_pVideoStream->time_base;
}

VideoFileInfoResult FFMpegDecoder::GetVideoFileInfo(const std::wstring& path) {
    FFMpegGate::EnsureInitialization(static_cast<FFMpegGate::LogLevel>(m_ffmpegLogLevel));
    // The probe of a network source is bounded by the connection time-out.
    m_interruptContext.lastActivity = WatchdogNow();
    if (m_connectionTimeoutMs != 0) m_interruptContext.timeoutMs = m_connectionTimeoutMs;
    OpenedInput opened = GetVideoFormatContext(path, &m_interruptContext, m_rtspTransport);
    AVFormatContext* input = opened.get();
    AVStream* stream = nullptr;
    int index = -1;
    GetVideoStream(input, &stream, &index);
    AVCodecContextPtr codec = GetVideoCodecContext(input, stream, false, nullptr);

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

    FFMpegGate::DumpInputVideo(input, codec.get());
    VideoFileInfoResult result;
    result.infos.push_back(info);
    result.status = 1;
    return result;
}

// ---- frame loop ---------------------------------------------------------------------

bool FFMpegDecoder::HasInterruptCallback() const {
    return m_pFormatCtx && m_pFormatCtx->interrupt_callback.callback;
}

bool FFMpegDecoder::AwaitsLiveBytes() const { return m_memoryInput.AwaitsBytes(); }

int FFMpegDecoder::ReadPacket(AVPacket* packet) {
    // Memory input that may still grow reads only whole packets of the bytes that have come.
    if (m_memoryInput.IsQueue()) return m_memoryInput.ReadFrame(m_pFormatCtx, packet, m_videoStreamIndex);
    // The RTSP layer matches each packet to its RTP frame and moves it to the range start.
    if (Rtsp::RtspInput* rtsp = m_input.Rtsp()) return rtsp->ReadFrame(packet);
    return av_read_frame(m_pFormatCtx, packet);
}

bool FFMpegDecoder::FrameRtpTiming(const AVFrame* frame, RtspFrameTiming* timing) const {
    Rtsp::RtspInput* rtsp = m_input.Rtsp();
    if (!rtsp || !frame) return false;
    // The pts the frame's packet carried is the key; the decoder's best guess only stands in.
    int64_t pts = frame->pts;
    if (pts == AV_NOPTS_VALUE) pts = frame->best_effort_timestamp;
    if (pts == AV_NOPTS_VALUE) return false;
    rtsp->FrameTiming(pts, timing);
    return true;
}

const RTPDemuxContext* FFMpegDecoder::StreamRtpTiming() const {
    Rtsp::RtspInput* rtsp = m_input.Rtsp();
    return rtsp ? rtsp->Session().Timing() : nullptr;
}

bool FFMpegDecoder::FrameRtpTimestamp(const AVFrame* frame, uint32_t* timestamp) const {
    const RTPDemuxContext* stream = StreamRtpTiming();
    if (!stream) return false;
    RtspFrameTiming timing{};
    *timestamp = FrameRtpTiming(frame, &timing) ? timing.timestamp : stream->timestamp;
    return true;
}

void FFMpegDecoder::AwaitSenderReport(bool enoughWithOnvif) {
    m_awaitSenderReport = enoughWithOnvif ? 2 : 1;
    const int timeoutMs = m_getFrameTimeoutMs > 0 ? m_getFrameTimeoutMs : 5000;
    if (Rtsp::RtspInput* rtsp = m_input.Rtsp()) rtsp->HoldForSenderReport(timeoutMs, enoughWithOnvif);
}

AVRational FFMpegDecoder::VideoTimeBase() const {
    return m_pVideoStream ? m_pVideoStream->time_base : AVRational{1, 90000};
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
    if (m_memoryInput.IsQueue()) return (DateTime::NowUTC().GetFileTime() - DateTime::UnixEpochTicks) / DateTime::TicksPerSecond;

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

    if (m_onFrameReceived) return static_cast<long long>(m_onFrameReceived(m_pFrame.get()));
    return StreamClockTime(pts);
}

long long FFMpegDecoder::StreamClockTime(int64_t pts) const {
    AVRational timeBase = VideoTimeBase();
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
    if (!m_pReadPacket) m_pReadPacket.reset(av_packet_alloc());
    if (!m_pReadPacket) return EmptyFrameOf(Error);

    LoopCounters counters;
    for (;;) {
        if (m_interrupted) return EmptyFrameOf(NotAvailable);
        std::shared_ptr<IDecodedFrame> result;
        switch (m_loopState.load()) {
            case NeedsPacket: result = FeedPacket(mode, counters); break;
            case PacketSent: result = ReceiveFrame(counters); break;
            case FrameReady: result = TakeFrame(); break;
            default: return EmptyFrameOf(EndState());
        }
        if (std::shared_ptr<IDecodedFrame> limit = CheckLimits(counters)) return limit;
        if (result) return result;
    }
}

std::shared_ptr<IDecodedFrame> FFMpegDecoder::FeedPacket(LoopMode mode, LoopCounters& counters) {
    AVPacket* packet = m_pReadPacket.get();
    if (m_resendPacket) {
        // The decoder refused this packet before; its frames were taken since.
        m_resendPacket = false;
        return SendPacket(counters);
    }
    if (AwaitsLiveBytes()) return EmptyFrameOf(NotAvailable);
    av_packet_unref(packet);
    const int readResult = ReadPacket(packet);
    if (readResult == AVERROR(EAGAIN)) {
        ++counters.errors;
        return nullptr;
    }
    m_endOfFile = readResult < 0;
    // At the end of input the (empty) packet belongs to no stream: the decoder is drained whatever
    // the mode, so that the frames it still holds come out.
    if (m_endOfFile) {
        NoteEndOfInput(readResult);
        return m_decoderOpen ? Drain() : EmptyFrameOf(Error);
    }
    if (packet->stream_index != m_videoStreamIndex) {
        av_packet_unref(packet);
        ++counters.foreignPackets;
        return nullptr;
    }
    if (!m_decoderOpen) OpenDecoderFor(packet);
    if (!TakenByLoop(mode, packet)) {
        av_packet_unref(packet);
        return nullptr;
    }
    if (mode != LoopMode::KeyFrames) UpdateDts(packet);
    return SendPacket(counters);
}

void FFMpegDecoder::OpenDecoderFor(AVPacket* packet) {
    OpenDecoder(m_decoderType, packet->pts != AV_NOPTS_VALUE);
    // A hook that primed the RTSP session may have moved its range start: the packet in hand is
    // timed again and decoded like every other one, so that no frame sent after PLAY is lost.
    if (m_onDecoderOpen && m_onDecoderOpen(m_pFormatCtx) != 0 && m_input.Rtsp()) m_input.Rtsp()->Retime(packet);
}

bool FFMpegDecoder::TakenByLoop(LoopMode mode, const AVPacket* packet) {
    const bool keyFramesOnly = mode == LoopMode::KeyFrames || (mode == LoopMode::FromFirstKeyFrame && !m_keyFrameSent);
    if (!keyFramesOnly) return true;
    if (!(packet->flags & AV_PKT_FLAG_KEY)) return false;
    m_keyFrameSent = true;
    return true;
}

std::shared_ptr<IDecodedFrame> FFMpegDecoder::SendPacket(LoopCounters& counters) {
    AVPacket* packet = m_pReadPacket.get();
    if (m_codecDrained) {
        // Input arrived after a drain: the decoder starts over.
        avcodec_flush_buffers(m_pCodecCtx.get());
        m_codecDrained = false;
    }
    const int sendResult = avcodec_send_packet(m_pCodecCtx.get(), packet);
    if (sendResult == AVERROR(EAGAIN)) {
        HLOG_WARNING << "FFMpegDecoder::GetNextFrame Received EAGAIN on avcodec_send_packet";
        m_resendPacket = true;
        m_loopState = PacketSent;
        return nullptr;
    }
    av_packet_unref(packet);
    if (sendResult < 0) {
        ++counters.errors;
        if (counters.errors % 1000 == 0) {
            HLOG_ERROR << "avcodec_send_packet failed to send packet. err = " << sendResult << " desc: \""
                       << ErrorText(sendResult) << "\" err count = " << counters.errors;
        }
        m_loopState = NeedsPacket;
        return nullptr;
    }
    m_loopState = PacketSent;
    return nullptr;
}

std::shared_ptr<IDecodedFrame> FFMpegDecoder::Drain() {
    // More bytes may still be appended to a memory queue.
    if (m_memoryInput.IsQueue() && !m_memoryInput.Ended()) return EmptyFrameOf(NotAvailable);
    const int flushResult = avcodec_send_packet(m_pCodecCtx.get(), nullptr);
    if (flushResult != 0) HALVORA_THROW("Failed to flush decoder, err = " << flushResult);
    m_codecDrained = true;
    m_loopState = PacketSent;
    return nullptr;
}

std::shared_ptr<IDecodedFrame> FFMpegDecoder::ReceiveFrame(LoopCounters& counters) {
    const int receiveResult = avcodec_receive_frame(m_pCodecCtx.get(), m_pFrame.get());
    if (receiveResult == AVERROR_EOF) {
        m_loopState = Drained;
    } else if (receiveResult < 0) {
        if (receiveResult != AVERROR(EAGAIN)) {
            HLOG_WARNING << "avcodec_receive_frame didn't get frame, err = " << receiveResult << " desc: \""
                         << ErrorText(receiveResult) << "\"";
        }
        m_loopState = NeedsPacket;
        ++counters.errors;
    } else {
        m_loopState = FrameReady;
    }
    return nullptr;
}

std::shared_ptr<IDecodedFrame> FFMpegDecoder::TakeFrame() {
    bool drop = false, endOfArchive = false;
    const long long time = FrameTime(drop, endOfArchive);
    std::shared_ptr<IDecodedFrame> result;
    if (endOfArchive) result = EmptyFrameOf(EndState());
    else if (!drop) result = std::make_shared<DecodedAvFrame>(time, m_pFrame.get());
    av_frame_unref(m_pFrame.get());
    if (!endOfArchive) m_loopState = PacketSent;
    return result;
}

std::shared_ptr<IDecodedFrame> FFMpegDecoder::CheckLimits(LoopCounters& counters) {
    if (counters.errors > 65536) {
        if (m_endOfFile) {
            HLOG_WARNING << "Decoder skipped end of file";
            return EmptyFrameOf(EndOfArchive);
        }
        HLOG_ERROR << "Too many decoding errors, count = " << counters.errors;
        return EmptyFrameOf(Error);
    }
    if (counters.foreignPackets > counters.warningLimit) {
        if (m_endOfFile) {
            HLOG_WARNING << "Decoder skipped end of file";
            return EmptyFrameOf(EndOfArchive);
        }
        HLOG_WARNING << "Too many decoding warnings, count = " << counters.foreignPackets;
        counters.warningLimit = counters.warningLimit > INT_MAX / 2 ? INT_MAX : counters.warningLimit * 2;
    }
    return nullptr;
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
    RestartAt(target);
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
    RestartAt(target);
    return GetNextFrame();
}

void FFMpegDecoder::NoteEndOfInput(int readResult) {
    if (m_inputLost || m_interrupted) return;
    std::string reason;
    if (m_interruptContext.timedOut) {
        reason = "no data for " + std::to_string(m_interruptContext.timeoutMs) + " ms";
    } else if (Rtsp::RtspInput* rtsp = m_input.Rtsp()) {
        reason = rtsp->Session().LostReason();
        if (reason.empty() && readResult != AVERROR_EOF) reason = ErrorText(readResult);
    } else if (HasInterruptCallback() && readResult != AVERROR_EOF) {
        reason = ErrorText(readResult);
    }
    if (reason.empty()) {
        if (readResult != AVERROR_EOF) {
            HLOG_WARNING << "FFMpegDecoder: reading failed, taken as end of input: " << ErrorText(readResult);
        }
        return;
    }
    HLOG_ERROR << "FFMpegDecoder: the stream was lost: " << reason;
    m_inputLost = true;
}

DecoderState FFMpegDecoder::EndState() const { return m_inputLost ? Error : EndOfArchive; }

void FFMpegDecoder::RestartAt(int64_t targetPts) {
    if (m_pCodecCtx) avcodec_flush_buffers(m_pCodecCtx.get());
    m_heldFrame.reset();
    m_codecDrained = false;
    m_resendPacket = false;
    m_seekTargetPts = targetPts;
    m_loopState = NeedsPacket;
}

void FFMpegDecoder::Interrupt() {
    HLOG_TRACE << "Interrupt received";
    m_interrupted = true;
    // Wakes a read that waits for live bytes.
    MemoryInput::WakeAll();
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
        m_pBsfCtx = FindBsf(m_pFormatCtx, m_pCodecCtx.get());
        m_bsfInitialized = true;
    }

    AVPacketPtr packet;
    int skipped = 0;
    bool end = false;
    for (;;) {
        if (m_interrupted) return EmptyPacketOf(NotAvailable);
        packet.reset(av_packet_alloc());
        if (!packet) return EmptyPacketOf(Error);
        if (AwaitsLiveBytes()) return EmptyPacketOf(NotAvailable);
        int readResult = ReadPacket(packet.get());
        if (readResult == AVERROR(EAGAIN)) return EmptyPacketOf(NotAvailable);
        if (readResult < 0) {
            // A memory input may still grow.
            if (m_memoryInput.IsQueue() && !m_memoryInput.Ended()) return EmptyPacketOf(NotAvailable);
            NoteEndOfInput(readResult);
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
        m_pBsfCtx.reset();
        return EmptyPacketOf(EndState());
    }

    if (m_pBsfCtx) {
        if (av_bsf_send_packet(m_pBsfCtx.get(), packet.get()) != 0) {
            HLOG_ERROR << "Bsf send failed";
            m_pBsfCtx.reset();
            return EmptyPacketOf(Error);
        }
        int result = av_bsf_receive_packet(m_pBsfCtx.get(), packet.get());
        if (result == AVERROR(EAGAIN)) return EmptyPacketOf(NotAvailable);
        if (result != 0) {
            HLOG_ERROR << "Bsf receive failed: " << result;
            m_pBsfCtx.reset();
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

bool FFMpegDecoder::Initialize(unsigned char* data, size_t size, DateTime startTime) {
    if (m_pFormatCtx || m_memoryInput.Io()) return RefuseSecondOpening();
    FFMpegGate::EnsureInitialization(static_cast<FFMpegGate::LogLevel>(m_ffmpegLogLevel));
    m_startTimeUtc = startTime;

    AVFormatContextPtr allocated(avformat_alloc_context());
    if (!allocated || !m_memoryInput.OpenStatic(data, size)) {
        m_memoryInput.Close();
        return false;
    }
    allocated->pb = m_memoryInput.Io();
    try {
        // On failure FFmpeg frees the context.
        AVFormatContext* context = allocated.release();
        if (avformat_open_input(&context, nullptr, nullptr, nullptr) < 0) HALVORA_THROW("Can't open input");
        AdoptInput(OpenedInput(context));
        GetVideoStream(m_pFormatCtx, &m_pVideoStream, &m_videoStreamIndex);
        return true;
    } catch (const Halvora::Common::Exception& e) {
        return InitializeFailed(e);
    }
}

bool FFMpegDecoder::Initialize(unsigned char* data, size_t capacity, size_t dataSize, bool live,
                               const ParameterList* parameters) {
    if (m_pFormatCtx || m_memoryInput.Io()) return RefuseSecondOpening();
    // A failed attempt leaves the decoder as it was: it can be initialized again.
    auto failed = [this, type = m_decoderType, gpu = m_gpuId, offset = m_utcOffsetHours,
                   connection = m_connectionTimeoutMs, getFrame = m_getFrameTimeoutMs] {
        m_memoryInput.Close();
        m_decoderType = type;
        m_gpuId = gpu;
        m_utcOffsetHours = offset;
        m_connectionTimeoutMs = connection;
        m_getFrameTimeoutMs = getFrame;
        return false;
    };
    try {
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
            return failed();
        }
        if (dataSize > capacity || (dataSize > 0 && !data)) {
            HLOG_ERROR << "FFMpegDecoder::Initialize error: " << dataSize << " bytes do not fit a buffer of "
                       << capacity;
            return failed();
        }
        FFMpegGate::EnsureInitialization(static_cast<FFMpegGate::LogLevel>(m_ffmpegLogLevel));

        if (!m_memoryInput.OpenLive(data, capacity, dataSize, live, m_liveBufferLimitMB)) {
            HLOG_ERROR << "Can't allocate memory " << static_cast<int>(requestedFormat);
            return failed();
        }
        m_memoryInput.SetReadTimeout(m_getFrameTimeoutMs);
        AVFormatContext* context = avformat_alloc_context();
        if (!context) return failed();
        context->pb = m_memoryInput.Io();
        // On failure FFmpeg frees the context, not the custom I/O.
        int result = avformat_open_input(&context, nullptr, nullptr, nullptr);
        if (result < 0) {
            HLOG_WARNING << "FFMpegDecoder::Initialize failed: " << AvErrorText(result, 256);
            return failed();
        }
        AdoptInput(OpenedInput(context));
        GetVideoStream(m_pFormatCtx, &m_pVideoStream, &m_videoStreamIndex);
        m_memoryInput.StartReading(m_pFormatCtx, m_videoStreamIndex);
        return true;
    } catch (const Halvora::Common::Exception& e) {
        InitializeFailed(e);
        return failed();
    }
}

bool FFMpegDecoder::AppendChunkToBuffer(unsigned char* chunk, size_t size) {
    return m_memoryInput.Append(chunk, size, [this] {
        // New input after the decoder was drained: decoding starts again.
        int drained = Drained;
        return m_loopState.compare_exchange_strong(drained, NeedsPacket);
    });
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
