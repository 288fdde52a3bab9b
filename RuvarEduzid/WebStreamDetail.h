#pragma once

// What the web-stream decoders share: the options of the URL-and-JSON entry, and the time
// arithmetic of their capture-time rules (epochs, NTP and RTP clocks). Each system's own rule
// lives in its decoder's file. Nothing here touches a stream.

#include "RuvarEduzid/Native/DecoderParameter.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct AVFrame;
struct AVFormatContext;

namespace Halvora {
namespace RuvarEduzid {
namespace WebStreamDetail {

// ---- options of the URL-and-JSON entry ---------------------------------------------------------

// Strict text to signed 32-bit integer: non-empty, one optional leading '+' or '-', decimal digits
// only, within [-2147483648, 2147483647]. Spaces, decimal points and trailing characters fail.
bool ParseStrictInt32(const std::string& text, int32_t& value);

// The parameter list of the URL-and-JSON entry, in order: the image formats, the hardware decoder
// choice (only with a GPU id), then the two RTSP time-outs and the decoder threads taken from the
// JSON options. Logs these options' texts at info and a bad value at error. JSON that does not
// parse counts as `{}`.
std::vector<std::shared_ptr<Video::Native::DecoderParameter>> BuildParameters(int gpuId,
                                                                               const std::wstring& jsonParameters);

// The info line of the entry: "WebStreamFfmpegDecoder::Initialize <masked url>\nStart <now>\ngpuId <id>".
std::string EntryLogLine(const std::wstring& url, int gpuId, const std::string& now);

// ---- capture-time rules ------------------------------------------------------------------------

// Seconds from 1601-01-01 to 1900-01-01 (the NTP epoch).
constexpr uint64_t NtpEpochFileTimeSeconds = 9435484800ULL;
// Milliseconds from 1601-01-01 to 1970-01-01.
constexpr uint64_t UnixEpochFileTimeMs = 11644473600000ULL;
// 10-us units from 1601-01-01 to 1970-01-01.
constexpr int64_t UnixEpochFileTime10us = 1164447360000000LL;
// 100-ns ticks from 1601-01-01 to 1970-01-01.
constexpr int64_t UnixEpochFileTimeTicks = 116444736000000000LL;
// 100-ns ticks from 0001-01-01 to 1601-01-01.
constexpr uint64_t Year1ToFileTimeTicks = 504911232000000000ULL;

// NTP time (32.32 fixed point, seconds since 1900) to file time, the fraction rounded to 100 ns.
uint64_t NtpToFileTime(uint64_t ntp);

// The NTP time (32.32) of an RTP time, from a sender report's NTP and RTP times, with a clock of
// `clockRate` Hz. Both RTP times are positions on the continuous (unwrapped, 64-bit) RTP clock: a
// time before the report gives a time before it, however far, and the 32-bit wrap is no matter.
// The fraction is cut toward the report's time.
uint64_t RtpToNtp(int64_t rtpPosition, int64_t reportPosition, uint64_t reportNtpTime, int clockRate = 90000);
// `a` / `b` rounded toward minus infinity (b > 0).
inline int64_t FloorDivide(int64_t a, int64_t b) { return a / b - ((a % b) < 0 ? 1 : 0); }

// A frame's timestamp: best_effort_timestamp, or pts when that is unset.
int64_t FrameTimestamp(const AVFrame* frame);

// The input's video stream as the decoder picks it (the best video stream), -1 when none.
int VideoStreamIndex(AVFormatContext* context);

// Signed sums of stream-supplied values wrap instead of overflowing.
inline int64_t WrappingAdd(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}

}  // namespace WebStreamDetail
}  // namespace RuvarEduzid
}  // namespace Halvora
