#pragma once

// Streams of the stand-in video-management system (VmsServer) with server-side times chosen by
// the test, and the capture time that each system's rule gives to frame k of such a stream.
// Shared by the live-stream delivery test (one decoder at a time) and the load test (all systems at
// once).

#include "RuvarEduzid/WebStreamDecoderFactory.h"
#include "vms/VmsServer.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace RuvarTest {
namespace Vms {

// Frames served per session unless a test asks for more: the 50-frame fixture three times over
// (frame k shows fixture picture k % 50).
constexpr int kFrames = 150;
constexpr int kFixtureFrames = 50;
// Frame 60 is the first after the 32-bit RTP clock wraps (its timestamp is half a step).
constexpr int kWrapFrame = 60;
constexpr int kStep = 3600;  // 90 kHz units per frame: 25 frames/s
constexpr long long kFrameTicks = 400000;  // 40 ms

// 2021-01-01 00:00:00 UTC.
constexpr uint64_t kNtp2021 = (2208988800ULL + 1609459200ULL) << 32;
constexpr long long kFileTime2021 = 132539328000000000LL;
constexpr long long kUnixUs2021 = 1609459200000000LL;
constexpr long long kDay = 864000000000LL;  // in 100-ns ticks
// 100-ns ticks from 1601-01-01 to 1970-01-01, and from 0001-01-01 to 2021-01-01.
constexpr long long kUnixEpochFileTime = 116444736000000000LL;
constexpr long long kYear1To2021 = 637450560000000000LL;

// The first RTP timestamp that puts the wrap between frames kWrapFrame - 1 and kWrapFrame:
// frame kWrapFrame is at step / 2 + shift (shift < step / 2).
constexpr uint32_t Ts0(int step = kStep, uint32_t shift = 0) {
    return static_cast<uint32_t>(4294967296ULL - static_cast<uint64_t>(kWrapFrame) * step + step / 2 + shift);
}
constexpr uint32_t kTs0 = Ts0();

// 100-ns ticks of `step` 90 kHz units (exact for the steps used here: multiples of 9).
constexpr long long StepTicks(int step) { return step * 1000LL / 9; }

// The RTP side of a stream.
struct StreamTiming {
    uint32_t ts0 = kTs0;
    int step = kStep;
    uint32_t ssrc = 0x1234ABCD;
    int paceMs = 15;
    int frames = kFrames;  // served per session
    bool bye = false;      // an RTCP BYE after the last frame ends the stream at once
};

// The server's --config: the frames and RTP side of `timing`, plus `extra` (JSON members).
inline std::string Config(const std::string& extra, const StreamTiming& timing = {}) {
    return "{\"frames\": " + std::to_string(timing.frames) + ", \"pace_ms\": " + std::to_string(timing.paceMs) +
           ", \"ts0\": " + std::to_string(timing.ts0) + ", \"step\": " + std::to_string(timing.step) +
           ", \"ssrc\": " + std::to_string(timing.ssrc) + ", \"lifetime\": 50" +
           (timing.bye ? ", \"bye\": true" : "") + (extra.empty() ? "" : ", " + extra) + "}";
}

// A GET_PARAMETER reply member that names, in a "Range: clock=" header, the time of the next
// frame the server sends: frame p is at `unixUs0 + p * usPerFrame` (microseconds since 1970).
inline std::string NextFrameRange(long long unixUs0, long long usPerFrame) {
    return "\"next_frame_range\": {\"base_us\": " + std::to_string(unixUs0) +
           ", \"us_per_frame\": " + std::to_string(usPerFrame) + "}";
}

// How the first frame time of a stream is fixed.
enum class Origin {
    Server,          // by the server's values alone: frame k is at time0 + k * increment
    OpeningInstant,  // Iss: frame k is at time0 + (local time at opening) + k * increment
};

// One stream of the stand-in server and the times its system's rule gives.
struct VmsStream {
    std::string vendor;   // WebStreamDecoderFactory name
    std::string config;   // the server's --config
    Origin origin = Origin::Server;
    long long time0 = 0;  // see Origin
    long long increment = 0;
    // Time of (presentation) frame k where origin is Server.
    long long Time(int k) const { return time0 + k * increment; }
};

// Milestone: every sender report maps `ntp` (whole seconds) to the RTP time of frame
// `reportFrame`; the GET_PARAMETER reply names the capture time of the next frame sent.
inline VmsStream MilestoneStream(uint64_t ntp, int reportFrame, const StreamTiming& timing = {}) {
    VmsStream s;
    s.vendor = "Milestone";
    s.increment = StepTicks(timing.step);
    s.time0 = kFileTime2021 + static_cast<long long>((ntp - kNtp2021) >> 32) * 10000000LL - reportFrame * s.increment;
    s.config = Config("\"sender_report\": {\"ntp\": " + std::to_string(ntp) + ", \"frame\": " +
                          std::to_string(reportFrame) + ", \"every\": 25}, \"get_parameter\": {" +
                          NextFrameRange((s.time0 - kUnixEpochFileTime) / 10, s.increment / 10) + "}",
                      timing);
    return s;
}

// SeeTec: the reply gives `ms` (since 1970) as the time of frame 0's RTP timestamp.
inline VmsStream SeeTecStream(uint64_t ms, const StreamTiming& timing = {}) {
    VmsStream s;
    s.vendor = "SeeTec";
    s.config = Config("\"get_parameter\": {\"body\": \"Server: x\\r\\nSeeTecTimestamp: " + std::to_string(ms) +
                          "\\r\\nLastRTPTimestamp: " + std::to_string(timing.ts0) + "\\r\\nOther: y\\r\\n\"}",
                      timing);
    s.time0 = static_cast<long long>((ms + 11644473600000ULL) * 10000ULL);
    s.increment = timing.step / 90 * 10000LL;
    return s;
}

// VmsAgent: the reply's clock range names the time of the next frame sent; frame 0 is `seconds`
// after 2021-01-01 and each frame is `step` 10-us units later (VmsAgent counts each 90 kHz tick
// as 10 us). The frame sent first after the reply carries its range start in 10-us units.
inline VmsStream VmsAgentStream(long long seconds, const StreamTiming& timing = {}) {
    VmsStream s;
    s.vendor = "VmsAgent";
    const long long unixUs0 = kUnixUs2021 + seconds * 1000000LL;
    s.config = Config("\"get_parameter\": {" + NextFrameRange(unixUs0, timing.step * 10LL) + "}",
                      timing);
    s.time0 = (unixUs0 / 10 + kUnixEpochFileTime / 100) * 100;
    s.increment = timing.step * 100LL;
    return s;
}

// Iss: the local clock when the stream opens, plus the presentation time (0 at frame 0).
inline VmsStream IssStream(const StreamTiming& timing = {}) {
    VmsStream s;
    s.vendor = "Iss";
    s.config = Config("", timing);
    s.origin = Origin::OpeningInstant;
    s.time0 = kUnixEpochFileTime;
    s.increment = StepTicks(timing.step);
    return s;
}

// Genetec: sender reports map `ntp` (whole seconds) to frame 0; the time is the real-time start
// (the first report's NTP time) plus the frame's RTP time in seconds.
inline VmsStream GenetecStream(uint64_t ntp, const StreamTiming& timing = {}) {
    VmsStream s;
    s.vendor = "Genetec";
    s.config = Config("\"sender_report\": {\"ntp\": " + std::to_string(ntp) + ", \"frame\": 0, \"every\": 25}", timing);
    s.time0 = kFileTime2021 + static_cast<long long>((ntp - kNtp2021) >> 32) * 10000000LL;
    s.increment = StepTicks(timing.step);
    return s;
}

// Dvtel: each packet of frame k carries base + k * extensionStep (100-ns ticks since year 1).
inline VmsStream DvtelStream(long long base, long long extensionStep, const StreamTiming& timing = {}) {
    VmsStream s;
    s.vendor = "Dvtel";
    s.config = Config("\"dvtel\": {\"base\": " + std::to_string(base) + ", \"step\": " + std::to_string(extensionStep) +
                          "}",
                      timing);
    s.time0 = kFileTime2021 + (base - kYear1To2021);
    s.increment = extensionStep;
    return s;
}

// 100-ns ticks since 1970, now (the Iss rule dates frames from the local clock).
inline long long NowTicks() {
    using namespace std::chrono;
    return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100;
}

inline std::unique_ptr<Halvora::RuvarEduzid::GenericWebStreamFfmpegDecoder> Make(const std::string& name) {
    return std::unique_ptr<Halvora::RuvarEduzid::GenericWebStreamFfmpegDecoder>(
        Halvora::RuvarEduzid::WebStreamDecoderFactory::GetDecoder(name));
}

}  // namespace Vms
}  // namespace RuvarTest
