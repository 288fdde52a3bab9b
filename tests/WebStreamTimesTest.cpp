// Capture times of the six video-management systems end to end: the stand-in RTSP server serves a
// real H.264 stream with server-side times chosen here (GET_PARAMETER replies, RTCP sender
// reports, RTP header extensions, an RTP timestamp that wraps mid-stream), and every decoded frame
// must carry the time that its system's rule gives.
#include "Common/Logger.h"
#include "RuvarEduzid/DvtelWebStreamFfmpegDecoder.h"
#include "RuvarEduzid/GenetecWebStreamFfmpegDecoder.h"
#include "RuvarEduzid/IssWebStreamFfmpegDecoder.h"
#include "RuvarEduzid/MilestoneWebStreamFfmpegDecoder.h"
#include "RuvarEduzid/SeeTecWebStreamFfmpegDecoder.h"
#include "RuvarEduzid/VmsAgentWebStreamFfmpegDecoder.h"
#include "RuvarEduzid/WebStreamDecoderFactory.h"
#include "vms/VmsServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>

using namespace Halvora::RuvarEduzid;
using namespace Halvora::Video::Native;
using Halvora::Common::ScopedLogCapture;

namespace {

constexpr int kFrames = 150;
// Frame 60 is the first after the 32-bit RTP clock wraps (its timestamp is 1800).
constexpr int kWrapFrame = 60;
constexpr uint32_t kTs0 = static_cast<uint32_t>(4294967296ULL - kWrapFrame * 3600ULL + 1800ULL);
constexpr int kFramesRead = 70;
constexpr long long kFrameTicks = 400000;  // 40 ms

// 2021-01-01 00:00:00 UTC.
constexpr uint64_t kNtp2021 = (2208988800ULL + 1609459200ULL) << 32;
constexpr long long kFileTime2021 = 132539328000000000LL;
constexpr long long kUnixUs2021 = 1609459200000000LL;
constexpr long long kDay = 864000000000LL;

std::string Config(const std::string& extra) {
    return "{\"frames\": " + std::to_string(kFrames) + ", \"pace_ms\": 15, \"ts0\": " + std::to_string(kTs0) +
           ", \"lifetime\": 50" + (extra.empty() ? "" : ", " + extra) + "}";
}

std::unique_ptr<GenericWebStreamFfmpegDecoder> Make(const std::string& name) {
    return std::unique_ptr<GenericWebStreamFfmpegDecoder>(WebStreamDecoderFactory::GetDecoder(name));
}

std::vector<long long> ReadTimes(IFrameDecoder& decoder, int count) {
    std::vector<long long> times;
    for (int i = 0; i < count; ++i) {
        auto frame = decoder.GetNextFrame();
        if (!frame || frame->GetDecoderState() != DecoderState::Ok) break;
        times.push_back(frame->GetFileTimeUtc());
    }
    return times;
}

// Checks that every time is the rule's time of a frame the server sent, frame after frame, and
// that the frames read span the RTP timestamp wrap.
void ExpectFrameTimes(const std::vector<long long>& times, const std::function<long long(int)>& expected,
                      size_t minimumFrames = 40) {
    std::map<long long, int> frameOf;
    for (int k = 0; k < kFrames; ++k) frameOf[expected(k)] = k;
    ASSERT_GE(times.size(), minimumFrames);
    std::vector<int> frames;
    for (size_t i = 0; i < times.size(); ++i) {
        auto it = frameOf.find(times[i]);
        ASSERT_NE(it, frameOf.end()) << "frame " << i << " has time " << times[i]
                                     << ", which is no frame's time; first frame time " << times[0];
        frames.push_back(it->second);
    }
    for (size_t i = 1; i < frames.size(); ++i)
        EXPECT_EQ(frames[i], frames[i - 1] + 1) << "at frame " << i;
    EXPECT_LT(frames.front(), kWrapFrame);
    EXPECT_GE(frames.back(), kWrapFrame);
}

std::wstring NoOptions() { return L""; }

}  // namespace

