// FFMpegDecoder on "rtsp://" addresses: every such address opens through the library's RTSP layer.
// GStreamer's RTSP server is the real peer; the scriptable server of tests/rtsp plays the
// video-management systems and the faults.

#include "Common/Logger.h"
#include "DecoderTestHelpers.h"
#include "Rtsp/RtspExtensions.h"
#include "Rtsp/RtspInput.h"
#include "support/RtspTestServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
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

using Halvora::Common::LogError;
using Halvora::Common::LogWarning;
using Halvora::Common::ScopedLogCapture;

// The pictures of the scriptable server's stream, decoded by FFmpeg from the file.
const std::vector<std::string>& ScriptedReference() {
    static const std::vector<std::string> reference = RuvarTest::FrameMd5(RtspTestServer::H264Fixture());
    return reference;
}

int Warnings(ScopedLogCapture& capture, const std::string& what) {
    int n = 0;
    for (const auto& m : capture.Sink().Messages(LogWarning)) n += CountOf(m, what);
    return n;
}

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

}  // namespace

TEST(FFMpegDecoderRtsp, GStreamerStreamDecodesThroughTheLayerFrameForFrame) {
    const auto expected = RuvarTest::FrameMd5(RtspTestServer::MatroskaFixture());
    RtspTestServer server;
    ASSERT_TRUE(server.StartGStreamer(GstLaunch(), "--auth digest --user cam --password 'pa55:word'"));
    Halvora::Common::ScopedLogCapture capture(0);
    {
        FFMpegDecoder decoder;
        ASSERT_TRUE(decoder.Initialize(InfoFor(server.Url("/test", "cam:pa55%3Aword")), nullptr));
        ASSERT_NE(RtspInput::Of(decoder.getFormatCtx()), nullptr);  // not FFmpeg's own RTSP client
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
    // A directory of its own: in a fresh build tree this may be the first test that writes a file.
    const std::string ini = RuvarTest::TempDir("rtsp_udp") + "/RuvarEduzid.ini";
    RuvarTest::WriteFile(ini, "[Rtsp]\nRtspTransport=2\n");
    auto decodeOverUdp = [&]() {
        setenv("RUVAREDUZID_INI", ini.c_str(), 1);
        FFMpegDecoder decoder;
        if (!decoder.Initialize(InfoFor(server.Url()), nullptr)) return 3;
        if (RtspInput::Of(decoder.getFormatCtx())->Session().ActiveTransport() !=
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
    ASSERT_TRUE(server.StartScripted(RtspTestServer::H264Fixture(), "--gp-range npt=12.5- --frames 50"));
    FFMpegDecoder decoder;
    ASSERT_TRUE(decoder.InitializeRtsp(InfoFor(server.Url("/stream")), nullptr));
    Decoded decoded = DecodeAll(decoder);
    // Every frame the server sent, from its first: nothing read while the session opened is lost.
    EXPECT_EQ(decoded.digests, ScriptedReference());
    EXPECT_EQ(decoded.endState, EndOfArchive);
    ASSERT_EQ(decoded.times.size(), ScriptedReference().size());
    // No start time given: the stream clock is read as UTC since 1970. The reply's range start
    // (12.5 s) is the time of the frame the server sent right after its reply; every other frame
    // keeps its distance of 40 ms per frame from it.
    const std::string log = server.LogText();
    const size_t reply = log.find("GP-REPLY next ");
    ASSERT_NE(reply, std::string::npos) << log;
    const int next = std::atoi(log.c_str() + reply + 14);
    for (size_t i = 0; i < decoded.times.size(); ++i)
        EXPECT_EQ(decoded.times[i], kUnixEpochTicks + 125000000 + (static_cast<long long>(i) - next) * 400000) << i;
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

// A server that dies (SIGKILL, no goodbye) while a decoder reads it, stays down for a while and
// comes back on the same port.
TEST(FFMpegDecoderRtsp, ServerKilledMidStreamAndRestartedOnTheSamePort) {
    RtspTestServer server;
    ASSERT_TRUE(server.StartScripted(RtspTestServer::H264Fixture(), ""));
    const int port = server.Port();
    const std::string url = server.Url("/stream");
    ScopedLogCapture capture(0);
    auto params = Timeouts(2000, 1000);

    FFMpegDecoder decoder;
    ASSERT_TRUE(decoder.Initialize(InfoFor(url), &params));
    Decoded decoded = DecodeAll(decoder, 9);
    ASSERT_EQ(decoded.digests.size(), 10u);
    // A second opening of a decoder that is open is refused and leaves it decoding; a host
    // reconnects with a new decoder.
    EXPECT_FALSE(decoder.Initialize(InfoFor(url), &params));
    EXPECT_TRUE(capture.Sink().Contains("FFMpegDecoder::Initialize error: the decoder is already initialized", LogError));
    ASSERT_TRUE(server.WaitForLog("FRAME 20", 5000));
    server.Kill();
    auto start = Clock::now();
    Decoded rest = DecodeAll(decoder);
    const double ended = SecondsSince(start);
    // What had arrived is decoded, then the lost camera is an error: the pictures are the stream's
    // first ones.
    EXPECT_EQ(rest.endState, Error);
    EXPECT_LT(ended, 3.0);
    decoded.digests.insert(decoded.digests.end(), rest.digests.begin(), rest.digests.end());
    EXPECT_GE(decoded.digests.size(), 21u);
    EXPECT_LT(decoded.digests.size(), ScriptedReference().size());
    EXPECT_TRUE(std::equal(decoded.digests.begin(), decoded.digests.end(), ScriptedReference().begin()));
    EXPECT_EQ(decoder.GetNextFrame()->GetDecoderState(), Error);

    // While the server is down a connection is refused at once.
    FFMpegDecoder whileDown;
    start = Clock::now();
    EXPECT_FALSE(whileDown.Initialize(InfoFor(url), &params));
    const double refused = SecondsSince(start);
    EXPECT_LT(refused, 2.0);
    EXPECT_TRUE(capture.Sink().Contains("RTSP: cannot connect to " + url + ": Connection refused", LogWarning));
    EXPECT_TRUE(capture.Sink().Contains("FFMpegDecoder::Initialize error: Can't open image file: " + url +
                                            " Err: Connection refused",
                                        LogError));
    EXPECT_EQ(whileDown.getFormatCtx(), nullptr);

    // Back on the same port: a new decoder gets the whole stream, and so does the decoder whose
    // opening failed while the server was down.
    RtspTestServer restarted;
    ASSERT_TRUE(restarted.StartScripted(RtspTestServer::H264Fixture(), "--port " + std::to_string(port)));
    ASSERT_EQ(restarted.Port(), port);
    FFMpegDecoder fresh;
    ASSERT_TRUE(fresh.Initialize(InfoFor(url), &params));
    ASSERT_TRUE(whileDown.Initialize(InfoFor(url), &params));
    Decoded again = DecodeAll(fresh);
    EXPECT_EQ(again.endState, EndOfArchive);
    EXPECT_EQ(again.digests, ScriptedReference());
    Decoded retried = DecodeAll(whileDown);
    EXPECT_EQ(retried.endState, EndOfArchive);
    EXPECT_EQ(retried.digests, ScriptedReference());
    std::printf("killed server: end of the running decoder after %.2f s (%zu pictures in all); refused after %.3f s\n",
                ended, decoded.digests.size(), refused);
}

// Replies that come late but within the connection time-out: the stream opens and decodes frame
// for frame, without a watchdog warning.
TEST(FFMpegDecoderRtsp, SlowRepliesWithinTheConnectionTimeoutStillDecodeFrameForFrame) {
    for (const std::string args : {"--reply-delay 0.5", "--reply-delay 2 --delay-method DESCRIBE",
                                   "--reply-delay 2 --delay-method PLAY"}) {
        SCOPED_TRACE(args);
        RtspTestServer server;
        ASSERT_TRUE(server.StartScripted(RtspTestServer::H264Fixture(), args));
        ScopedLogCapture capture(0);
        FFMpegDecoder decoder;
        auto params = Timeouts(5000, 2000);
        const auto start = Clock::now();
        ASSERT_TRUE(decoder.Initialize(InfoFor(server.Url("/stream")), &params));
        const double opened = SecondsSince(start);
        Decoded decoded = DecodeAll(decoder);
        EXPECT_EQ(decoded.endState, EndOfArchive);
        EXPECT_EQ(decoded.digests, ScriptedReference());
        EXPECT_EQ(Warnings(capture, "FFMpegDecoder network timeout"), 0);
        EXPECT_NE(server.LogText().find("DELAY"), std::string::npos);
        std::printf("%s: opened in %.2f s\n", args.c_str(), opened);
    }
}

// A reply later than the connection time-out: the watchdog's first two expirations double the
// allowance (1, 2, then 4 times the time-out), the third abandons the opening.
TEST(FFMpegDecoderRtsp, ReplyLaterThanTheConnectionTimeoutFailsInitialize) {
    RtspTestServer server;
    ASSERT_TRUE(server.StartScripted(RtspTestServer::H264Fixture(), "--reply-delay 25 --delay-method DESCRIBE"));
    const std::string url = server.Url("/stream");
    ScopedLogCapture capture(0);
    FFMpegDecoder decoder;
    auto params = Timeouts(1000, 1000);
    const auto start = Clock::now();
    EXPECT_FALSE(decoder.Initialize(InfoFor(url), &params));
    const double failed = SecondsSince(start);
    EXPECT_GE(failed, 4.0);
    EXPECT_LT(failed, 4.0 + 3.0);
    EXPECT_EQ(Warnings(capture, "FFMpegDecoder network timeout:"), 3);
    EXPECT_TRUE(capture.Sink().Contains("FFMpegDecoder::Initialize error: Can't open image file: " + url +
                                            " Err: Immediate exit requested",
                                        LogError));
    EXPECT_EQ(decoder.getFormatCtx(), nullptr);
    std::printf("reply after the time-out: Initialize failed after %.2f s\n", failed);
}

// A slow answer ends early when the host interrupts, or when the server dies.
TEST(FFMpegDecoderRtsp, SlowAnswerEndsAtInterruptOrWhenTheServerDies) {
    auto params = Timeouts(30000, 30000);
    // Holds `method`'s reply for 25 s, runs `act` once the server is holding it, and expects
    // Initialize to fail soon with `error` in its log.
    auto slowAnswer = [&](const std::string& method, const std::function<void(RtspTestServer&, FFMpegDecoder&)>& act,
                          const std::string& error) {
        RtspTestServer server;
        ASSERT_TRUE(server.StartScripted(RtspTestServer::H264Fixture(), "--reply-delay 25 --delay-method " + method));
        ScopedLogCapture capture(0);
        FFMpegDecoder decoder;
        std::thread actor([&] {
            server.WaitForLog("DELAY " + method, 10000);
            act(server, decoder);
        });
        const auto start = Clock::now();
        EXPECT_FALSE(decoder.Initialize(InfoFor(server.Url("/stream")), &params));
        const double failed = SecondsSince(start);
        actor.join();
        EXPECT_LT(failed, 5.0);
        EXPECT_TRUE(capture.Sink().Contains(error, LogError));
        EXPECT_EQ(decoder.GetNextFrame()->GetDecoderState(), Error);  // nothing open
        std::printf("slow %s ended after %.2f s: %s\n", method.c_str(), failed, error.c_str());
    };
    slowAnswer("SETUP", [](RtspTestServer&, FFMpegDecoder& decoder) { decoder.Interrupt(); },
               "Err: Immediate exit requested");
    slowAnswer("PLAY", [](RtspTestServer& server, FFMpegDecoder&) { server.Kill(); }, "Err: End of file");
}

// Media slower than real time (three frame times per frame) but within the get-frame time-out:
// every picture arrives.
TEST(FFMpegDecoderRtsp, MediaSlowerThanRealTimeDecodesEveryFrame) {
    RtspTestServer server;
    ASSERT_TRUE(server.StartScripted(RtspTestServer::H264Fixture(), "--fps-pace 3"));
    ScopedLogCapture capture(0);
    FFMpegDecoder decoder;
    auto params = Timeouts(5000, 1000);
    const auto start = Clock::now();
    ASSERT_TRUE(decoder.Initialize(InfoFor(server.Url("/stream")), &params));
    const double opened = SecondsSince(start);
    Decoded decoded = DecodeAll(decoder);
    EXPECT_EQ(decoded.endState, EndOfArchive);
    EXPECT_EQ(decoded.digests, ScriptedReference());
    EXPECT_EQ(Warnings(capture, "FFMpegDecoder network timeout"), 0);
    std::printf("media at a third of real time: opened in %.2f s, %zu pictures in %.2f s\n", opened,
                decoded.digests.size(), SecondsSince(start));
}
