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
#include "vms/VmsStreams.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

using namespace Halvora::RuvarEduzid;
using namespace Halvora::Video::Native;
using namespace RuvarTest::Vms;
using Halvora::Common::ScopedLogCapture;

namespace {

constexpr int kFramesRead = 70;

std::wstring NoOptions() { return L""; }

}  // namespace

TEST(WebStreamTimes, MilestoneDatesFramesFromTheSenderReport) {
    RUVAR_REQUIRE_RTSP_LAYER();
    // The report maps 2021-01-01 to the RTP time of frame 5.
    RuvarTest::VmsServer server(MilestoneStream(kNtp2021, 5).config);
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
    RuvarTest::VmsServer server(SeeTecStream(1600000000000ULL).config);
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
    // The reply names the time of the next frame the server sends; that frame carries the range
    // start / 10 and the others their distance from it, each 90 kHz tick read as 10 us.
    const VmsStream stream = VmsAgentStream(0);
    RuvarTest::VmsServer server(stream.config);
    ASSERT_GT(server.Port(), 0);
    auto decoder = Make("VmsAgent");
    std::wstring json = NoOptions();
    ScopedLogCapture capture(0);
    ASSERT_TRUE(decoder->Initialize(server.Url(), -1, json));
    auto times = ReadTimes(*decoder, kFramesRead);
    ExpectFrameTimes(times, [&stream](int k) { return stream.Time(k); });
    for (long long t : times) EXPECT_EQ(t % 100, 0);
    int tsLines = 0;
    for (const auto& message : capture.Sink().Messages(2))
        if (message.rfind("ts: ", 0) == 0) ++tsLines;
    EXPECT_GE(tsLines, static_cast<int>(times.size()));
}

TEST(WebStreamTimes, IssDatesFramesFromTheOpeningInstant) {
    RuvarTest::VmsServer server(IssStream().config);
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
    RuvarTest::VmsServer server(GenetecStream(kNtp2021).config);
    ASSERT_GT(server.Port(), 0);
    auto decoder = Make("Genetec");
    std::wstring json = NoOptions();
    ASSERT_TRUE(decoder->Initialize(server.Url(), -1, json));
    // start_time_realtime (us since 1970) plus the 90 kHz timestamp in seconds: 2021 plus 40 ms
    // per frame, as a file time.
    ExpectFrameTimes(ReadTimes(*decoder, kFramesRead), [](int k) { return kFileTime2021 + k * kFrameTicks; });
}

TEST(WebStreamTimes, DvtelTakesTheTimeOfTheRtpHeaderExtension) {
    RUVAR_REQUIRE_RTSP_LAYER();
    // kYear1To2021 ticks since year 1 is 2021-01-01.
    RuvarTest::VmsServer server(DvtelStream(kYear1To2021, kFrameTicks).config);
    ASSERT_GT(server.Port(), 0);
    auto decoder = Make("Dvtel");
    std::wstring json = NoOptions();
    ASSERT_TRUE(decoder->Initialize(server.Url(), -1, json));
    ExpectFrameTimes(ReadTimes(*decoder, kFramesRead), [](int k) { return kFileTime2021 + k * kFrameTicks; });
}

TEST(WebStreamTimes, TwoDvtelDecodersEachSeeOnlyTheirOwnPackets) {
    RUVAR_REQUIRE_RTSP_LAYER();
    RuvarTest::VmsServer first(DvtelStream(kYear1To2021, kFrameTicks).config);
    RuvarTest::VmsServer second(DvtelStream(kYear1To2021 + kDay, kFrameTicks).config);
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
