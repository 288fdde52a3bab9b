// RTP and RTCP packets as servers send them.
#include "Rtsp/RtpPacketParser.h"

#include <cstdint>

using namespace Halvora::RuvarEduzid::Rtsp;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (RtpPacketParser::IsRtcp(data, size)) {
        RtpPacketParser::ParseRtcp(data, size);
    } else if (RtpPacketParser::HasWholeHeader(data, size)) {
        volatile uint32_t timestamp = RtpPacketParser::ReadBe32(data + 4);
        (void)timestamp;
    }
    return 0;
}
