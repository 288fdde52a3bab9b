// Live RTSP streams as a recording host reads them, for every family of video-management system
// and for plain RTSP: every frame the stand-in server sends after PLAY arrives, picture for
// picture and in presentation order, each dated exactly by its system's rule from its own RTP
// timestamp; with and without B-frames, over TCP (in this process) and UDP (the ruvar tool, whose
// settings file asks for UDP). The GET_PARAMETER replies name the time of the next frame the
// server sends, as a video-management system reports its position.
#include "Common/Json.h"
#include "Common/Logger.h"
#include "RuvarEduzid/DecodedAvFrame.h"
#include "RuvarEduzid/FFMpegDecoder.h"
#include "RuvarEduzid/WebStreamDecoderFactory.h"
#include "RuvarEduzid/WebStreamDetail.h"
#include "Rtsp/RtspInput.h"
#include "vms/VmsServer.h"
#include "vms/VmsStreams.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <map>
#include <sstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace RuvarTest::Vms;
namespace WebStreamDetail = Halvora::RuvarEduzid::WebStreamDetail;
using Halvora::Video::Native::DecoderState;
using Halvora::Video::Native::IFrameDecoder;

namespace {

struct Delivered {
    bool opened = false;
    std::vector<std::string> digests;
    std::vector<long long> times;
    std::string endState;
    long long before = 0, after = 0;  // NowTicks around the run
};

// In this process: "Rtsp" is a plain FFMpegDecoder, the others the family's web-stream decoder.
// `beforeReading` runs between Initialize and the first frame.
Delivered DecodeHere(const std::string& family, const std::wstring& url, const std::function<void()>& beforeReading = nullptr) {
    Delivered out;
    out.before = NowTicks();
    std::unique_ptr<IFrameDecoder> decoder;
    if (family == "Rtsp") {
        auto plain = std::make_unique<Halvora::RuvarEduzid::FFMpegDecoder>();
        out.opened = plain->Initialize(Halvora::Video::Native::VideoFileInfo(url), nullptr);
        decoder = std::move(plain);
    } else {
        auto web = Make(family);
        std::wstring json;
        out.opened = web->Initialize(url, -1, json);
        decoder = std::move(web);
    }
    if (out.opened && beforeReading) beforeReading();
    if (out.opened) {
        RuvarTest::Decoded decoded = RuvarTest::DecodeAll(*decoder, 4000);
        out.digests = std::move(decoded.digests);
        out.times = std::move(decoded.times);
        out.endState = decoded.endState == DecoderState::EndOfArchive ? "EndOfArchive" : "other";
    }
    out.after = NowTicks();
    return out;
}

// The ruvar tool in a process of its own, whose settings file asks for RTP over UDP.
Delivered DecodeWithToolOverUdp(const std::string& family, const std::wstring& url) {
    static const std::string ini = [] {
        const std::string path = RuvarTest::TempDir("live_udp") + "/RuvarEduzid.ini";
        RuvarTest::WriteFile(path, "[Rtsp]\nRtspTransport=2\n");
        return path;
    }();
    Delivered out;
    out.before = NowTicks();
    const RuvarTest::ToolDecode run = RuvarTest::RuvarDecode(
        "--log-level 4 " + RuvarTest::Quote(std::string(url.begin(), url.end())) + (family == "Rtsp" ? "" : " --vms " + family),
        "RUVAREDUZID_INI=" + RuvarTest::Quote(ini));
    out.after = NowTicks();
    out.opened = run.code == 0;
    out.digests = run.digests;
    out.times = run.times;
    out.endState = run.endState;
    return out;
}

// Every frame of the stream, in presentation order, each at its family's time for that frame.
void ExpectEveryFrame(const std::string& family, const Delivered& run, const std::vector<std::string>& pictures,
                      int frames) {
    ASSERT_TRUE(run.opened);
    EXPECT_EQ(run.endState, "EndOfArchive");
    ASSERT_EQ(run.digests.size(), static_cast<size_t>(frames)) << "frames delivered";
    for (int k = 0; k < frames; ++k) EXPECT_EQ(run.digests[k], pictures[k % pictures.size()]) << "picture " << k;
    // Iss dates frames from the instant the stream opened, read while the decoder ran.
    const long long origin = family == "Iss" ? run.times[0] - ExpectedTime(family, 0) : 0;
    if (family == "Iss") {
        EXPECT_GE(origin, run.before);
        EXPECT_LE(origin, run.after);
    }
    for (int k = 0; k < frames; ++k)
        EXPECT_EQ(run.times[k], origin + ExpectedTime(family, k)) << "frame " << k << " of " << family;
}

struct DeliveryCase {
    std::string family;
    bool bframes;
    bool udp;
    int firstReport = 0;              // the frame sent after the first sender report
    std::string seeTecPair = "first";  // the frame whose time the SeeTec reply gives
};

void PrintTo(const DeliveryCase& c, std::ostream* os) {
    *os << c.family << (c.bframes ? " with B-frames" : " without B-frames") << (c.udp ? " over UDP" : " over TCP")
        << ", first sender report at frame " << c.firstReport << ", SeeTec reply on the " << c.seeTecPair << " frame";
}

std::string CaseName(const ::testing::TestParamInfo<DeliveryCase>& info) {
    const DeliveryCase& c = info.param;
    return c.family + (c.bframes ? "_BFrames" : "_NoBFrames") + (c.udp ? "_Udp" : "_Tcp") +
           (c.firstReport ? "_FirstReportAt" + std::to_string(c.firstReport) : "") +
           (c.seeTecPair != "first" ? "_ReplyOn_" + c.seeTecPair : "");
}

// Every family with and without B-frames over TCP and UDP (the RTP clock wraps in every stream);
// the families that need a sender report with the first one 7 frames after PLAY, and SeeTec with
// its reply pairing its time with the frame sent last and the next one, on two of those each.
std::vector<DeliveryCase> AllCases() {
    std::vector<DeliveryCase> cases;
    for (const char* family :
         {"Rtsp", "Generic", "Milestone", "SeeTec", "VmsAgent", "Iss", "Genetec", "Dvtel", "Camera"})
        for (bool bframes : {false, true})
            for (bool udp : {false, true}) cases.push_back({family, bframes, udp});
    for (const char* family : {"Milestone", "Genetec", "Camera"}) {
        cases.push_back({family, true, false, 7});
        cases.push_back({family, false, true, 7});
    }
    for (const char* pair : {"last", "next"}) {
        cases.push_back({"SeeTec", true, false, 0, pair});
        cases.push_back({"SeeTec", false, true, 0, pair});
    }
    return cases;
}

class LiveStreamDelivery : public ::testing::TestWithParam<DeliveryCase> {};

}  // namespace

