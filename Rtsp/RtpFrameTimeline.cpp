#include "Rtsp/RtpFrameTimeline.h"

#include "Rtsp/RtpPacketParser.h"

#include "Common/Logger.h"

extern "C" {
#include <libavutil/avutil.h>
}

#include <algorithm>

namespace Halvora {
namespace RuvarEduzid {
namespace Rtsp {

namespace {
// Frames waiting for their access unit: the demuxer's probe and the session's queue hold far
// fewer (minutes of video at usual rates).
constexpr size_t kMaxFrames = 16384;
// Packets kept for a callback bound after the stream was probed.
constexpr size_t kMaxKeptBytes = 8u << 20;
// How far ahead of the oldest frame an access unit is looked for.
constexpr size_t kSearchFrames = 512;
}  // namespace

int64_t RtpFrameTimeline::Unwrap(uint32_t rtpTime) const {
    if (!m_hasPacket) return rtpTime;
    return m_continuous + static_cast<int32_t>(rtpTime - m_lastTimestamp);
}

bool RtpFrameTimeline::FirstReport(Report* report) const {
    if (!m_hasReports || m_reportsEarly) return false;
    *report = m_firstReport;
    return true;
}

bool RtpFrameTimeline::LatestReport(Report* report) const {
    if (!m_hasReports || m_reportsEarly) return false;
    *report = m_latestReport;
    return true;
}

void RtpFrameTimeline::PlaceEarlyReports() {
    if (m_reportsEarly) {
        m_reportsEarly = false;
        m_firstReport.position = Unwrap(m_earlyFirstRtp);
        m_latestReport.position = Unwrap(m_earlyLatestRtp);
    }
    if (m_baseFromReport) {
        m_baseFromReport = false;
        m_basePosition = Unwrap(m_base);
    }
}

void RtpFrameTimeline::OnRtpPacket(const uint8_t* packet, size_t size, bool hasCallbackValue, uint64_t callbackValue) {
    if (size < 12) return;
    const uint32_t timestamp = RtpPacketParser::ReadBe32(packet + 4);
    // The continuous position of the time rules.
    m_continuous = Unwrap(timestamp);
    m_lastTimestamp = timestamp;
    m_hasPacket = true;
    PlaceEarlyReports();
    uint64_t onvifNtp = 0;
    const bool onvif = RtpPacketParser::OnvifTime(packet, size, &onvifNtp);
    if (onvif) ++m_onvifPackets;
    // The demuxer's own arithmetic, including its reading of 0 as "not yet set".
    if (!m_base) {
        m_base = timestamp;
        m_basePosition = m_continuous;
    }
    if (!m_previous)
        m_position += timestamp;
    else
        m_position += static_cast<int32_t>(timestamp - m_previous);
    m_previous = timestamp;
    const int64_t pts = m_position - static_cast<int64_t>(m_base);
    if (m_originPending) {
        m_originPending = false;
        m_hasOrigin = true;
        m_originPts = pts;
    }
    if (m_frames.empty() || m_frames.back().timestamp != timestamp || m_frames.back().pts != pts) {
        if (m_frames.size() >= kMaxFrames) {
            for (const auto& kept : m_frames.front().packets) m_keptBytes -= kept.size();
            m_frames.pop_front();
        }
        m_frames.emplace_back();
        Pending& added = m_frames.back();
        added.timestamp = timestamp;
        added.pts = pts;
        added.position = m_continuous;
        added.hasReport = LatestReport(&added.report);
    }
    Pending& frame = m_frames.back();
    if (onvif && !frame.hasOnvifTime) {
        frame.hasOnvifTime = true;
        frame.onvifNtp = onvifNtp;
    }
    if (hasCallbackValue) {
        frame.callbackValue = callbackValue;
        frame.hasCallbackValue = true;
    }
    if (m_keepPackets) {
        if (m_keptBytes + size > kMaxKeptBytes) {
            HLOG_DEBUG << "RTSP: more than " << (kMaxKeptBytes >> 20)
                       << " MB arrived before the stream was read; a packet callback bound from now on sees only "
                          "the packets that arrive after its binding";
            StopKeepingPackets();
        } else {
            frame.packets.emplace_back(packet, packet + size);
            m_keptBytes += size;
        }
    }
}

void RtpFrameTimeline::OnSenderReport(uint32_t rtpTime, uint64_t ntpTime) {
    // Placed near the latest packet; one that comes before any packet is placed by the first.
    m_latestReport = Report{ntpTime, Unwrap(rtpTime)};
    if (!m_hasPacket) {
        m_earlyLatestRtp = rtpTime;
        if (!m_hasReports) m_earlyFirstRtp = rtpTime;
        m_reportsEarly = true;
    }
    if (!m_hasReports) m_firstReport = m_latestReport;
    m_hasReports = true;
    if (m_senderReportSeen) return;
    m_senderReportSeen = true;
    if (!m_base) {
        m_base = rtpTime;
        m_basePosition = m_latestReport.position;
        m_baseFromReport = !m_hasPacket;
    }
}

void RtpFrameTimeline::BindCallback(RtspPacketCallback callback, uint64_t* destination) {
    if (callback) {
        for (Pending& frame : m_frames) {
            if (frame.packets.empty()) continue;
            for (const auto& packet : frame.packets) callback(packet.data(), static_cast<int>(packet.size()), destination);
            if (destination) {
                frame.callbackValue = *destination;
                frame.hasCallbackValue = true;
            }
        }
    }
    StopKeepingPackets();
}

void RtpFrameTimeline::StopKeepingPackets() {
    if (!m_keepPackets) return;
    m_keepPackets = false;
    for (Pending& frame : m_frames) std::vector<std::vector<uint8_t>>().swap(frame.packets);
    m_keptBytes = 0;
}

void RtpFrameTimeline::SettleOriginOnLatest() {
    if (!m_originPending) return;
    m_originPending = false;
    m_hasOrigin = true;
    m_originPts = m_position - static_cast<int64_t>(m_base);
}

bool RtpFrameTimeline::Take(int64_t demuxerPts, Frame* frame) {
    if (m_frames.empty()) return false;
    size_t index = 0;
    if (demuxerPts != AV_NOPTS_VALUE) {
        const size_t limit = std::min(m_frames.size(), kSearchFrames);
        while (index < limit && m_frames[index].pts != demuxerPts) ++index;
        if (index == limit) return false;
    }
    *frame = m_frames[index];
    for (size_t i = 0; i <= index; ++i) {
        for (const auto& kept : m_frames.front().packets) m_keptBytes -= kept.size();
        m_frames.pop_front();
    }
    return true;
}

}  // namespace Rtsp
}  // namespace RuvarEduzid
}  // namespace Halvora
