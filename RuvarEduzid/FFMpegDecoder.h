#pragma once

// The library's one decoder: files, network streams (RTSP, HTTP, HTTPS) and memory buffers.

#include "Common/DateTime.h"
#include "RuvarEduzid/Export.h"
#include "RuvarEduzid/FFMpegDecoderDetail.h"
#include "RuvarEduzid/FfmpegPtr.h"
#include "RuvarEduzid/MemoryInput.h"
#include "RuvarEduzid/Native/Interfaces.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct RTPDemuxContext;
struct RtspFrameTiming;

namespace Halvora {
namespace Common {
class Exception;
}  // namespace Common

namespace RuvarEduzid {

class RUVAREDUZID_API FFMpegDecoder : public Halvora::Video::Native::IVideoDecoder {
public:
    using DecoderParameter = Halvora::Video::Native::DecoderParameter;
    using ParameterList = std::vector<std::shared_ptr<DecoderParameter>>;
    using IDecodedFrame = Halvora::Video::Native::IDecodedFrame;
    using IEncodedPacket = Halvora::Video::Native::IEncodedPacket;

    FFMpegDecoder();
    ~FFMpegDecoder() override;
    // A decoder owns FFmpeg handles: it is neither copied nor moved.
    FFMpegDecoder(const FFMpegDecoder&) = delete;
    FFMpegDecoder& operator=(const FFMpegDecoder&) = delete;

    // IFrameDecoder
    std::shared_ptr<IDecodedFrame> GetNextFrame() override;
    std::shared_ptr<IDecodedFrame> GetFrameAt(long long fileTimeUtc) override;
    std::shared_ptr<IDecodedFrame> GetFrame(int frameNumber) override;
    void Interrupt() override;

    // IVideoDecoder
    bool Initialize(unsigned char* data, size_t capacity, size_t dataSize, bool live,
                    const ParameterList* parameters) override;
    bool Initialize(const Halvora::Video::Native::VideoFileInfo& info, const ParameterList* parameters) override;
    // Initialize, then asks the RTSP server for the start of the play range (GET_PARAMETER) and
    // makes the packet timestamps count from it. False when opening fails or no reply came.
    bool InitializeRtsp(const Halvora::Video::Native::VideoFileInfo& info, const ParameterList* parameters);
    Halvora::Video::Native::VideoFileInfoResult GetVideoFileInfo(const std::wstring& path) override;
    bool AppendChunkToBuffer(unsigned char* data, size_t size) override;

    // IPacketDemuxer
    std::shared_ptr<IEncodedPacket> GetNextPacket() override;
    int GetCodecId() override;

    // IPlugin
    boost::uuids::uuid GetId() override;
    std::wstring GetName() override;

    // Static memory form: decodes the caller's buffer, which must outlive the decoder.
    bool Initialize(unsigned char* data, size_t size, Halvora::Common::DateTime startTime);

    // Key frames only; used to prove that a stream decodes.
    std::shared_ptr<IDecodedFrame> GetNextKeyFrame();

    AVFormatContext* getFormatCtx() { return m_pFormatCtx; }
    // The RTSP layer's input of an "rtsp://" source, null for any other source.
    Rtsp::RtspInput* RtspSource() const { return m_input.Rtsp(); }

protected:
    // Called once, right after the decoder opened, with the input. A non-zero result says that the
    // hook primed the input (moved an RTSP range start): the packet that opened the decoder is
    // timed again, and decoded like every other packet.
    virtual void OnDecoderOpen(std::function<int(AVFormatContext*)> hook);
    // When set, each frame's time is the hook's result instead of the computed one.
    virtual void OnFrameReceived(std::function<unsigned long long(AVFrame*)> hook);

    void ProcessParameters(Halvora::Video::Native::DecodedImageFormat& requestedFormat,
                           const ParameterList* parameters);
    void OpenDecoder(Halvora::Video::Native::DecoderTypes type, bool allowCuvid);

    // Every packet the decoder reads comes through here.
    int ReadPacket(AVPacket* packet);