TEST_P(LiveStreamDelivery, EveryFrameSentAfterPlayArrivesWithItsOwnCaptureTime) {
    const DeliveryCase& c = GetParam();
    const RuvarTest::VmsMedia media = RuvarTest::VmsFixture70(c.bframes);
    const std::vector<std::string> pictures = RuvarTest::FrameMd5(media.h264);
    ASSERT_EQ(pictures.size(), static_cast<size_t>(media.frames));
    RuvarTest::VmsServer server(SharedConfig(media.frames, 10, "", c.firstReport, c.seeTecPair), media);
    ASSERT_GT(server.Port(), 0);
    const Delivered run = c.udp ? DecodeWithToolOverUdp(c.family, server.Url()) : DecodeHere(c.family, server.Url());
    ExpectEveryFrame(c.family, run, pictures, media.frames);
    // The server's account: the transport asked for, every frame sent, and a GET_PARAMETER
    // exchange exactly for the families that ask.
    const Json::Value session = server.Session();
    ASSERT_FALSE(session.isNull()) << server.Stats();
    EXPECT_EQ(session["transport"].asString(), c.udp ? "udp" : "tcp");
    EXPECT_EQ(session["frames_sent"].asInt(), media.frames);
    const bool asks = c.family == "Milestone" || c.family == "SeeTec" || c.family == "VmsAgent";
    EXPECT_EQ(session["get_parameter"].asInt() > 0, asks) << server.Stats();
}

INSTANTIATE_TEST_SUITE_P(Families, LiveStreamDelivery, ::testing::ValuesIn(AllCases()), CaseName);

