#pragma once

// The building blocks of the web-stream decoders: the options of the URL-and-JSON entry and the
// capture-time rule of each video-management system, as small functions over plain numbers.
// The decoders' hooks call these; nothing here touches a stream.

#include "RuvarEduzid/Native/DecoderParameter.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/rational.h>
}

struct AVFrame;
struct AVFormatContext;
struct RtspFrameTiming;

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
// The value of a SeeTec time that could not be read.
constexpr uint64_t SeeTecNoTimestamp = ~0ULL;

// NTP time (32.32 fixed point, seconds since 1900) to file time, the fraction rounded to 100 ns.
uint64_t NtpToFileTime(uint64_t ntp);

// The NTP time (32.32) of an RTP time, from the latest sender report's NTP and RTP times, with a
// 90 kHz clock. The RTP difference is taken in 32 bits as a signed value, so a timestamp shortly
// before the report gives a time shortly before it.
uint64_t RtpToNtp(uint32_t rtpTimestamp, uint32_t reportRtpTimestamp, uint64_t reportNtpTime);

// Milestone: file time of the latest RTP timestamp, from the latest sender report.
uint64_t MilestoneFileTime(uint32_t rtpTimestamp, uint32_t reportRtpTimestamp, uint64_t reportNtpTime);

// SeeTec: reads "SeeTecTimestamp: <ms>\r\nLastRTPTimestamp: <rtp>" anywhere in a GET_PARAMETER
// reply. Null reply or no such text: SeeTecNoTimestamp, `lastRtpTimestamp` untouched. On a match
// `lastRtpTimestamp` takes the low 32 bits of the second number and the first number is returned.
// An empty number throws std::invalid_argument, one beyond 64 bits std::out_of_range.
uint64_t ParseSeeTecReply(const char* reply, uint32_t& lastRtpTimestamp);

// SeeTec: file time of an RTP timestamp given the reply's time and RTP timestamp (the RTP
// difference wraps as unsigned 32-bit; whole milliseconds).
uint64_t SeeTecFileTime(uint64_t seeTecTimestampMs, uint32_t lastRtpTimestamp, uint32_t rtpTimestamp);

// VmsAgent: the range start handed to the RTP layer (mode 0): the reply's value / 10, truncated.
int64_t VmsAgentRangeStart(int64_t replyRangeStart);
// VmsAgent: a frame timestamp counted in 10-us units since 1970 to file time.
int64_t VmsAgentFileTime(int64_t ts);

// The input's video stream as the decoder picks it (the best video stream), -1 when none.
int VideoStreamIndex(AVFormatContext* context);

// A frame's timestamp: best_effort_timestamp, or pts when that is unset.
int64_t FrameTimestamp(const AVFrame* frame);

// The RTP timing of a decoded frame of an RTSP input: that of its own packets, found by the pts
// its packet carried. False for other inputs and frames without a timestamp.
bool FrameRtpTiming(AVFormatContext* context, const AVFrame* frame, RtspFrameTiming* timing);

// Iss: the opening instant (100-ns ticks since 1970) plus the frame's presentation time.
int64_t IssFileTime(int64_t ts, AVRational timeBase, int64_t openTimeTicks);
// Current system time in 100-ns ticks since 1970-01-01 UTC.
int64_t IssNowTicks();
// "IssWebStreamFfmpegDecoder::SetTime <ticks>".
std::string IssSetTimeLogLine(int64_t openTimeTicks);

// Genetec: the input's start_time_realtime (microseconds since 1970, from the first sender report;
// AV_NOPTS_VALUE counts as 1970) plus the frame's RTP timestamp in seconds, as a file time.
uint64_t GenetecFileTime(int64_t startTimeRealtime, int64_t ts, AVRational timeBase);

// Dvtel: reads the time of entry tag 0x4001 in an RTP header extension of profile 0x4000 (packet
// without CSRC entries). Stores it into `destination` and returns 1 when found; returns 0 and
// leaves `destination` untouched otherwise. Never reads outside [packet, packet + length).
uint64_t ReadDvtelExtensionTime(const uint8_t* packet, int length, uint64_t* destination);
// Dvtel: a time in 100-ns ticks since 0001-01-01 to file time (unsigned wrap).
uint64_t DvtelFileTime(uint64_t rtpExtensionTime);

}  // namespace WebStreamDetail
}  // namespace RuvarEduzid
}  // namespace Halvora