    // For the time rules of RTSP sources: the RTP timing of a decoded frame's own packets, found
    // by the pts its packet carried. False for other sources and frames without a timestamp.
    bool FrameRtpTiming(const AVFrame* frame, RtspFrameTiming* timing) const;
    // The latest RTP and sender-report timing of the RTSP source's video stream, null for other
    // sources.
    const RTPDemuxContext* StreamRtpTiming() const;
    // The RTP timestamp of a decoded frame's own packets (that of the latest packet when the frame's
    // are not known); false for other sources.
    bool FrameRtpTimestamp(const AVFrame* frame, uint32_t* timestamp) const;
    // The time base of the chosen video stream (1/90000 before one is chosen); for an RTSP source
    // 1 / the clock rate of the media's rtpmap.
    AVRational VideoTimeBase() const;
    // For time rules that need an RTCP sender report: the RTSP source hands out no frame before the
    // first report has come (or, with `enoughWithOnvif`, the frames carry ONVIF times), waiting at
    // most the get-next time-out; frames that came earlier are then dated backwards from it. Takes
    // effect when the source opens, or at once when it is open and nothing was read yet.
    void AwaitSenderReport(bool enoughWithOnvif);
    // The decoder's own time of a frame with timestamp `pts`: the start time plus the stream
    // clock, or the stream clock read as UTC (what frames get without a frame hook).
    long long StreamClockTime(int64_t pts) const;
    // A new network exchange starts now: the watchdog allows it the whole time-out, even after it
    // gave up on an earlier one.
    void RestartWatchdog() {
        m_interruptContext.lastActivity = FFMpegDecoderDetail::WatchdogNow();
        m_interruptContext.timedOut = false;
    }

    // Skips the packets before the first key frame, then decodes every packet until a frame comes
    // out, and returns it: the packets after the key frame stay in the decoder for GetNextFrame
    // (unlike GetNextKeyFrame, which skips them).
    std::shared_ptr<IDecodedFrame> DecodeFirstKeyFrame();
    // The next GetNextFrame (or GetNextKeyFrame: `frame` is a key frame) returns `frame` before it
    // decodes anything; a seek drops it.
    void HoldFrame(std::shared_ptr<IDecodedFrame> frame);

private:
    // Logs the failure of an Initialize, closes what it had opened and returns false.
    bool InitializeFailed(const Halvora::Common::Exception& e);
    // Logs that an Initialize came for a decoder that is already open and returns false.
    bool RefuseSecondOpening();
    enum LoopState : int { NeedsPacket = 0, PacketSent = 1, FrameReady = 2, Drained = 3 };

    // Which packets the frame loop decodes: all, key frames only, or all from the first key frame.
    enum class LoopMode { AllFrames, KeyFrames, FromFirstKeyFrame };
    // What a loop step left to count against the loop's limits.
    struct LoopCounters {
        int errors = 0;
        int foreignPackets = 0;
        int warningLimit = 65536;
    };
    std::shared_ptr<IDecodedFrame> RunFrameLoop(LoopMode mode);
    // One step per loop state; each returns the result to hand out, or null to step again.
    // NeedsPacket: reads the next video packet and sends it to the decoder (drains it at the end).
    std::shared_ptr<IDecodedFrame> FeedPacket(LoopMode mode, LoopCounters& counters);
    // PacketSent: takes the next frame out of the decoder.
    std::shared_ptr<IDecodedFrame> ReceiveFrame(LoopCounters& counters);
    // FrameReady: dates the frame and hands it out (unless it lies before the seek target).
    std::shared_ptr<IDecodedFrame> TakeFrame();
    // After each step: too many errors or foreign packets end the loop.
    std::shared_ptr<IDecodedFrame> CheckLimits(LoopCounters& counters);
    // The parts of FeedPacket: opening the decoder on the first video packet, the packets a mode
    // takes, sending m_pReadPacket, and the drain at the end of input.
    void OpenDecoderFor(AVPacket* packet);
    bool TakenByLoop(LoopMode mode, const AVPacket* packet);
    std::shared_ptr<IDecodedFrame> SendPacket(LoopCounters& counters);
    std::shared_ptr<IDecodedFrame> Drain();
    // Time of m_pFrame; `drop` when the frame lies before the seek target, `endOfArchive` when
    // the end of the stream carries an invalid timestamp.
    long long FrameTime(bool& drop, bool& endOfArchive);
    // After a seek: the decoder starts over at `targetPts`.
    void RestartAt(int64_t targetPts);
    // Reading stopped with `readResult`: a network source that did not end (a lost connection, a
    // stall past the watchdog, broken data) is lost, and the decoder ends in Error instead of
    // EndOfArchive once it handed out the frames it still held.
    void NoteEndOfInput(int readResult);
    // The state that ends decoding: Error for a lost source, EndOfArchive otherwise.
    Halvora::Video::Native::DecoderState EndState() const;
    void UpdateDts(AVPacket* packet);
    bool HasInterruptCallback() const;
    // The input being read is `input` / none. (Inline: internal types stay out of the exported
    // symbols.)
    void AdoptInput(FFMpegDecoderDetail::OpenedInput input) {
        m_input = std::move(input);
        m_pFormatCtx = m_input.get();
    }
    void CloseInput();
    // Memory input that may still grow cannot give the next packet whole now (see MemoryInput).
    bool AwaitsLiveBytes() const;
    void ReleaseAll();