// The open hook's GET_PARAMETER comes late: seconds of stream are queued before it (the host
// waits before its first frame, or the server holds its reply). Nothing queued is lost, and the
// frame named by the late reply anchors the times of all, the earlier ones included.
TEST(LiveStreamDelivery, VmsAgentHostWaitingSecondsBeforeTheFirstFrameLosesNothing) {
    const RuvarTest::VmsMedia media = RuvarTest::VmsFixture70(true);
    const std::vector<std::string> pictures = RuvarTest::FrameMd5(media.h264);
    constexpr int kFramesServed = 140;  // the fixture twice, in real time (5.6 s)
    RuvarTest::VmsServer server(SharedConfig(kFramesServed, 40), media);
    ASSERT_GT(server.Port(), 0);
    Halvora::Common::ScopedLogCapture capture(0);
    // VmsAgent asks at its first frame: the host waits until 2.4 s of stream have been sent.
    const Delivered run = DecodeHere("VmsAgent", server.Url(), [&] { server.WaitFor("frames_sent", 60); });
    ExpectEveryFrame("VmsAgent", run, pictures, kFramesServed);
    // VmsAgent logs each frame's timestamp at info level.
    int tsLines = 0;
    for (const auto& message : capture.Sink().Messages(2))
        if (message.rfind("ts: ", 0) == 0) ++tsLines;
    EXPECT_GE(tsLines, kFramesServed);
    const Json::Value named = server.Session()["named_frames"];
    ASSERT_EQ(named.size(), 1u) << server.Stats();
    EXPECT_GE(named[0].asInt(), 60);
}

class LateReplyDelivery : public ::testing::TestWithParam<const char*> {};

TEST_P(LateReplyDelivery, ServerStreamingSecondsBeforeItsReplyLosesNothing) {
    const std::string family = GetParam();
    const RuvarTest::VmsMedia media = RuvarTest::VmsFixture70(false);
    const std::vector<std::string> pictures = RuvarTest::FrameMd5(media.h264);
    constexpr int kFramesServed = 100;
    // The reply comes 2.5 s after the request, the stream going on meanwhile in real time.
    RuvarTest::VmsServer server(SharedConfig(kFramesServed, 40, ", \"delay_ms\": 2500"), media);
    ASSERT_GT(server.Port(), 0);
    const Delivered run = DecodeHere(family, server.Url());
    ExpectEveryFrame(family, run, pictures, kFramesServed);
    const Json::Value named = server.Session()["named_frames"];
    ASSERT_EQ(named.size(), 1u) << server.Stats();
    EXPECT_GE(named[0].asInt(), 50);
}

INSTANTIATE_TEST_SUITE_P(Families, LateReplyDelivery, ::testing::Values("Milestone", "VmsAgent"));

