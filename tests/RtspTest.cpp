// RTSP: the decoder against GStreamer's RTSP server (transports, authentication, HEVC), the session
// layer's extensions and upkeep and the decoder's answer to servers that misbehave, against the
// stand-in server, and the parsers of what servers send.
#include "Common/Logger.h"
#include "Rtsp/RtspExtensions.h"
#include "Rtsp/RtspInput.h"
#include "Rtsp/RtspResponse.h"
#include "Rtsp/RtspStreamReader.h"
#include "RuvarEduzid/FfmpegPtr.h"
#include "vms/VmsServer.h"

#include <gtest/gtest.h>

#include <thread>

using namespace RuvarTest;
using namespace Halvora::RuvarEduzid::Rtsp;
using Halvora::Common::LogError;
using Halvora::Common::LogWarning;
using Halvora::Common::ScopedLogCapture;
using Clock = std::chrono::steady_clock;

namespace {

constexpr long long kUnixEpochTicks = 116444736000000000LL;

// The stand-in's pictures: frame k shows picture k % 50.
const std::vector<std::string>& Pictures() {
    static const std::vector<std::string> pictures = FrameMd5(VmsFixture());
    return pictures;
}
std::vector<std::string> FirstPictures(size_t n) {
    std::vector<std::string> out;
    for (size_t k = 0; k < n; ++k) out.push_back(Pictures()[k % Pictures().size()]);
    return out;
}

// The stand-in's --config: 50 frames at 4 ms, an RTCP BYE after the last, and `extra` members. The
// first RTP timestamp is not 0, which FFmpeg's demuxer reads as "not yet set".
std::string Config(const std::string& extra = "") {
    return R"({"frames": 50, "pace_ms": 4, "bye": true, "ts0": 90000, "lifetime": 40)" + (extra.empty() ? "" : ", " + extra) +
           "}";
}

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

}  // namespace

// ---- GStreamer's server, through the tool ---------------------------------------------------------

TEST(RtspGStreamer, EveryPictureArrivesOverEachTransportAndWithEachScheme) {
    const std::string mkv = MakeFixture("rtsp_source.mkv", "-f lavfi -i testsrc2=size=320x240:rate=25 -frames:v 50 "
                                                           "-c:v libx264 -g 25 -bf 0 -pix_fmt yuv420p");
    const auto reference = FrameMd5(mkv);
    struct Row {
        const char* server;     // GStreamer server options
        const char* tool;       // ruvar options
        const char* user;       // credentials in the address
        const char* transport;  // what the session says it uses
    } rows[] = {
        {"", "--transport tcp", "", "transport tcp"},
        {"--protocols udp", "--transport udp", "", "transport udp"},
        {"--protocols udp", "--transport prefer-tcp", "", "transport udp"},  // falls back
        {"--auth basic --user cam --password 's3cr%t@x'", "", "cam:s3cr%25t%40x", "transport tcp"},
        {"--auth digest --user cam --password 'pa55:word'", "", "cam:pa55%3Aword", "transport tcp"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.server) + " " + row.tool);
        GstServer server(GstFileLaunch(mkv), row.server);
        ASSERT_GT(server.Port(), 0);
        const ToolDecode run = RuvarDecode(std::string(row.tool) + " --log-level 2 " + Quote(server.Url(row.user)));
        EXPECT_EQ(run.code, 0) << run.output;
        EXPECT_EQ(run.digests, reference);
        EXPECT_EQ(run.endState, "EndOfArchive");
        EXPECT_NE(run.output.find(row.transport), std::string::npos) << run.output;
        for (const char* secret : {"s3cr", "pa55"}) EXPECT_EQ(run.output.find(secret), std::string::npos) << run.output;
        if (*row.user) {
            const ToolDecode wrong = RuvarDecode("--log-level 0 " + Quote(server.Url("cam:wrong-s3cr%25t")));
            EXPECT_EQ(wrong.code, 1);
            EXPECT_NE(wrong.output.find("401"), std::string::npos) << wrong.output;
            EXPECT_EQ(wrong.output.find("wrong-"), std::string::npos) << wrong.output;
        }
    }
    GstServer hevc("( videotestsrc num-buffers=30 ! video/x-raw,width=320,height=240,framerate=25/1 ! "
                   "x265enc tune=zerolatency ! rtph265pay name=pay0 pt=96 )");
    const ToolDecode run = RuvarDecode(Quote(hevc.Url()));
    EXPECT_EQ(run.digests.size(), 30u) << run.output;
    EXPECT_EQ(run.endState, "EndOfArchive");
}

