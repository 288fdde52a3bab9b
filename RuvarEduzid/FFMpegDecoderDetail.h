#pragma once

// The decoder's opening helpers: the network watchdog, opening a file or stream, picking the
// video stream, making a decoder context and the Annex B filter.

#include "RuvarEduzid/FfmpegPtr.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

namespace Halvora {
namespace RuvarEduzid {

namespace Rtsp {
class RtspInput;
}  // namespace Rtsp

namespace FFMpegDecoderDetail {

// The clock of the network watchdog: monotonic, so that no change of the wall clock stretches or
// cuts a time-out.
using WatchdogClock = std::chrono::steady_clock;

// Opaque of FFmpeg's interrupt callback: the network watchdog of one decoder.
struct InterruptContext {
    WatchdogClock::time_point lastActivity;
    int timeoutMs = 0;
    short expirations = 0;
    // The decoder's interrupt flag: once set, every blocking FFmpeg call is abandoned.
    const std::atomic<bool>* interrupted = nullptr;
    // Set when the watchdog abandoned a wait: the source stopped sending.
    bool timedOut = false;
};

inline WatchdogClock::time_point WatchdogNow() { return WatchdogClock::now(); }

// FFmpeg's AVIOInterruptCB callback; `opaque` is an InterruptContext.
int interrupt_cb(void* opaque);

// An opened source: FFmpeg's demuxer, owned by the RTSP layer's input for "rtsp://" addresses and
// directly otherwise.
class OpenedInput {
public:
    OpenedInput();
    explicit OpenedInput(AVFormatContext* context);
    explicit OpenedInput(std::unique_ptr<Rtsp::RtspInput> rtsp);
    OpenedInput(OpenedInput&&) noexcept;
    OpenedInput& operator=(OpenedInput&&) noexcept;
    ~OpenedInput();

    AVFormatContext* get() const;
    // The RTSP layer's input, null for other sources.
    Rtsp::RtspInput* Rtsp() const { return m_rtsp.get(); }
    // Closes the source (TEARDOWN for an RTSP session).
    void reset();

private:
    std::unique_ptr<Rtsp::RtspInput> m_rtsp;
    AVInputFormatContextPtr m_context;
};

// Opens `path` (a file or a network address). Network addresses get the watchdog when
// `interruptContext` is given; "rtsp://" addresses go through the RTSP layer with the transport of
// `rtspTransport` (the settings code). Throws CodeErrorException when the input does not open.
OpenedInput GetVideoFormatContext(const std::wstring& path, InterruptContext* interruptContext, int rtspTransport);
// Reads the stream information and picks the best video stream. Throws when there is none.
void GetVideoStream(AVFormatContext* context, AVStream** stream, int* index);
// A decoder context (not opened) for the stream: the CUVID wrapper when `hwAccel` and one exists.
AVCodecContextPtr GetVideoCodecContext(AVFormatContext* context, AVStream* stream, bool hwAccel,
                                       const AVCodec** codec);
// get_format callbacks: 4:2:0 software formats, and CUDA first for the hardware paths.
AVPixelFormat GetYuvFormat(AVCodecContext* context, const AVPixelFormat* formats);
AVPixelFormat GetAnyFormat(AVCodecContext* context, const AVPixelFormat* formats);
// An initialised Annex B filter for H.264 and HEVC from MP4-family and Matroska inputs, else null.
AVBSFContextPtr FindBsf(AVFormatContext* input, AVCodecContext* codec);

}  // namespace FFMpegDecoderDetail
}  // namespace RuvarEduzid
}  // namespace Halvora