// RTP over a bad network: the stand-in's UDP output passes a seeded relay stage that drops 2 % of
// the packets, sends 1 % twice, reorders them within 30 ms and holds a burst now and then. No
// frame comes twice, out of order or with a time that is not its own, and the pictures are exact
// up to the first damaged frame of each group and again from the next key frame. (The open
// benchmark sets FFmpeg's client beside ours on the same relay.)
TEST(LiveStreamRelay, LossDuplicatesAndReorderingCostNoWrongFrame) {
    const RuvarTest::VmsMedia media = RuvarTest::VmsFixture70(false);  // key frames at 0, 25, 50
    const std::vector<std::string> pictures = RuvarTest::FrameMd5(media.h264);
    StreamTiming timing;  // the RTP clock wraps at frame 60
    timing.frames = 350;
    timing.paceMs = 10;
    const std::string config = Config("\"transports\": [\"udp\"], \"bye\": true, \"bye_delay_ms\": 300, \"impair\": "
                                      "{\"seed\": 7, \"drop\": 0.02, \"duplicate\": 0.01, \"reorder_ms\": 30, "
                                      "\"burst_every\": 300, \"burst_ms\": 120}",
                                      timing);
    RuvarTest::VmsServer server(config, media);
    ASSERT_GT(server.Port(), 0);
    const Delivered ours = DecodeWithToolOverUdp("Rtsp", server.Url());
    ASSERT_TRUE(ours.opened);
    EXPECT_EQ(ours.endState, "EndOfArchive");
    std::vector<bool> impaired(timing.frames, false);
    const Json::Value session = server.Session();
    for (const Json::Value& p : session["impaired_frames"]) impaired.at(p.asUInt()) = true;
    ASSERT_GT(std::count(impaired.begin(), impaired.end(), true), 5) << "the relay stage did its work";

    // Each frame's time names it: the stream clock read as UTC, 40 ms a frame.
    std::vector<std::string> byFrame(timing.frames);
    int previous = -1, exact = 0;
    for (size_t i = 0; i < ours.times.size(); ++i) {
        const long long offset = ours.times[i] - kUnixEpochFileTime;
        ASSERT_EQ(offset % kFrameTicks, 0) << "frame " << i << " has a time of no frame";
        const int k = static_cast<int>(offset / kFrameTicks);
        ASSERT_GT(k, previous) << "times go forward, each once";
        ASSERT_LT(k, timing.frames);
        previous = k;
        byFrame[k] = ours.digests[i];
    }
    // A frame is clean when nothing of its group up to it was damaged: it must arrive exact.
    bool damaged = false;
    for (int k = 0; k < timing.frames; ++k) {
        if ((k % media.frames) % 25 == 0) damaged = false;  // a key frame starts a group
        damaged = damaged || impaired[k];
        if (damaged) continue;
        EXPECT_EQ(byFrame[k], pictures[k % media.frames]) << "clean frame " << k;
        exact += byFrame[k] == pictures[k % media.frames];
    }

    std::printf("relay: %d of %d frames impaired; %zu delivered, %d clean frames exact\n",
                static_cast<int>(std::count(impaired.begin(), impaired.end(), true)), timing.frames, ours.times.size(), exact);
}

// A camera whose RTP clock (45 kHz, as its rtpmap says) runs 200 ppm fast against its NTP clock,
// a sender report every second (each pairing the NTP and RTP times of the next frame), 60 s of
// stream sent faster than real time. Dated from the report nearest before it, every frame is
// within 1 ms of its capture time; dated from the first report alone (Genetec's rule) the last
// frames are about 12 ms off.
TEST(LiveStreamDelivery, CameraWhoseRtpClockDriftsStaysExactToTheReportInterval) {
    const RuvarTest::VmsMedia media = RuvarTest::VmsFixture70(false);
    StreamTiming timing;
    timing.step = kStep / 2;
    timing.frames = 1500;
    timing.paceMs = 0;  // as fast as the client reads
    timing.bye = true;
    for (const std::string family : {"Camera", "Genetec"}) {
        RuvarTest::VmsServer server(
            Config("\"clock_rate\": 45000, \"drift_ppm\": 200, \"sender_report\": {\"ntp\": " + std::to_string(kNtp2021) + ", \"every\": 25}",
                   timing),
            media);
        ASSERT_GT(server.Port(), 0);
        const Delivered run = DecodeHere(family, server.Url());
        ASSERT_EQ(run.times.size(), static_cast<size_t>(timing.frames)) << family;
        long long worst = 0;
        for (int k = 0; k < timing.frames; ++k)
            worst = std::max(worst, std::llabs(run.times[k] - ExpectedTime(family, k)));
        if (family == "Camera") {
            EXPECT_LE(worst, 10000) << "100-ns ticks";
        } else {
            EXPECT_GE(worst, 110000) << "100-ns ticks";
            EXPECT_LE(worst, 130000) << "100-ns ticks";
        }
    }
}

// Camera against GStreamer's RTSP server: with rtponviftimestamp (its clock set to 2021) each frame
// carries its NTP time in the ONVIF replay extension; without it the server's sender reports alone
// map RTP time to NTP time. The server records every time it writes: each frame is at the time
// written for it (to the sender report's precision: its RTP time is whole 90 kHz ticks), and the
// frames are one frame interval apart. `ruvar probe --json` tells which of the two the source sends.
class CameraAgainstGStreamer : public ::testing::TestWithParam<bool> {};