    // The input being read (m_input's demuxer) and what owns it.
    AVFormatContext* m_pFormatCtx = nullptr;
    FFMpegDecoderDetail::OpenedInput m_input;
    AVCodecContextPtr m_pCodecCtx;
    Halvora::Common::DateTime m_startTimeUtc;
    AVFramePtr m_pFrame;
    AVStream* m_pVideoStream = nullptr;
    int m_videoStreamIndex = -1;
    int64_t m_streamStartPts = 0;
    int64_t m_seekTargetPts = 0;
    bool m_decoderOpen = false;
    Halvora::Video::Native::DecoderTypes m_decoderType = Halvora::Video::Native::DecoderTypes::Software;
    int m_gpuId = 0;
    int m_decoderSurfaces = -1;
    int m_liveBufferLimitMB = 50;
    float m_utcOffsetHours = 0.0f;
    MemoryInput m_memoryInput{&m_interrupted};
    bool m_endOfFile = false;
    std::function<int(AVFormatContext*)> m_onDecoderOpen;
    std::function<unsigned long long(AVFrame*)> m_onFrameReceived;
    FFMpegDecoderDetail::InterruptContext m_interruptContext;
    int m_connectionTimeoutMs = 30000;
    int m_getFrameTimeoutMs = 5000;
    int m_rtspTransport = 0;
    int m_awaitSenderReport = 0;  // 0 no, 1 a sender report, 2 a sender report or ONVIF times
    int m_ffmpegLogLevel = 8;
    int m_decoderThreads = 1;
    int64_t m_nextDtsUs = AV_NOPTS_VALUE;
    AVBSFContextPtr m_pBsfCtx;
    bool m_bsfInitialized = false;
    std::atomic<int> m_loopState{0};
    std::atomic<bool> m_interrupted{false};
    // Reused by the frame loops for every read.
    AVPacketPtr m_pReadPacket;
    // The decoder refused the packet in m_pReadPacket (EAGAIN): it is sent again after the
    // pending frames were received.
    bool m_resendPacket = false;
    // A drain request was sent; new input needs the decoder flushed first.
    bool m_codecDrained = false;
    // A key frame was sent to the decoder (FromFirstKeyFrame sends every packet from then on).
    bool m_keyFrameSent = false;
    // Handed out by the next GetNextFrame (see HoldFrame).
    std::shared_ptr<IDecodedFrame> m_heldFrame;
    // The network source was lost (see NoteEndOfInput).
    bool m_inputLost = false;
};

}  // namespace RuvarEduzid
}  // namespace Halvora

// Plain functions for hosts that cannot hold the library's objects.
RUVAREDUZID_C_API Halvora::RuvarEduzid::FFMpegDecoder* FFMpegDecoder_Create();
RUVAREDUZID_C_API void FFMpegDecoder_Destroy(Halvora::RuvarEduzid::FFMpegDecoder* decoder);
RUVAREDUZID_C_API bool FFMpegDecoder_InitializeFromBuffer(Halvora::RuvarEduzid::FFMpegDecoder* decoder,
                                                          unsigned char* data, size_t size, int64_t startTime);
RUVAREDUZID_C_API bool FFMpegDecoder_AppendBuffer(Halvora::RuvarEduzid::FFMpegDecoder* decoder, unsigned char* data,
                                                  size_t size);
RUVAREDUZID_C_API void FFMpegDecoder_GetNextFrame(Halvora::RuvarEduzid::FFMpegDecoder* decoder);