TEST(WebStreamTimes, MilestoneDatesFramesFromTheSenderReport) {
    RUVAR_REQUIRE_RTSP_LAYER();
    // The report maps 2021-01-01 to the RTP time of frame 5.
    RuvarTest::VmsServer server(Config(
        "\"sender_report\": {\"ntp\": " + std::to_string(kNtp2021) + ", \"frame\": 5, \"every\": 25}, "
        "\"get_parameter\": {\"headers\": [[\"Range\", \"clock=20210101T000000Z-\"]]}"));
    ASSERT_GT(server.Port(), 0);
    auto decoder = Make("Milestone");
    std::wstring json = NoOptions();
    ASSERT_TRUE(decoder->Initialize(server.Url(), -1, json));
    ExpectFrameTimes(ReadTimes(*decoder, kFramesRead),
                     [](int k) { return kFileTime2021 + (k - 5) * kFrameTicks; });
}

TEST(WebStreamTimes, SeeTecDatesFramesFromTheReplyTime) {
    RUVAR_REQUIRE_RTSP_LAYER();
    // 1600000000000 ms since 1970 at the RTP time of frame 0.
    RuvarTest::VmsServer server(Config("\"get_parameter\": {\"body\": \"Server: x\\r\\nSeeTecTimestamp: 1600000000000"
                                       "\\r\\nLastRTPTimestamp: " +
                                       std::to_string(kTs0) + "\\r\\nOther: y\\r\\n\"}"));
    ASSERT_GT(server.Port(), 0);
    auto decoder = Make("SeeTec");
    std::wstring json = NoOptions();
    ASSERT_TRUE(decoder->Initialize(server.Url(), -1, json));
    ExpectFrameTimes(ReadTimes(*decoder, kFramesRead), [](int k) {
        return static_cast<long long>((1600000000000ULL + 40ULL * k + 11644473600000ULL) * 10000ULL);
    });
}

TEST(WebStreamTimes, VmsAgentCountsTenMicrosecondUnitsFromTheRangeStart) {
    RUVAR_REQUIRE_RTSP_LAYER();
    RuvarTest::VmsServer server(
        Config("\"get_parameter\": {\"headers\": [[\"Range\", \"clock=20210101T000000Z-\"]]}"));
    ASSERT_GT(server.Port(), 0);
    auto decoder = Make("VmsAgent");
    std::wstring json = NoOptions();
    ScopedLogCapture capture(0);
    ASSERT_TRUE(decoder->Initialize(server.Url(), -1, json));
    auto times = ReadTimes(*decoder, kFramesRead);
    // The packet read after the flush is the origin: it carries the range start / 10; the
    // frames are then counted in 90 kHz ticks read as 10-us units.
    const long long rangeStart = kUnixUs2021 / 10;
    ASSERT_GE(times.size(), 40u);
    for (size_t i = 0; i < times.size(); ++i) {
        long long ts = times[i] / 100 - 1164447360000000LL;
        EXPECT_EQ(times[i] % 100, 0);
        EXPECT_EQ((ts - rangeStart) % 3600, 0) << i;
        EXPECT_GE(ts, rangeStart) << i;
        EXPECT_LT(ts, rangeStart + kFrames * 3600) << i;
        if (i > 0) {
            EXPECT_EQ(times[i] - times[i - 1], 360000) << i;
        }
    }
    int tsLines = 0;
    for (const auto& message : capture.Sink().Messages(2))
        if (message.rfind("ts: ", 0) == 0) ++tsLines;
    EXPECT_GE(tsLines, static_cast<int>(times.size()));
}

TEST(WebStreamTimes, IssDatesFramesFromTheOpeningInstant) {
    RuvarTest::VmsServer server(Config(""));
    ASSERT_GT(server.Port(), 0);
    auto decoder = Make("Iss");
    std::wstring json = NoOptions();
    auto ticksNow = [] {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
                   .count() / 100 + 116444736000000000LL;
    };
    long long before = ticksNow();
    ASSERT_TRUE(decoder->Initialize(server.Url(), -1, json));
    auto times = ReadTimes(*decoder, kFramesRead);
    long long after = ticksNow();
    ASSERT_GE(times.size(), 40u);
    // The stream's first packet is the origin of the presentation times: frame k is at k * 40 ms.
    EXPECT_GE(times.front(), before);
    EXPECT_LE(times.front(), after + kFrames * kFrameTicks);
    for (size_t i = 1; i < times.size(); ++i) EXPECT_EQ(times[i] - times[i - 1], kFrameTicks) << i;
}

