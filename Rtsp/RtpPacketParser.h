#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Halvora {
namespace RuvarEduzid {
namespace Rtsp {

// Bounds-checked reading of the RTP and RTCP packets a server sends.
class RtpPacketParser {
public:
    struct RtcpInfo {
        bool senderReport = false;
        uint64_t ntpTime = 0;   // 32.32 of the last sender report in the compound packet
        uint32_t rtpTime = 0;   // its RTP time
        bool bye = false;
    };

    // Payload types 200 to 204 in the second byte: an RTCP packet.
    static bool IsRtcp(const uint8_t* data, size_t size) { return size >= 2 && data[1] >= 200 && data[1] <= 204; }
    // Version 2 and the whole header (CSRC list, extension, padding) inside the packet.
    static bool HasWholeHeader(const uint8_t* data, size_t size);
    // The payload of a packet that has its whole header: after the CSRC list and the extension,
    // without the padding.
    static void Payload(const uint8_t* data, size_t size, const uint8_t** payload, size_t* payloadSize);

    // Payload formats whose packets are checked before FFmpeg's depacketizer sees them.
    enum class PayloadFormat { Other, H264, Hevc };
    // By the encoding name of an "a=rtpmap" line ("H264", "H265"), in any case.
    static PayloadFormat FormatOfEncoding(const std::string& encoding);
    // False for a payload that FFmpeg's depacketizer of that format refuses (empty, unknown or
    // unsupported NAL unit types, fragments or aggregates too short for their headers). FFmpeg
    // 5.1 leaks the timing side data it attaches to a refused packet after a sender report, so
    // such packets are dropped before they reach it; they carry nothing it could decode.
    static bool IsDepacketizable(PayloadFormat format, const uint8_t* payload, size_t size);

    // The NTP time (32.32) of the ONVIF replay header extension (profile 0xABAC, at least three
    // words: the 64-bit NTP time, then the C, E, D and T bits and the CSeq) of an RTP packet; false
    // when the packet carries none or is too short for it.
    static bool OnvifTime(const uint8_t* data, size_t size, uint64_t* ntp);

    // Walks a compound RTCP packet; stops at the first malformed part.
    static RtcpInfo ParseRtcp(const uint8_t* data, size_t size);
    // Big-endian fields of RTP and RTCP packets.
    static uint16_t ReadBe16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
    static uint32_t ReadBe32(const uint8_t* p) {
        return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
               (static_cast<uint32_t>(p[2]) << 8) | p[3];
    }
    static uint64_t ReadBe64(const uint8_t* p) { return (static_cast<uint64_t>(ReadBe32(p)) << 32) | ReadBe32(p + 4); }
};

}  // namespace Rtsp
}  // namespace RuvarEduzid
}  // namespace Halvora
