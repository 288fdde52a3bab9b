#pragma once

#include "Rtsp/RtspExtensions.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace Halvora {
namespace RuvarEduzid {
namespace Rtsp {

// The RTP frames of the set-up media in the order they reach FFmpeg's RTP demuxer, each with the
// continuous RTP time the demuxer gives its packets. A frame is the run of RTP packets that share
// one timestamp; the demuxer hands its access units out in the same order, so each packet read
// from the demuxer is matched to its own frame here, however late it leaves the decoder.
//
// The demuxer's clock is followed exactly: a packet's pts is its continuous RTP time (every RTP
// time difference counts as a signed 32-bit step) less the base, the first non-zero RTP time the
// demuxer met (a sender report's when one came before any packet).
//
// The time rules count on a position of their own: every RTP time unwrapped into 64 bits (each
// step a signed 32-bit difference from the latest packet, the first packet at its own value), so
// that it keeps counting past the 32-bit wrap and a time before a reference gives a negative
// difference. Sender reports are placed on it where they arrive.
class RtpFrameTimeline {
public:
    // A sender report: its NTP time (32.32) and its RTP time on the continuous position.
    struct Report {
        uint64_t ntp = 0;
        int64_t position = 0;
    };
    struct Frame {
        uint32_t timestamp = 0;      // RTP timestamp of the frame's packets
        int64_t pts = 0;             // the pts the demuxer gives packets of that timestamp
        int64_t position = 0;        // the frame's RTP time on the continuous position
        uint64_t callbackValue = 0;  // the packet callback's destination after the frame's packets
        bool hasCallbackValue = false;
        bool hasReport = false;      // a sender report was known when the frame's first packet came:
        Report report;               // the latest one then
        bool hasOnvifTime = false;   // the frame's packets carry the ONVIF replay extension:
        uint64_t onvifNtp = 0;       // its NTP time (32.32), from the first packet that has it
    };

    // An RTP packet of the media, whole, as it goes to the demuxer. `callbackValue` is the packet
    // callback's destination after the callback saw this packet, when a callback is bound.
    void OnRtpPacket(const uint8_t* packet, size_t size, bool hasCallbackValue, uint64_t callbackValue);
    // A sender report as it goes to the demuxer.
    void OnSenderReport(uint32_t rtpTime, uint64_t ntpTime);

    // The continuous position of an RTP time near the latest packet's (the nearest one: within
    // 2^31 ticks either way). Before any packet: the time itself.
    int64_t Unwrap(uint32_t rtpTime) const;
    // The first and the latest sender report, once one came and a packet placed it.
    bool FirstReport(Report* report) const;
    bool LatestReport(Report* report) const;
    // The continuous position of the demuxer's base (see Base()).
    int64_t BasePosition() const { return m_basePosition; }
    // A packet carried the ONVIF replay extension.
    bool OnvifTimesSeen() const { return m_onvifPackets > 0; }
    uint64_t OnvifPackets() const { return m_onvifPackets; }

    // Until a packet callback is bound or the demuxer's packets are first read by the decoder, the
    // frames keep copies of their packets: a callback bound after the stream information was
    // probed still sees every packet before the frames made of it are timed. Binding replays the
    // kept packets to the callback, oldest first, and records its destination for each frame.
    void BindCallback(RtspPacketCallback callback, uint64_t* destination);
    void StopKeepingPackets();

    // The demuxer's base: its pts of RTP timestamp t is (continuous t) - Base().
    uint32_t Base() const { return m_base; }

    // The first RTP packet that arrives after this call is the origin of the range start.
    void MarkOrigin() { m_originPending = true; }
    bool OriginPending() const { return m_originPending; }
    bool HasOrigin() const { return m_hasOrigin; }
    // The demuxer's pts of the origin packet.
    int64_t OriginPts() const { return m_originPts; }
    // No packet came after the mark: the latest packet's time stands in for the origin.
    void SettleOriginOnLatest();

    // The frame of the next access unit the demuxer hands out, found by its pts (the demuxer's
    // clock, AV_NOPTS_VALUE when it gave none: then it is the oldest frame not yet handed out).
    // Frames before it that never became an access unit are forgotten. False when none matches.
    bool Take(int64_t demuxerPts, Frame* frame);

    size_t PendingFrames() const { return m_frames.size(); }

private:
    struct Pending : Frame {
        std::vector<std::vector<uint8_t>> packets;  // kept for a callback bound later
    };

    // Places the reports that came before any packet, once one did.
    void PlaceEarlyReports();

    std::deque<Pending> m_frames;
    // The continuous position (see above).
    bool m_hasPacket = false;
    uint32_t m_lastTimestamp = 0;
    int64_t m_continuous = 0;
    int64_t m_basePosition = 0;
    bool m_baseFromReport = false;
    // Sender reports: the first, the latest, and one that came before any packet (its RTP time not
    // yet placed).
    bool m_hasReports = false;
    Report m_firstReport;
    Report m_latestReport;
    uint32_t m_earlyFirstRtp = 0, m_earlyLatestRtp = 0;
    bool m_reportsEarly = false;
    uint64_t m_onvifPackets = 0;
    uint32_t m_base = 0;
    uint32_t m_previous = 0;
    int64_t m_position = 0;
    bool m_senderReportSeen = false;
    bool m_keepPackets = true;
    size_t m_keptBytes = 0;
    bool m_originPending = false;
    bool m_hasOrigin = false;
    int64_t m_originPts = 0;
};

}  // namespace Rtsp
}  // namespace RuvarEduzid
}  // namespace Halvora
