#pragma once

// Dvtel streams: every RTP packet may carry its absolute time in a header extension (profile
// 0x4000, entry tag 0x4001, 100-ns ticks since 0001-01-01); each frame takes the one its own
// packets carried.

#include "RuvarEduzid/GenericWebStreamFfmpegDecoder.h"

#include <cstdint>

namespace Halvora {
namespace RuvarEduzid {

class RUVAREDUZID_API DvtelWebStreamFfmpegDecoder : public GenericWebStreamFfmpegDecoder {
public:
    DvtelWebStreamFfmpegDecoder() = default;
    ~DvtelWebStreamFfmpegDecoder() override;
    using GenericWebStreamFfmpegDecoder::Initialize;

    // The packet callback: reads the time of entry tag 0x4001 in an RTP header extension of
    // profile 0x4000 (packet without CSRC entries), stores it into `destination` and returns 1;
    // returns 0 and leaves `destination` untouched otherwise. Never reads outside the packet.
    static uint64_t ReadRtpExtension(const uint8_t* packet, int length, uint64_t* destination);
    // A time in 100-ns ticks since 0001-01-01 as a file time (unsigned wrap).
    static uint64_t FileTime(uint64_t rtpExtensionTime);

private:
    bool Initialize(const Halvora::Video::Native::VideoFileInfo& info, const ParameterList* parameters) override;

    uint64_t rtpExtensionTime = 0;  // latest extension time, 100-ns ticks since 0001-01-01
    ParameterList parameters;       // the decoder's own copy of the caller's list
};

}  // namespace RuvarEduzid
}  // namespace Halvora
