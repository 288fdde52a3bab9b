#pragma once

#include <cstddef>
#include <cstdint>

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
    // Walks a compound RTCP packet; stops at the first malformed part.
    static RtcpInfo ParseRtcp(const uint8_t* data, size_t size);
    static uint32_t ReadBe32(const uint8_t* p) {
        return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
               (static_cast<uint32_t>(p[2]) << 8) | p[3];
    }
};

}  // namespace Rtsp
}  // namespace RuvarEduzid
}  // namespace Halvora
