#pragma once

// Streams of the stand-in video-management system (VmsServer) that every family can read, and the
// capture time each family's rule gives frame k of one. Shared by the live-stream delivery test
// (one decoder at a time) and the load test (all families at once).

#include "RuvarEduzid/WebStreamDecoderFactory.h"
#include "vms/VmsServer.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace RuvarTest {
namespace Vms {

constexpr int kFixtureFrames = 50;
constexpr int kStep = 3600;                // 90 kHz units per frame: 25 frames/s
constexpr long long kFrameTicks = 400000;  // 40 ms
constexpr long long kSecond = 10000000LL;  // in 100-ns ticks

// 2021-01-01 00:00:00 UTC.
constexpr uint64_t kNtp2021 = (2208988800ULL + 1609459200ULL) << 32;
constexpr long long kFileTime2021 = 132539328000000000LL;
constexpr long long kUnixUs2021 = 1609459200000000LL;
constexpr unsigned long long kSeeTecMs2021 = 1609459200000ULL;
// 100-ns ticks from 1601-01-01 to 1970-01-01, and from 0001-01-01 to 2021-01-01.
constexpr long long kUnixEpochFileTime = 116444736000000000LL;
constexpr long long kYear1To2021 = 637450560000000000LL;

// The first RTP timestamp that makes the 32-bit clock wrap between frames 29 and 30, plus `shift`.
constexpr uint32_t WrappingTs0(uint32_t shift = 0) {
    return static_cast<uint32_t>(4294967296ULL - 30ULL * kStep + kStep / 2 + shift);
}

// The RTP side of a stream.
struct StreamTiming {
    uint32_t ts0 = WrappingTs0();
    int step = kStep;
    uint32_t ssrc = 0x1234ABCD;
    int paceMs = 15;
    int frames = 150;  // served per session
    bool bye = false;  // an RTCP BYE after the last frame ends the stream at once
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

// One stream that every family can read: frame k captured `shift` seconds after 2021-01-01 plus
// 40 ms per frame, told by sender reports (from the `firstReport`-th frame sent on, every 25
// frames: frame 0 at its time, or with a later first report frame 25 at one second past), Dvtel
// extensions, GET_PARAMETER replies with SeeTec's fields (the time of frame 0, of the frame sent
// last or of the next frame sent: `seeTecPair`) and a clock range naming the next frame sent
// (VmsAgent's clock: 36 ms per frame, each 90 kHz tick read as 10 us), and an RTCP BYE after the
// last frame. `timing.step` stays 25 frames/s.
inline std::string SharedConfig(StreamTiming timing, long long shift = 0, const std::string& getParameterExtra = "",
                                int firstReport = 0, const std::string& seeTecPair = "first") {
    timing.bye = true;
    const uint64_t ntp = kNtp2021 + (static_cast<uint64_t>(shift) << 32);
    const std::string report = firstReport == 0 ? "\"ntp\": " + std::to_string(ntp) + ", \"frame\": 0"
                                                : "\"ntp\": " + std::to_string(ntp + (1ULL << 32)) +
                                                      ", \"frame\": 25, \"first\": " + std::to_string(firstReport);
    return Config("\"sender_report\": {" + report + ", \"every\": 25}, \"dvtel\": {\"base\": " +
                      std::to_string(kYear1To2021 + shift * kSecond) + ", \"step\": " + std::to_string(kFrameTicks) +
                      "}, \"get_parameter\": {" + NextFrameRange(kUnixUs2021 + shift * 1000000LL, kStep * 10LL) +
                      ", \"seetec\": {\"ms0\": " + std::to_string(kSeeTecMs2021 + shift * 1000ULL) +
                      ", \"ms_per_frame\": 40, \"pair\": \"" + seeTecPair + "\"}" + getParameterExtra + "}",
                  timing);
}
inline std::string SharedConfig(int frames, int paceMs, const std::string& getParameterExtra = "", int firstReport = 0,
                                const std::string& seeTecPair = "first") {
    StreamTiming timing;
    timing.frames = frames;
    timing.paceMs = paceMs;
    return SharedConfig(timing, 0, getParameterExtra, firstReport, seeTecPair);
}

// The capture time that `family`'s rule gives (presentation) frame k of a shared stream shifted by
// `shift` seconds; for Iss, the time after its opening instant.
inline long long ExpectedTime(const std::string& family, int k, long long shift = 0) {
    if (family == "Rtsp" || family == "Generic" || family == "Iss")
        return kUnixEpochFileTime + k * kFrameTicks;  // the stream clock read as UTC since 1970
    if (family == "VmsAgent") return kFileTime2021 + shift * kSecond + k * kStep * 100LL;
    return kFileTime2021 + shift * kSecond + k * kFrameTicks;  // Milestone, SeeTec, Genetec, Dvtel, Camera
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
