#pragma once

#include "Rtsp/RtspSession.h"

#include "Common/FfmpegPtr.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Halvora {
namespace RuvarEduzid {
namespace Rtsp {

// An "rtsp://" input: the RTSP session, and FFmpeg's "sdp" demuxer reading the session's media
// through a custom AVIOContext (first the media description, then one RTP or RTCP packet per
// read). The input owns the demuxer's context; whoever holds only the context finds the input
// again through it (Of). Destroying the input tears the session down and closes the context.
class RtspInput {
public:
    // Opens `url`. `context` may be a context made by avformat_alloc_context (its interrupt
    // callback is then used for every wait; the input takes it over) or null. On failure the
    // context is freed, null is returned and `*error` (when given) holds a negative AVERROR.
    static std::unique_ptr<RtspInput> Open(AVFormatContext* context, const std::string& url,
                                           RtspSessionOptions options, int* error = nullptr);
    // The input that opened `context` (found through the context's own I/O), or null for any
    // other context.
    static RtspInput* Of(const AVFormatContext* context);

    AVFormatContext* Context() const { return m_context; }
    // av_read_frame. A video packet is matched to its own RTP frame (a packet the demuxer left
    // without a time gets that frame's) and moved to the range start.
    int ReadFrame(AVPacket* packet);
    // Times the packet that ReadFrame returned last again, after the range start changed (the
    // packet in hand when a web-stream decoder primed the session).
    void Retime(AVPacket* packet);

    RtspSession& Session() { return *m_session; }
    // See set_rtpctx_range_start and flush_packet_queue.
    int SetRangeStart(int64_t start, int mode);
    void Flush();
    // The RTP timing of the frame read with `pts` (a timestamp ReadFrame gave). False when it is
    // not one of the recent packets; the timing is then derived from the stream clock alone.
    bool FrameTiming(int64_t pts, RtspFrameTiming* timing) const;

    // For time rules that need a sender report: the first packet is handed out only once the first
    // sender report has arrived (or the frames carry ONVIF times, when `enoughWithOnvif`), the
    // session being read meanwhile and nothing dropped; at most `timeoutMs`. When none came in
    // time, one warning says so and the packets go out.
    void HoldForSenderReport(int timeoutMs, bool enoughWithOnvif);
    // The first or the latest sender report, placed on the frames' continuous RTP position.
    bool SenderReport(bool first, RtpFrameTimeline::Report* report) const;
    // The continuous position of an RTP time that arrived just now (in a reply, say).
    int64_t UnwrapRtpTime(uint32_t rtpTime) const { return m_session->Timeline().Unwrap(rtpTime); }
    // FFmpeg's real-time start (microseconds since 1970) of the RTP time at the demuxer's base, from
    // the first sender report, for a stream whose time base is `timeBase`; AV_NOPTS_VALUE before
    // one. A frame's offset from it is its continuous position less BasePosition().
    int64_t StartTimeRealtime(AVRational timeBase) const;
    int64_t BasePosition() const { return m_session->Timeline().BasePosition(); }

    ~RtspInput();
    RtspInput(const RtspInput&) = delete;
    RtspInput& operator=(const RtspInput&) = delete;

private:
    RtspInput() = default;
    static int ReadCallback(void* opaque, uint8_t* buffer, int size);
    static int WriteCallback(void* opaque, uint8_t* buffer, int size);

    // The range start offset in force: what is added to the demuxer's pts.
    int64_t RangeOffset() const;
    // The timing of demuxer pts `rawPts` from the stream clock alone (no callback value).
    RtspFrameTiming ClockTiming(int64_t rawPts) const;
    // Moves `packet` (its demuxer pts and dts in rawPts, rawDts) and records its frame's timing.
    // Waits for the origin first when a flush marked one that has not arrived yet.
    void Place(AVPacket* packet, int64_t rawPts, int64_t rawDts, const RtspFrameTiming& timing);

    std::unique_ptr<RtspSession> m_session;
    AVFormatContext* m_context = nullptr;  // closed by the destructor
    AVIOContextPtr m_io;
    int m_phase = 0;  // 0 description, 1 end of description, 2 packets
    size_t m_sdpOffset = 0;
    bool m_rangeSet = false;
    int64_t m_rangeStart = 0;   // stream time base
    int m_reportHoldMs = 0;       // see HoldForSenderReport; 0 once the first packet went out
    bool m_reportHoldOnvif = false;
    bool m_originMarked = false;  // a flush made the next packet to arrive the range start's origin

    // The latest video packet read, as the demuxer gave it, for Retime.
    int64_t m_lastRawPts = AV_NOPTS_VALUE;
    int64_t m_lastRawDts = AV_NOPTS_VALUE;
    RtspFrameTiming m_lastTiming{};
    bool m_lastRecorded = false;  // its timing is the newest entry of m_recent
    // Timing of the recent video packets by the pts they were read with (a ring).
    struct TimedPacket {
        int64_t pts = AV_NOPTS_VALUE;
        RtspFrameTiming timing{};
    };
    std::vector<TimedPacket> m_recent;
    size_t m_recentNext = 0;
};

}  // namespace Rtsp
}  // namespace RuvarEduzid
}  // namespace Halvora