TEST(WebStreamTimes, IssForcesItsTimeouts) {
    ScopedLogCapture capture(0);
    std::unique_ptr<GenericWebStreamFfmpegDecoder> decoder(WebStreamDecoderFactory::GetDecoder(VMSDecoder::Iss));
    std::vector<std::shared_ptr<DecoderParameter>> parameters{std::make_shared<RtspConnectionTimeoutParameter>(60000)};
    VideoFileInfo info(L"/nonexistent/iss.mp4");
    EXPECT_FALSE(decoder->Initialize(info, &parameters));
    std::vector<std::string> timeouts;
    for (const auto& message : capture.Sink().Messages(2))
        if (message.find("FFMpegDecoder::ProcessParameters. ") == 0) timeouts.push_back(message);
    EXPECT_EQ(timeouts, (std::vector<std::string>{"FFMpegDecoder::ProcessParameters. ConnectionTimeoutMs:60000",
                                                  "FFMpegDecoder::ProcessParameters. ConnectionTimeoutMs:15000",
                                                  "FFMpegDecoder::ProcessParameters. GetFrameTimeoutMs:2000"}));
    EXPECT_TRUE(capture.Sink().Contains("IssWebStreamFfmpegDecoder::Initialize", 2));
    EXPECT_TRUE(capture.Sink().Contains("IssWebStreamFfmpegDecoder::Initialize failed", 4));
}

TEST(WebStreamTimes, GenetecAddsTheTimestampToTheRealTimeStart) {
    RuvarTest::VmsServer server(
        Config("\"sender_report\": {\"ntp\": " + std::to_string(kNtp2021) + ", \"frame\": 0, \"every\": 25}"));
    ASSERT_GT(server.Port(), 0);
    auto decoder = Make("Genetec");
    std::wstring json = NoOptions();
    ASSERT_TRUE(decoder->Initialize(server.Url(), -1, json));
    // start_time_realtime (us since 1970) plus the 90 kHz timestamp, units unchanged.
    ExpectFrameTimes(ReadTimes(*decoder, kFramesRead), [](int k) { return kUnixUs2021 + 3600LL * k; });
}

TEST(WebStreamTimes, DvtelTakesTheTimeOfTheRtpHeaderExtension) {
    RUVAR_REQUIRE_RTSP_LAYER();
    // 637450560000000000 ticks since year 1 is 2021-01-01.
    RuvarTest::VmsServer server(Config("\"dvtel\": {\"base\": 637450560000000000, \"step\": 400000}"));
    ASSERT_GT(server.Port(), 0);
    auto decoder = Make("Dvtel");
    std::wstring json = NoOptions();
    ASSERT_TRUE(decoder->Initialize(server.Url(), -1, json));
    ExpectFrameTimes(ReadTimes(*decoder, kFramesRead), [](int k) { return kFileTime2021 + k * kFrameTicks; });
}

TEST(WebStreamTimes, TwoDvtelDecodersEachSeeOnlyTheirOwnPackets) {
    RUVAR_REQUIRE_RTSP_LAYER();
    RuvarTest::VmsServer first(Config("\"dvtel\": {\"base\": 637450560000000000, \"step\": 400000}"));
    RuvarTest::VmsServer second(Config("\"dvtel\": {\"base\": " + std::to_string(637450560000000000LL + kDay) +
                                       ", \"step\": 400000}"));
    ASSERT_GT(first.Port(), 0);
    ASSERT_GT(second.Port(), 0);
    auto a = Make("Dvtel");
    auto b = Make("Dvtel");
    std::wstring json = NoOptions();
    ASSERT_TRUE(a->Initialize(first.Url(), -1, json));
    ASSERT_TRUE(b->Initialize(second.Url(), -1, json));
    std::vector<long long> timesA, timesB;
    for (int i = 0; i < kFramesRead; ++i) {
        auto fa = a->GetNextFrame();
        auto fb = b->GetNextFrame();
        if (fa->GetDecoderState() != DecoderState::Ok || fb->GetDecoderState() != DecoderState::Ok) break;
        timesA.push_back(fa->GetFileTimeUtc());
        timesB.push_back(fb->GetFileTimeUtc());
    }
    ExpectFrameTimes(timesA, [](int k) { return kFileTime2021 + k * kFrameTicks; });
    ExpectFrameTimes(timesB, [](int k) { return kFileTime2021 + kDay + k * kFrameTicks; });
}