// ---- the session layer's extensions --------------------------------------------------------------

// Keep-alives within the session time-out, receiver reports (FFmpeg sends one per some megabyte of
// media: a big stream), and TEARDOWN when the input goes.
TEST(RtspExtensions, TheSessionIsKeptAliveAndTornDown) {
    const VmsMedia big{MakeFixture("vms_640x480.h264", "-f lavfi -i testsrc2=size=640x480:rate=25 -frames:v 25 -c:v libx264 "
                                                       "-g 25 -bf 0 -qp 8 -x264-params aud=1:repeat-headers=1 -f h264"),
                       "", 25};
    // The stand-in ends a session that goes session_timeout seconds without a request.
    VmsServer server(R"({"frames": 5000, "pace_ms": 20, "ts0": 90000, "session_timeout": 3, "expire": true, "lifetime": 90,
                         "sender_report": {"ntp": 16136033996045369344, "every": 5}})",
                     big);
    const auto receiverReport = [&] { return CountOf(server.Session()["rtcp_in"].toStyledString(), "201") > 0; };
    {
        FFMpegDecoder decoder;
        auto params = Timeouts(5000, 10000);
        ASSERT_TRUE(decoder.Initialize(InfoFor(server.UrlText()), &params));
        // Read until the server has answered two keep-alives and gone on streaming (its reader is free
        // for the TEARDOWN then) and has a receiver report.
        const auto answeredTwice = [&] {
            const Json::Value session = server.Session();
            return session["replies"].size() >= 2 && session["frames_sent"].asInt() >= session["replies"][1].asInt() + 2;
        };
        const auto start = Clock::now();
        while ((!answeredTwice() || !receiverReport()) && Since(start) < 60)
            ASSERT_EQ(decoder.GetNextPacket()->GetDemuxerState(), Ok);
        EXPECT_GE(decoder.RtspSource()->Session().KeepAlivesSent(), 2u);
    }
    EXPECT_TRUE(receiverReport()) << server.Stats();
    EXPECT_FALSE(server.Session()["expired"].asBool());
    EXPECT_TRUE(WaitUntil([&] { return CountOf(server.Stats(), "TEARDOWN") > 0; }, 10)) << server.Stats();
}

// ---- the decoder against servers that misbehave -----------------------------------------------------