TEST_P(CameraAgainstGStreamer, EveryFrameAtTheCaptureTimeTheServerWrote) {
    const bool onvif = GetParam();
    const std::string record = RuvarTest::TempDir(onvif ? "gst_onvif" : "gst_reports") + "/record.txt";
    RuvarTest::GstServer server(
        std::string("( videotestsrc is-live=true num-buffers=150 ! video/x-raw,width=160,height=120,framerate=25/1 ! "
                    "x264enc tune=zerolatency ! rtph264pay ") +
            (onvif ? "! rtponviftimestamp ntp-offset=3818448000000000000 name=pay0 )" : "name=pay0 )"),
        "--record " + RuvarTest::Quote(record));
    ASSERT_GT(server.Port(), 0);
    auto decoder = Make("Camera");
    std::wstring json = L"{\"RtspGetFrameTimeoutParameter\": \"15000\"}";
    const std::string url = server.Url();
    ASSERT_TRUE(decoder->Initialize(std::wstring(url.begin(), url.end()), -1, json));
    std::vector<std::pair<uint32_t, long long>> frames;  // RTP time and file time of each frame
    while (frames.size() < 60) {
        auto frame = decoder->GetNextFrame();
        ASSERT_EQ(frame->GetDecoderState(), DecoderState::Ok);
        RtspFrameTiming timing{};
        ASSERT_TRUE(decoder->RtspSource()->FrameTiming(
            dynamic_cast<Halvora::RuvarEduzid::DecodedAvFrame&>(*frame).GetPicture()->pts, &timing));
        frames.emplace_back(timing.timestamp, frame->GetFileTimeUtc());
    }
    // The record: "rtp TS NTP" for each frame, "sr NTP RTP" for each sender report. Each frame's
    // time: its extension's, or what the server's reports give its RTP time (they agree to a few
    // microseconds: the one the client heard last before the frame is not told).
    std::map<uint32_t, std::string> written;
    std::vector<std::pair<uint64_t, uint32_t>> reports;
    std::istringstream lines(RuvarTest::ReadFile(record));
    for (std::string kind, a, b; lines >> kind >> a >> b;) {
        if (kind == "sr") reports.emplace_back(std::stoull(a), static_cast<uint32_t>(std::stoul(b)));
        if (kind == "rtp") written.emplace(static_cast<uint32_t>(std::stoul(a)), b);
    }
    ASSERT_TRUE(onvif || !reports.empty());  // with its extension a frame needs no report
    for (size_t i = 0; i < frames.size(); ++i) {
        const auto at = written.find(frames[i].first);
        ASSERT_NE(at, written.end()) << "frame " << i << " RTP time " << frames[i].first;
        long long expected = 0;
        if (onvif) {
            expected = static_cast<long long>(WebStreamDetail::NtpToFileTime(std::stoull(at->second)));
        } else {
            for (const auto& report : reports) {
                const long long time = static_cast<long long>(WebStreamDetail::NtpToFileTime(report.first)) +
                                       static_cast<int32_t>(frames[i].first - report.second) * 1000LL / 9;
                if (expected == 0 || std::llabs(time - frames[i].second) < std::llabs(expected - frames[i].second))
                    expected = time;
            }
        }
        EXPECT_NEAR(frames[i].second, expected, onvif ? 0 : 500) << "frame " << i;
        if (i > 0) {
            EXPECT_NEAR(frames[i].second - frames[i - 1].second, kFrameTicks, 1) << "frame " << i;
        }
    }
    // The tool's probe tells which clock the source sends.
    std::string output;
    ASSERT_EQ(RuvarTest::RunCommand(RuvarTest::Quote(std::string(RUVAR_BINARY_DIR) + "/bin/ruvar") + " probe " +
                                        RuvarTest::Quote(url) + " --json",
                                    &output),
              0);
    Json::Value probe;
    ASSERT_TRUE(Json::Reader().parse(output, probe, false)) << output;
    EXPECT_TRUE(probe["sender_reports"].asBool()) << output;
    EXPECT_EQ(probe["onvif_timestamps"].asBool(), onvif) << output;
}

INSTANTIATE_TEST_SUITE_P(OnvifOrSenderReports, CameraAgainstGStreamer, ::testing::Bool());
