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

    // The value of a time that could not be read.
    static constexpr uint64_t NoTimestamp = ~0ULL;
    // Reads the first "SeeTecTimestamp: <ms>\r\nLastRTPTimestamp: <rtp>" anywhere in a reply. Null
    // reply or no such text: NoTimestamp, `lastRtpTimestamp` untouched. On a match
    // `lastRtpTimestamp` takes the low 32 bits of the second number and the first is returned. An
    // empty number throws std::invalid_argument, one beyond 64 bits std::out_of_range.
    static uint64_t ParseReply(const char* reply, uint32_t& lastRtpTimestamp);
    // File time of an RTP time given the reply's time and RTP time, both RTP times on the
    // continuous (unwrapped) clock: the 90 kHz difference in whole milliseconds, rounded down, so
    // that a frame before the reply's is dated before its time.
    static uint64_t FileTime(uint64_t seeTecTimestampMs, int64_t lastRtpPosition, int64_t rtpPosition);

private:
    bool Initialize(const Halvora::Video::Native::VideoFileInfo& info, const ParameterList* parameters) override;

    uint64_t seeTecTimestampMs = 0;
    uint32_t lastRtpTimestamp = 0;
    int64_t lastRtpPosition = 0;  // lastRtpTimestamp on the continuous clock, placed as the reply came
    std::atomic<bool> m_stopRetries{false};
};

}  // namespace RuvarEduzid
}  // namespace Halvora
