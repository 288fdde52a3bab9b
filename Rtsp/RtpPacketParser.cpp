#include "Rtsp/RtpPacketParser.h"

#include <strings.h>

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

void RtpPacketParser::Payload(const uint8_t* data, size_t size, const uint8_t** payload, size_t* payloadSize) {
    size_t header = 12 + 4u * (data[0] & 0x0f);
    if (data[0] & 0x10) header += 4 + 4u * ((static_cast<size_t>(data[header + 2]) << 8) | data[header + 3]);
    size_t end = size;
    if (data[0] & 0x20) end -= data[size - 1];
    *payload = data + header;
    *payloadSize = end - header;
}

bool RtpPacketParser::OnvifTime(const uint8_t* data, size_t size, uint64_t* ntp) {
    if (size < 12 || (data[0] >> 6) != 2 || !(data[0] & 0x10)) return false;
    const size_t extension = 12 + 4u * (data[0] & 0x0f);
    if (size < extension + 16 || ReadBe16(data + extension) != 0xABAC || ReadBe16(data + extension + 2) < 3) return false;
    *ntp = ReadBe64(data + extension + 4);
    return true;
}

RtpPacketParser::PayloadFormat RtpPacketParser::FormatOfEncoding(const std::string& encoding) {
    if (strcasecmp(encoding.c_str(), "H264") == 0) return PayloadFormat::H264;
    if (strcasecmp(encoding.c_str(), "H265") == 0 || strcasecmp(encoding.c_str(), "HEVC") == 0)
        return PayloadFormat::Hevc;
    return PayloadFormat::Other;
}

namespace {

// An aggregation payload: 16-bit sizes, each followed by that many bytes.
bool AggregatedUnitsFit(const uint8_t* p, size_t size) {
    while (size > 2) {
        const size_t unit = (static_cast<size_t>(p[0]) << 8) | p[1];
        p += 2;
        size -= 2;
        if (unit > size) return false;
        p += unit;
        size -= unit;
    }
    return true;
}

bool IsDepacketizableH264(const uint8_t* p, size_t size) {
    if (size == 0) return false;
    switch (p[0] & 0x1f) {
        case 24:  // STAP-A
            return AggregatedUnitsFit(p + 1, size - 1);
        case 28:  // FU-A
            return size >= 3;
        case 25:  // STAP-B, MTAP16, MTAP24, FU-B: not supported by the depacketizer
        case 26:
        case 27:
        case 29:
        case 30:  // undefined
        case 31:
            return false;
        default:
            return true;
    }
}

bool IsDepacketizableHevc(const uint8_t* p, size_t size) {
    if (size < 3) return false;
    const int type = (p[0] >> 1) & 0x3f;
    const int layer = ((p[0] << 5) & 0x20) | ((p[1] >> 3) & 0x1f);
    const int temporalId = p[1] & 0x07;
    if (layer != 0 || temporalId == 0 || type >= 50) return false;  // 50: PACI, not supported
    if (type == 48) return AggregatedUnitsFit(p + 2, size - 2);     // aggregation packet
    if (type == 49) {                                                // fragmentation unit
        const bool start = (p[2] & 0x80) != 0, end = (p[2] & 0x40) != 0;
        return size > 3 && !(start && end);
    }
    return true;
}

}  // namespace

bool RtpPacketParser::IsDepacketizable(PayloadFormat format, const uint8_t* payload, size_t size) {
    switch (format) {
        case PayloadFormat::H264:
            return IsDepacketizableH264(payload, size);
        case PayloadFormat::Hevc:
            return IsDepacketizableHevc(payload, size);
        default:
            return true;
    }
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
