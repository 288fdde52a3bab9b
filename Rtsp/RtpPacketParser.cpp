#include "Rtsp/RtpPacketParser.h"

namespace Halvora {
namespace RuvarEduzid {
namespace Rtsp {

bool RtpPacketParser::HasWholeHeader(const uint8_t* data, size_t size) {
    size_t header = 12;
    if (size < header || (data[0] >> 6) != 2) return false;
    header += 4u * (data[0] & 0x0f);
    if (data[0] & 0x10) {
        if (size < header + 4) return false;
        header += 4 + 4u * ((static_cast<size_t>(data[header + 2]) << 8) | data[header + 3]);
    }
    if (size < header) return false;
    if (data[0] & 0x20) return size > header && data[size - 1] <= size - header;
    return true;
}

RtpPacketParser::RtcpInfo RtpPacketParser::ParseRtcp(const uint8_t* data, size_t size) {
    RtcpInfo info;
    size_t offset = 0;
    while (offset + 4 <= size) {
        const uint8_t* p = data + offset;
        if ((p[0] >> 6) != 2) break;
        const size_t length = (((static_cast<size_t>(p[2]) << 8) | p[3]) + 1) * 4;
        if (offset + length > size) break;
        if (p[1] == 203) info.bye = true;
        if (p[1] == 200 && length >= 28) {
            info.senderReport = true;
            info.ntpTime = (static_cast<uint64_t>(ReadBe32(p + 8)) << 32) | ReadBe32(p + 12);
            info.rtpTime = ReadBe32(p + 16);
        }
        offset += length;
    }
    return info;
}

}  // namespace Rtsp
}  // namespace RuvarEduzid
}  // namespace Halvora
