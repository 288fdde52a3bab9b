#pragma once

// The library's one decoder: files, network streams (RTSP, HTTP, HTTPS) and memory buffers.

#include "Common/DateTime.h"
#include "RuvarEduzid/Export.h"
#include "RuvarEduzid/FfmpegPtr.h"
#include "RuvarEduzid/Native/Interfaces.h"

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace Halvora {
namespace Common {
class Exception;
}  // namespace Common

namespace RuvarEduzid {

namespace FFMpegDecoderDetail {

// Opaque of FFmpeg's interrupt callback: the network watchdog of one decoder.
struct InterruptContext {
    boost::posix_time::ptime lastActivity;
    int timeoutMs = 0;
    short expirations = 0;
    // The decoder's interrupt flag: once set, every blocking FFmpeg call is abandoned.
    const std::atomic<bool>* interrupted = nullptr;
};

// Bytes fed from memory. Static form: the caller's buffer, read from `position`. Live form: a
// decoder-owned queue whose `used` unread bytes start at `position`.
struct MemoryInput {
    unsigned char* data = nullptr;
    uint64_t position = 0;
    uint64_t used = 0;
    uint64_t capacity = 0;
};

// Now, second resolution: the clock of the network watchdog.
boost::posix_time::ptime WatchdogNow();

// FFmpeg's AVIOInterruptCB callback; `opaque` is an InterruptContext.
int interrupt_cb(void* opaque);

// Opens `path` (a file or a network address). Network addresses get the watchdog when
// `interruptContext` is given; "rtsp://" addresses get the transport option of `rtspTransport`.
// Throws CodeErrorException when the input does not open.
AVFormatContext* GetVideoFormatContext(const std::wstring& path, InterruptContext* interruptContext,
                                       const int* rtspTransport);
// Reads the stream information and picks the best video stream. Throws when there is none.
void GetVideoStream(AVFormatContext* context, AVStream** stream, int* index);
// A decoder context (not opened) for the stream: the CUVID wrapper when `hwAccel` and one exists.
AVCodecContext* GetVideoCodecContext(AVFormatContext* context, AVStream* stream, bool hwAccel, const AVCodec** codec);
// get_format callbacks: 4:2:0 software formats, and CUDA first for the hardware paths.
AVPixelFormat GetYuvFormat(AVCodecContext* context, const AVPixelFormat* formats);
AVPixelFormat GetAnyFormat(AVCodecContext* context, const AVPixelFormat* formats);
// An initialised Annex B filter for H.264 and HEVC from MP4-family and Matroska inputs, else null.
AVBSFContext* FindBsf(AVFormatContext* input, AVCodecContext* codec);

}  // namespace FFMpegDecoderDetail

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
    std::shared_ptr<IDecodedFrame> RunFrameLoop(LoopMode mode);
    // Time of m_pFrame; `drop` when the frame lies before the seek target, `endOfArchive` when
    // the end of the stream carries an invalid timestamp.
    long long FrameTime(bool& drop, bool& endOfArchive);
    void UpdateDts(AVPacket* packet);
    bool HasInterruptCallback() const;
    uint64_t QueuedBytes() const;
    bool LiveInputEnded() const;
    void ReleaseAll();

    static int StaticRead(void* opaque, uint8_t* buffer, int size);
    static int LiveRead(void* opaque, uint8_t* buffer, int size);

    AVFormatContext* m_pFormatCtx = nullptr;
    AVCodecContext* m_pCodecCtx = nullptr;
    AVIOContext* m_pIoCtx = nullptr;
    Halvora::Common::DateTime m_startTimeUtc;
    AVFrame* m_pFrame = nullptr;
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
    FFMpegDecoderDetail::MemoryInput m_memoryInput;
    bool m_endOfFile = false;
    std::function<int(AVFormatContext*)> m_onDecoderOpen;
    std::function<unsigned long long(AVFrame*)> m_onFrameReceived;
    bool m_bufferInput = false;
    FFMpegDecoderDetail::InterruptContext m_interruptContext;
    int m_connectionTimeoutMs = 30000;
    int m_getFrameTimeoutMs = 5000;
    int m_rtspTransport = 0;
    int m_ffmpegLogLevel = 8;
    int m_decoderThreads = 1;
    int64_t m_nextDtsUs = AV_NOPTS_VALUE;
    AVBSFContext* m_pBsfCtx = nullptr;
    bool m_bsfInitialized = false;
    std::atomic<int> m_loopState{0};
    std::atomic<bool> m_interrupted{false};
    bool m_live = false;

    // Live form: set by a zero-size append; the queued bytes are the last ones.
    bool m_liveInputEnded = false;
    // The thread of the latest append; a read that runs dry waits for bytes only when another
    // thread feeds the queue.
    std::thread::id m_appendThread;
    // Reused by the frame loops for every read.
    AVPacket* m_pReadPacket = nullptr;
    // The decoder refused the packet in m_pReadPacket (EAGAIN): it is sent again after the
    // pending frames were received.
    bool m_resendPacket = false;
    // A drain request was sent; new input needs the decoder flushed first.
    bool m_codecDrained = false;
    // A key frame was sent to the decoder (FromFirstKeyFrame sends every packet from then on).
    bool m_keyFrameSent = false;
    // Handed out by the next GetNextFrame (see HoldFrame).
    std::shared_ptr<IDecodedFrame> m_heldFrame;
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
