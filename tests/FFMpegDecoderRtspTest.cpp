// FFMpegDecoder on "rtsp://" addresses: every such address opens through the library's RTSP layer.
// GStreamer's RTSP server is the real peer; the scriptable server of tests/rtsp plays the
// video-management systems and the faults.

#include "Common/Logger.h"
#include "DecoderTestHelpers.h"
#include "Rtsp/RtspExtensions.h"
#include "Rtsp/RtspInput.h"
#include "support/RtspTestServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace DecoderTest;
using Halvora::RuvarEduzid::Rtsp::RtspInput;
using RuvarTest::RtspTestServer;
using Clock = std::chrono::steady_clock;

namespace {

std::string GstLaunch() {
    return "( filesrc location=" + RtspTestServer::MatroskaFixture() +
           " ! matroskademux ! h264parse ! rtph264pay name=pay0 pt=96 )";
}

std::vector<std::shared_ptr<DecoderParameter>> Timeouts(int connectMs, int frameMs) {
    return {std::make_shared<RtspConnectionTimeoutParameter>(connectMs),
            std::make_shared<RtspGetFrameTimeoutParameter>(frameMs)};
}

int CountOf(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

constexpr long long kUnixEpochTicks = 116444736000000000LL;

}  // namespace

TEST(FFMpegDecoderRtsp, GStreamerStreamDecodesThroughTheLayerFrameForFrame) {
    const auto expected = RuvarTest::FrameMd5(RtspTestServer::MatroskaFixture());
    RtspTestServer server;
    ASSERT_TRUE(server.StartGStreamer(GstLaunch(), "--auth digest --user cam --password 'pa55:word'"));
    Halvora::Common::ScopedLogCapture capture(0);
    {
        FFMpegDecoder decoder;
        ASSERT_TRUE(decoder.Initialize(InfoFor(server.Url("/test", "cam:pa55%3Aword")), nullptr));
        ASSERT_NE(RtspInput::Find(decoder.getFormatCtx()), nullptr);  // not FFmpeg's own RTSP client
        Decoded decoded = DecodeAll(decoder);
        EXPECT_EQ(decoded.digests, expected);
        EXPECT_EQ(decoded.endState, EndOfArchive);
    }
    for (const auto& message : capture.Sink().Messages()) EXPECT_EQ(message.find("pa55"), std::string::npos) << message;
}

TEST(FFMpegDecoderRtsp, UdpTransportFromTheSettingCode) {
    // The settings are read once per process: the child is a fresh run of this program.
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    RtspTestServer server;
    ASSERT_TRUE(server.StartGStreamer(GstLaunch(), "--protocols udp"));
    RuvarTest::WriteFile(std::string(RUVAR_BINARY_DIR) + "/tmp/rtsp-udp.ini", "[Rtsp]\nRtspTransport=2\n");
    auto decodeOverUdp = [&]() {
        setenv("RUVAREDUZID_INI", (std::string(RUVAR_BINARY_DIR) + "/tmp/rtsp-udp.ini").c_str(), 1);
        FFMpegDecoder decoder;
        if (!decoder.Initialize(InfoFor(server.Url()), nullptr)) return 3;
        if (RtspInput::Find(decoder.getFormatCtx())->Session().ActiveTransport() !=
            Halvora::RuvarEduzid::Rtsp::RtspTransportMode::Udp)
            return 4;
        return DecodeAll(decoder).digests.size() == 50 ? 0 : 5;
    };
    EXPECT_EXIT(
        {
            const int code = decodeOverUdp();
            server.Stop();  // exit skips destructors
            std::exit(code);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(FFMpegDecoderRtsp, InitializeRtspTakesTheRangeStartFromGetParameter) {
    RtspTestServer server;
    ASSERT_TRUE(server.StartScripted(RtspTestServer::H264Fixture(), "--gp-range npt=12.5- --loop 1 --frames 200"));
    FFMpegDecoder decoder;
    ASSERT_TRUE(decoder.InitializeRtsp(InfoFor(server.Url("/stream")), nullptr));
    Decoded decoded = DecodeAll(decoder, 5);
    ASSERT_EQ(decoded.times.size(), 6u) << "end state " << decoded.endState;
    // No start time given: the stream clock is read as UTC since 1970, and it now starts at 12.5 s
    // with the first packet after the flush; decoding starts at the next key frame, a whole
    // number of frame times (40 ms) later.
    EXPECT_GE(decoded.times[0], kUnixEpochTicks + 125000000);
    EXPECT_LT(decoded.times[0], kUnixEpochTicks + 125000000 + 100 * 400000LL);
    EXPECT_EQ((decoded.times[0] - kUnixEpochTicks - 125000000) % 400000, 0);
    EXPECT_EQ(decoded.times[1] - decoded.times[0], 400000);
    EXPECT_NE(server.LogText().find("REQ GET_PARAMETER"), std::string::npos);
}

TEST(FFMpegDecoderRtsp, InitializeRtspFailsWhenGetParameterGetsNoReply) {
    RtspTestServer server;
    ASSERT_TRUE(server.StartScripted(RtspTestServer::H264Fixture(), "--gp-no-reply 1"));
    Halvora::Common::ScopedLogCapture capture(0);
    FFMpegDecoder decoder;
    auto params = Timeouts(3000, 500);
    const auto start = Clock::now();
    EXPECT_FALSE(decoder.InitializeRtsp(InfoFor(server.Url("/stream")), &params));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(15));
    EXPECT_TRUE(capture.Sink().Contains("FFMpegDecoder::InitializeRtsp error: rtsp_read_get_parameter",
                                        Halvora::Common::LogError));
}

TEST(FFMpegDecoderRtsp, StalledServerGivesWatchdogWarningsThenEnds) {
    RtspTestServer server;
    ASSERT_TRUE(server.StartScripted(RtspTestServer::H264Fixture(), "--stall-after 40"));
    Halvora::Common::ScopedLogCapture capture(0);
    FFMpegDecoder decoder;
    auto params = Timeouts(5000, 1000);
    ASSERT_TRUE(decoder.Initialize(InfoFor(server.Url("/stream")), &params));
    ASSERT_TRUE(server.WaitForLog("STALL", 5000));
    const auto start = Clock::now();
    Decoded decoded = DecodeAll(decoder);
    const auto waited = Clock::now() - start;
    EXPECT_NE(decoded.endState, Ok);
    EXPECT_GE(decoded.digests.size(), 1u);
    // 1 s, then 2 s, then 4 s (second resolution): the third expiration aborts the read.
    EXPECT_GE(CountOf([&] {
                  std::string all;
                  for (const auto& m : capture.Sink().Messages(Halvora::Common::LogWarning)) all += m + "\n";
                  return all;
              }(),
                      "FFMpegDecoder network timeout:"),
              3);
    EXPECT_GE(waited, std::chrono::seconds(4));
    EXPECT_LT(waited, std::chrono::seconds(12));
}

TEST(FFMpegDecoderRtsp, InterruptFromAnotherThreadEndsAStalledRead) {
    RtspTestServer server;
    ASSERT_TRUE(server.StartScripted(RtspTestServer::H264Fixture(), "--stall-after 40"));
    FFMpegDecoder decoder;
    auto params = Timeouts(5000, 30000);
    ASSERT_TRUE(decoder.Initialize(InfoFor(server.Url("/stream")), &params));
    ASSERT_TRUE(server.WaitForLog("STALL", 5000));
    std::thread interrupter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        decoder.Interrupt();
    });
    const auto start = Clock::now();
    Decoded decoded = DecodeAll(decoder);
    interrupter.join();
    EXPECT_EQ(decoded.endState, NotAvailable);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
}

TEST(FFMpegDecoderRtsp, ServerClosingMidStreamEndsWithoutHangAndTeardownGoesOutAtClose) {
    RtspTestServer server;
    ASSERT_TRUE(server.StartScripted(RtspTestServer::H264Fixture(), "--close-after 30"));
    {
        FFMpegDecoder decoder;
        ASSERT_TRUE(decoder.Initialize(InfoFor(server.Url("/stream")), nullptr));
        const auto start = Clock::now();
        Decoded decoded = DecodeAll(decoder);
        EXPECT_TRUE(decoded.endState == EndOfArchive || decoded.endState == Error);
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
    }
    RtspTestServer second;
    ASSERT_TRUE(second.StartScripted(RtspTestServer::H264Fixture(), ""));
    {
        FFMpegDecoder decoder;
        ASSERT_TRUE(decoder.Initialize(InfoFor(second.Url("/stream")), nullptr));
        EXPECT_EQ(DecodeAll(decoder, 3).digests.size(), 4u);
    }
    EXPECT_TRUE(second.WaitForLog("TEARDOWN", 3000));
}

TEST(FFMpegDecoderRtsp, WrongCredentialsFailClearly) {
    RtspTestServer server;
    ASSERT_TRUE(server.StartScripted(RtspTestServer::H264Fixture(), "--auth digest-qop --password right"));
    Halvora::Common::ScopedLogCapture capture(0);
    FFMpegDecoder decoder;
    EXPECT_FALSE(decoder.Initialize(InfoFor(server.Url("/stream", "user:wrong")), nullptr));
    EXPECT_TRUE(capture.Sink().Contains("401 Unauthorized", Halvora::Common::LogError));
    for (const auto& message : capture.Sink().Messages()) EXPECT_EQ(message.find(":wrong"), std::string::npos) << message;
}

TEST(FFMpegDecoderRtsp, GetVideoFileInfoProbesThroughTheLayerAndTearsDown) {
    RtspTestServer server;
    ASSERT_TRUE(server.StartScripted(RtspTestServer::H264Fixture(), ""));
    FFMpegDecoder decoder;
    VideoFileInfoResult result = decoder.GetVideoFileInfo(Halvora::Common::StringUtility::StringToWstring(server.Url("/stream")));
    ASSERT_EQ(result.infos.size(), 1u);
    EXPECT_EQ(result.infos[0]->width, 320);
    EXPECT_EQ(result.infos[0]->height, 240);
    EXPECT_TRUE(server.WaitForLog("TEARDOWN", 3000));
}