// One row per kind of trouble: the server and its behaviour, the decoder's time-outs, what the test
// does meanwhile, and what the decoder must give. A lost camera (stalled past the watchdog, closed
// or reset without a goodbye, killed) ends in Error; a stream its server ends (an RTCP BYE, a
// TEARDOWN of the server's own) in EndOfArchive.
TEST(RtspFaults, TheDecoderEndsCleanlyWhateverTheServerDoes) {
    enum Act { None, InterruptWhenStalled, InterruptInSetup, KillInPlay, KillAfterTenFrames };
    struct Row {
        const char* name;
        std::string config;  // the stand-in's; a launch line for GStreamer's server when it starts with "("
        int connectMs, frameMs;
        Act act;
        bool opens;
        DecoderState end;
        size_t minFrames, maxFrames;  // pictures, which are the stream's first ones
        const char* log;              // a text the warnings and errors hold ("" none)
        bool quiet;                   // no watchdog warning at all
    } rows[] = {
        {"ends with a goodbye", Config(), 5000, 5000, None, true, EndOfArchive, 50, 50, "", true},
        {"ends with its own TEARDOWN", Config(R"("teardown_after": 30)"),
         5000, 5000, None, true, EndOfArchive, 30, 30, "the server ended the stream", true},
        {"stalls", Config(R"("stall_after": 40)"),
         5000, 1000, None, true, Error, 1, 40, "the stream was lost: no data for", false},
        {"stalls, interrupted", Config(R"("stall_after": 40)"),
         5000, 30000, InterruptWhenStalled, true, NotAvailable, 1, 40, "", false},
        {"closes mid-stream", Config(R"("close_after": 30)"),
         5000, 5000, None, true, Error, 1, 30, "closed the connection without ending the stream", true},
        {"resets mid-stream", Config(R"("reset_after": 30)"),
         5000, 5000, None, true, Error, 1, 30, "connection error: Connection reset by peer", true},
        {"GStreamer's stream ends", GstFileLaunch(MakeFixture("rtsp_faults.mkv", "-f lavfi -i testsrc2=size=160x120:rate=25 "
                                                                                "-frames:v 40 -c:v libx264 -g 25 -bf 0")),
         5000, 5000, None, true, EndOfArchive, 40, 40, "", true},
        {"GStreamer killed", GstLiveLaunch(), 5000, 5000, KillAfterTenFrames, true, Error, 10, 1000, "the stream was lost", true},
        {"short RTP packets", Config(R"("malformed": "short-rtp", "pace_ms": 0)"),
         5000, 5000, None, true, EndOfArchive, 50, 50, "", true},
        {"refused payloads", Config(R"("malformed": "refused-payloads", "sender_report": {"ntp": 1, "every": 2})"),
         5000, 5000, None, true, EndOfArchive, 50, 50, "", true},
        {"slow replies", Config(R"("reply_delay_ms": 500)"),
         5000, 2000, None, true, EndOfArchive, 50, 50, "", true},
        {"slow media", Config(R"("pace_ms": 120)"),
         5000, 2000, None, true, EndOfArchive, 50, 50, "", true},
        {"DESCRIBE past the time-out", Config(R"("reply_delay_ms": 25000, "delay_method": "DESCRIBE")"),
         1000, 1000, None, false, Error, 0, 0, "Err: Immediate exit requested", false},
        {"SETUP held, interrupted", Config(R"("reply_delay_ms": 25000, "delay_method": "SETUP")"),
         30000, 30000, InterruptInSetup, false, Error, 0, 0, "Err: Immediate exit requested", false},
        {"PLAY held, server killed", Config(R"("reply_delay_ms": 25000, "delay_method": "PLAY")"),
         30000, 30000, KillInPlay, false, Error, 0, 0, "Err: End of file", false},
        {"bad status line", Config(R"("malformed": "status")"),
         1500, 1500, None, false, Error, 0, 0, "FFMpegDecoder::Initialize error", false},
        {"huge head", Config(R"("malformed": "huge-head")"),
         1500, 1500, None, false, Error, 0, 0, "FFMpegDecoder::Initialize error", false},
        {"no reply", Config(R"("malformed": "no-reply")"),
         1500, 1500, None, false, Error, 0, 0, "FFMpegDecoder::Initialize error", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const bool gst = row.config[0] == '(';
        std::unique_ptr<VmsServer> stand;
        std::unique_ptr<GstServer> real;
        if (gst) real = std::make_unique<GstServer>(row.config);
        else stand = std::make_unique<VmsServer>(row.config);
        ServerProcess& server = gst ? static_cast<ServerProcess&>(*real) : *stand;
        ASSERT_GT(server.Port(), 0);
        ScopedLogCapture capture(0);
        FFMpegDecoder decoder;
        std::thread actor([&] {
            const auto inMethod = [&](const char* method) {
                return WaitUntil([&] { return CountOf(stand->Stats(), std::string("\"") + method + "\"") > 0; });
            };
            if (row.act == InterruptWhenStalled && stand->WaitFor("stalled")) decoder.Interrupt();
            if (row.act == InterruptInSetup && inMethod("SETUP")) decoder.Interrupt();
            if (row.act == KillInPlay && inMethod("PLAY")) server.Kill();
        });
        const auto start = Clock::now();
        auto params = Timeouts(row.connectMs, row.frameMs);
        const std::string url = gst ? real->Url() : stand->UrlText();
        const bool opened = decoder.Initialize(InfoFor(url), &params);
        Decoded decoded;
        if (opened && row.act == KillAfterTenFrames) {
            decoded = DecodeAll(decoder, 9);
            server.Kill();
            const Decoded rest = DecodeAll(decoder);
            decoded.digests.insert(decoded.digests.end(), rest.digests.begin(), rest.digests.end());
            decoded.endState = rest.endState;
        } else if (opened) {
            decoded = DecodeAll(decoder);
        }
        const double seconds = Since(start);
        actor.join();
        EXPECT_EQ(opened, row.opens);
        if (opened) {
            EXPECT_EQ(decoded.endState, row.end);
            EXPECT_GE(decoded.digests.size(), row.minFrames);
            EXPECT_LE(decoded.digests.size(), row.maxFrames);
            if (!gst) { EXPECT_EQ(decoded.digests, FirstPictures(decoded.digests.size())); }
        } else {
            EXPECT_EQ(decoder.GetNextFrame()->GetDecoderState(), Error);  // nothing open
        }
        const std::string log = LogText(capture);
        EXPECT_NE(log.find(row.log), std::string::npos) << log;
        if (row.quiet) { EXPECT_EQ(log.find("network timeout"), std::string::npos) << log; }
        EXPECT_LT(seconds, 20.0);  // far below any hang
        std::printf("%s: %s after %.2f s, %zu pictures\n", row.name, opened ? "ended" : "failed", seconds,
                    decoded.digests.size());
    }
}

// A server that dies (SIGKILL, no goodbye) while a decoder reads it, is down for a while and comes
// back on the same port.
TEST(RtspFaults, AKilledServerLosesTheStreamAndItsRestartServesNewDecoders) {
    auto server = std::make_unique<VmsServer>(Config(R"("frames": 1000, "pace_ms": 40, "lifetime": 60)"));
    const int port = server->Port();
    const std::string url = server->UrlText();
    ScopedLogCapture capture(0);
    auto params = Timeouts(2000, 1000);
    FFMpegDecoder decoder;
    ASSERT_TRUE(decoder.Initialize(InfoFor(url), &params));
    EXPECT_EQ(DecodeAll(decoder, 9).digests, FirstPictures(10));
    ASSERT_TRUE(server->WaitFor("frames_sent", 20));
    server->Kill();
    EXPECT_EQ(DecodeAll(decoder).endState, Error);  // a lost camera, not the end of its stream
    EXPECT_EQ(decoder.GetNextFrame()->GetDecoderState(), Error);
    // Down: refused at once, said so; back on the same port: a new decoder and the one whose
    // opening failed meanwhile both get the whole stream.
    FFMpegDecoder whileDown;
    const auto start = Clock::now();
    EXPECT_FALSE(whileDown.Initialize(InfoFor(url), &params));
    EXPECT_LT(Since(start), 2.0);
    EXPECT_TRUE(capture.Sink().Contains("RTSP: cannot connect to " + url + ": Connection refused", LogWarning));
    server = std::make_unique<VmsServer>(Config(R"("port": )" + std::to_string(port)));
    ASSERT_EQ(server->Port(), port);
    FFMpegDecoder fresh;
    ASSERT_TRUE(fresh.Initialize(InfoFor(url), &params));
    ASSERT_TRUE(whileDown.Initialize(InfoFor(url), &params));
    EXPECT_EQ(DecodeAll(fresh).digests, FirstPictures(50));
    EXPECT_EQ(DecodeAll(whileDown).digests, FirstPictures(50));
}

TEST(RtspFaults, CredentialsAreAnsweredByEachSchemeAndNeverLogged) {
    for (const char* scheme : {"basic", "digest", "digest-qop"}) {
        SCOPED_TRACE(scheme);
        VmsServer server(Config(std::string(R"("auth": {"scheme": ")") + scheme +
                                R"(", "user": "user", "password": "p@ss:w0rd", "options": true}, "get_parameter": {})"));
        ScopedLogCapture capture(0);
        FFMpegDecoder right, wrong;
        ASSERT_TRUE(right.InitializeRtsp(InfoFor(server.UrlText("user:p%40ss%3Aw0rd@")), nullptr));
        EXPECT_EQ(DecodeAll(right).digests, FirstPictures(50));
        EXPECT_NE(CountOf(server.Stats(), "GET_PARAMETER OK"), 0) << server.Stats();
        EXPECT_FALSE(wrong.Initialize(InfoFor(server.UrlText("user:p%40ss-wrong@")), nullptr));
        EXPECT_TRUE(capture.Sink().Contains("401 Unauthorized", LogError));
        for (const auto& m : capture.Sink().Messages()) EXPECT_EQ(m.find("p@ss"), std::string::npos) << m;
        for (const auto& m : capture.Sink().Messages()) EXPECT_EQ(m.find("p%40ss"), std::string::npos) << m;
    }
}

// InitializeRtsp dates the frame sent right after the GET_PARAMETER reply at its range start, read
// as UTC since 1970; every other frame keeps its 40 ms per frame from it. Without a reply it fails.
TEST(RtspFaults, InitializeRtspTakesTheRangeStartOrFails) {
    VmsServer server(Config(R"("get_parameter": {"headers": [["Range", "npt=12.5-"]]})"));
    FFMpegDecoder decoder;
    ASSERT_TRUE(decoder.InitializeRtsp(InfoFor(server.UrlText()), nullptr));
    const Decoded decoded = DecodeAll(decoder);
    EXPECT_EQ(decoded.digests, FirstPictures(50));
    const long long next = server.Session()["replies"][0].asInt();
    for (size_t i = 0; i < decoded.times.size(); ++i)
        EXPECT_EQ(decoded.times[i], kUnixEpochTicks + 125000000 + (static_cast<long long>(i) - next) * 400000) << i;
    // GetVideoFileInfo probes through the layer and tears the session down.
    EXPECT_EQ(decoder.GetVideoFileInfo(server.Url()).infos.at(0)->width, 160);
    ASSERT_TRUE(WaitUntil([&] { return CountOf(server.Stats(), "TEARDOWN") >= 1; }, 10));

    VmsServer silent(Config(R"("get_parameter": {"silent": true})"));
    ScopedLogCapture capture(0);
    FFMpegDecoder failing;
    auto params = Timeouts(3000, 500);
    EXPECT_FALSE(failing.InitializeRtsp(InfoFor(silent.UrlText()), &params));
    EXPECT_TRUE(capture.Sink().Contains("FFMpegDecoder::InitializeRtsp error: rtsp_read_get_parameter", LogError));
}

// ---- what servers send, parsed -------------------------------------------------------------------------

TEST(RtspParsers, RangeStarts) {
    const std::pair<const char*, int64_t> ranges[] = {{"npt=12.5-", 12500000},           {"npt=1:02:03.25-1:10:00", 3723250000LL},
                                                      {"clock=20210101T000000Z-", 1609459200000000LL},
                                                      {"clock=19700101T000001.5Z-", 1500000}, {"npt=now-", -7},
                                                      {"smpte=10:07:00-", -7},                {"npt=99999999999999999999-", -7}};
    for (const auto& [text, us] : ranges) {
        int64_t value = -7;
        EXPECT_EQ(RtspResponse::ParseRangeStart(text, &value), us != -7) << text;
        EXPECT_EQ(value, us) << text;
    }
}

TEST(RtspParsers, TheStreamReaderSplitsWhateverTheChunkingAndRefusesWhatIsTooBig) {
    const std::string frame = std::string("$\x01\x00\x03", 4) + "abc";
    const std::string all = frame + "RTSP/1.0 200 OK\r\nCSeq: 7\r\nContent-Length: 5\r\n\r\nhello" +
                            "ANNOUNCE rtsp://h/ RTSP/1.0\r\nCSeq: 1\r\n\r\n" + frame;
    for (size_t chunk = 1; chunk <= all.size(); ++chunk) {
        RtspStreamReader reader;
        std::vector<std::string> seen;
        for (size_t off = 0; off < all.size(); off += chunk) {
            reader.Append(reinterpret_cast<const uint8_t*>(all.data()) + off, std::min(chunk, all.size() - off));
            for (RtspStreamReader::Item item; reader.Next(item);) {
                ASSERT_NE(item.type, RtspStreamReader::ItemType::Error) << item.error;
                if (item.type == RtspStreamReader::ItemType::Interleaved)
                    seen.push_back("frame" + std::to_string(item.channel) +
                                   std::string(reinterpret_cast<const char*>(item.data), item.size));
                else
                    seen.push_back(item.message.isRequest ? "request " + item.message.method : "reply " + item.message.body);
            }
        }
        ASSERT_EQ(seen, (std::vector<std::string>{"frame1abc", "reply hello", "request ANNOUNCE", "frame1abc"})) << chunk;
    }
    for (const std::string& bad : {"RTSP/1.0 200 OK\r\nX: " + std::string(20000, 'a'),
                                   std::string("RTSP/1.0 200 OK\r\nCSeq: 1\r\nContent-Length: 999999999\r\n\r\n"),
                                   std::string(70000, '\x7f')}) {
        RtspStreamReader reader;
        reader.Append(reinterpret_cast<const uint8_t*>(bad.data()), bad.size());
        RtspStreamReader::Item item;
        ASSERT_TRUE(reader.Next(item));
        EXPECT_EQ(item.type, RtspStreamReader::ItemType::Error);
    }
}
