#pragma once

// SeeTec streams: a GET_PARAMETER reply carries the wall-clock time (ms since 1970) of one RTP
// timestamp; each frame is dated by the RTP time elapsed since then.

#include "RuvarEduzid/GenericWebStreamFfmpegDecoder.h"

#include <atomic>
#include <cstdint>

namespace Halvora {
namespace RuvarEduzid {

class RUVAREDUZID_API SeeTecWebStreamFfmpegDecoder : public GenericWebStreamFfmpegDecoder {
public:
    SeeTecWebStreamFfmpegDecoder() = default;
    ~SeeTecWebStreamFfmpegDecoder() override = default;
    using GenericWebStreamFfmpegDecoder::Initialize;

    // Also stops the waits between GET_PARAMETER attempts.
    void Interrupt() override;

    // Reads "SeeTecTimestamp: <ms>\r\nLastRTPTimestamp: <rtp>" from a reply: returns the time and
    // sets lastRtpTimestamp; all bits set when the reply is null or lacks the fields.
    uint64_t CalcSeeTecTimeStamp(char* reply);

private:
    bool Initialize(const Halvora::Video::Native::VideoFileInfo& info, const ParameterList* parameters) override;

    uint64_t seeTecTimestampMs = 0;
    uint32_t lastRtpTimestamp = 0;
    AVFormatContext* rtspContext = nullptr;  // not owned: the base decoder's input
    std::atomic<bool> m_stopRetries{false};
};

}  // namespace RuvarEduzid
}  // namespace Halvora
