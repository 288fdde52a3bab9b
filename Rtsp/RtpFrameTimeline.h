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
class RtpFrameTimeline {
public:
    struct Frame {
        uint32_t timestamp = 0;      // RTP timestamp of the frame's packets
        int64_t pts = 0;             // the pts the demuxer gives packets of that timestamp
        uint64_t callbackValue = 0;  // the packet callback's destination after the frame's packets
        bool hasCallbackValue = false;
    };

    // An RTP packet of the media, whole, as it goes to the demuxer. `callbackValue` is the packet
    // callback's destination after the callback saw this packet, when a callback is bound.
    void OnRtpPacket(const uint8_t* packet, size_t size, bool hasCallbackValue, uint64_t callbackValue);
    // A sender report as it goes to the demuxer.
    void OnSenderReport(uint32_t rtpTime);

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

    std::deque<Pending> m_frames;
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
