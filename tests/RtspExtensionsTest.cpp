// The RTSP extensions and the fault handling of the RTSP layer, against the scriptable server of
// tests/rtsp (it stands in for the video-management systems).

#include "Common/Logger.h"
#include "Rtsp/RtspExtensions.h"
#include "Rtsp/RtpPacketParser.h"
#include "Rtsp/RtspInput.h"
#include "RuvarEduzid/FfmpegPtr.h"
#include "support/RtspTestServer.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <set>
#include <sstream>
#include <thread>

using namespace Halvora::RuvarEduzid;
using Halvora::RuvarEduzid::Rtsp::RtspInput;
using Halvora::RuvarEduzid::Rtsp::RtspSessionOptions;
using Halvora::RuvarEduzid::Rtsp::RtspTransportMode;
using RuvarTest::RtspTestServer;
using Clock = std::chrono::steady_clock;

namespace {

struct Watchdog {
    std::atomic<bool> interrupted{false};
    std::atomic<int64_t> deadlineMs{0};  // steady clock ms; 0 = none
    static int64_t NowMs() {
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
    }
    void ExpireIn(int ms) { deadlineMs = NowMs() + ms; }
    static int Callback(void* opaque) {
        auto* self = static_cast<Watchdog*>(opaque);
        const int64_t deadline = self->deadlineMs.load();
        return self->interrupted.load() || (deadline != 0 && NowMs() > deadline);
    }
};

struct Input {
    std::unique_ptr<RtspInput> input;
    AVFormatContext* ctx = nullptr;
    int rc = 0;
    int Open(const std::string& url, const RtspSessionOptions& options) {
        input = RtspInput::Open(nullptr, url, options, &rc);
        ctx = input ? input->Context() : nullptr;
        return rc;
    }
};

RtspSessionOptions Options(Watchdog* watchdog = nullptr, int openTimeoutMs = 5000, int readTimeoutMs = 10000) {
    RtspSessionOptions options;
    options.openTimeoutMs = openTimeoutMs;
    options.readTimeoutMs = readTimeoutMs;
    options.requestTimeoutMs = openTimeoutMs;
    if (watchdog) options.interrupt = AVIOInterruptCB{&Watchdog::Callback, watchdog};
    return options;
}

void OpenAndProbe(Input& input, const std::string& url, const RtspSessionOptions& options) {
    input.Open(url, options);
    if (input.rc >= 0) input.rc = avformat_find_stream_info(input.ctx, nullptr);
}

// Reads video packets; returns the count read before an error or `max`.
int ReadPackets(AVFormatContext* ctx, int max, std::vector<AVPacketPtr>* keep = nullptr, int* endCode = nullptr) {
    int count = 0;
    for (; count < max; ++count) {
        AVPacketPtr pkt(av_packet_alloc());
        int rc = RtspInput::Of(ctx)->ReadFrame(pkt.get());
        if (rc < 0) {
            if (endCode) *endCode = rc;
            break;
        }
        if (keep) keep->push_back(std::move(pkt));
    }
    return count;
}

std::string Server(RtspTestServer& server, const std::string& args, double maxSeconds = 30) {
    EXPECT_TRUE(server.StartScripted(RtspTestServer::H264Fixture(), args, maxSeconds));
    return server.Url("/stream");
}

// Every packet read carries its time, the stream's first one included.
void ExpectAllTimed(const std::vector<AVPacketPtr>& packets) {
    ASSERT_FALSE(packets.empty());
    for (size_t i = 0; i < packets.size(); ++i) {
        EXPECT_NE(packets[i]->pts, AV_NOPTS_VALUE) << "packet " << i;
        EXPECT_NE(packets[i]->dts, AV_NOPTS_VALUE) << "packet " << i;
    }
}

// The RTP timestamps of the packets of one input in the order they arrive at the session, seen
// through the packet callback.
thread_local std::vector<uint32_t>* g_arrivals = nullptr;
uint64_t RecordArrival(const uint8_t* packet, int length, uint64_t*) {
    if (g_arrivals && length >= 12) g_arrivals->push_back(Halvora::RuvarEduzid::Rtsp::RtpPacketParser::ReadBe32(packet + 4));
    return 0;
}

// The frame the test server sent first after its GET_PARAMETER reply ("GP-REPLY next N").
int FrameSentAfterReply(const std::string& log) {
    const size_t at = log.find("GP-REPLY next ");
    return at == std::string::npos ? -1 : std::atoi(log.c_str() + at + 14);
}

// Every packet is timed from the range start by its RTP distance to the origin.
void ExpectTimedFromOrigin(AVFormatContext* ctx, const std::vector<AVPacketPtr>& packets, int64_t rangeStart,
                           uint32_t originTimestamp) {
    for (size_t i = 0; i < packets.size(); ++i) {
        RtspFrameTiming timing{};
        ASSERT_EQ(rtsp_get_frame_timing(ctx, packets[i]->pts, &timing), 0) << "packet " << i;
        EXPECT_EQ(packets[i]->pts, rangeStart + static_cast<int32_t>(timing.timestamp - originTimestamp)) << "packet " << i;
    }
}

int CountOf(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

}  // namespace

// ---- GET_PARAMETER and the range start --------------------------------------------------------

TEST(RtspGetParameter, ReplyRangeStartDatesTheFirstPacketSentAfterTheReplyAndNothingIsLost) {
    RtspTestServer server;
    const std::string url = Server(server, "--gp-range npt=12.5- --gp-body 'SeeTecTimestamp: 1600000000000\\r\\nLastRTPTimestamp: 90000\\r\\n'");
    Input input;
    std::vector<uint32_t> arrivals;
    g_arrivals = &arrivals;
    OpenAndProbe(input, url, Options());
    ASSERT_GE(input.rc, 0) << AvErrorText(input.rc);
    // Bound after the probe: the packets the probe read reach the callback first, in order.
    ASSERT_EQ(rtsp_set_packet_callback(input.ctx, &RecordArrival, nullptr), 0);
    ASSERT_FALSE(arrivals.empty());
    EXPECT_EQ(arrivals.front(), 90000u);  // the stream's first RTP time
    int64_t rangeStart = -1;
    const char* reply = rtsp_read_get_parameter(input.ctx, &rangeStart);
    ASSERT_NE(reply, nullptr);
    const size_t arrivedBeforeReply = arrivals.size();
    const std::string text = reply;
    EXPECT_EQ(text.rfind("RTSP/1.0 200 OK\r\n", 0), 0u) << text;
    EXPECT_NE(text.find("Range: npt=12.5-\r\n"), std::string::npos);
    EXPECT_NE(text.find("SeeTecTimestamp: 1600000000000\r\nLastRTPTimestamp: 90000\r\n"), std::string::npos);
    EXPECT_EQ(rangeStart, 12500000);

    ASSERT_EQ(set_rtpctx_range_start(input.ctx, rangeStart, 1), 0);
    ASSERT_EQ(flush_packet_queue(input.ctx), 0);
    std::vector<AVPacketPtr> packets;
    ASSERT_EQ(ReadPackets(input.ctx, 8, &packets), 8);
    g_arrivals = nullptr;
    ExpectAllTimed(packets);
    EXPECT_EQ(input.ctx->streams[0]->time_base.den, 90000);
    // Nothing queued before the flush was dropped: the first packet is the stream's first frame.
    RtspFrameTiming first{};
    ASSERT_EQ(rtsp_get_frame_timing(input.ctx, packets[0]->pts, &first), 0);
    EXPECT_EQ(first.timestamp, 90000u);
    for (size_t i = 1; i < packets.size(); ++i) EXPECT_EQ(packets[i]->pts - packets[i - 1]->pts, 3600);
    // The first packet to arrive after the reply is the one the server sent after it, and it is
    // at the range start; the earlier ones are timed backwards from it.
    ASSERT_GT(arrivals.size(), arrivedBeforeReply);
    const uint32_t origin = arrivals[arrivedBeforeReply];
    const int next = FrameSentAfterReply(server.LogText());
    ASSERT_GE(next, 0) << server.LogText();
    EXPECT_EQ(origin, 90000u + 3600u * static_cast<uint32_t>(next));
    ExpectTimedFromOrigin(input.ctx, packets, 12500000LL * 90000 / 1000000, origin);
}

TEST(RtspGetParameter, ClockRangeIsUtcMicrosecondsAndModeZeroTakesStreamUnits) {
    RtspTestServer server;
    const std::string url = Server(server, "--gp-range 'clock=20210101T000000.25Z-'");
    Input input;
    std::vector<uint32_t> arrivals;
    g_arrivals = &arrivals;
    input.Open(url, Options());
    ASSERT_GE(input.rc, 0) << AvErrorText(input.rc);
    ASSERT_EQ(rtsp_set_packet_callback(input.ctx, &RecordArrival, nullptr), 0);
    ASSERT_GE(avformat_find_stream_info(input.ctx, nullptr), 0);
    int64_t rangeStart = 0;
    ASSERT_NE(rtsp_read_get_parameter(input.ctx, &rangeStart), nullptr);
    EXPECT_EQ(rangeStart, 1609459200250000LL);

    // Mode 0: the value is already in stream units; without a flush the stream's first packet
    // stays the origin, so times keep their distance from it.
    std::vector<AVPacketPtr> before;
    ASSERT_EQ(ReadPackets(input.ctx, 1, &before), 1);
    EXPECT_EQ(before[0]->pts, 0);
    ASSERT_EQ(set_rtpctx_range_start(input.ctx, 160000000000LL, 0), 0);
    std::vector<AVPacketPtr> after;
    ASSERT_EQ(ReadPackets(input.ctx, 1, &after), 1);
    EXPECT_EQ(after[0]->pts, 160000000000LL + 3600);
    // After a flush the first packet to arrive is the origin.
    const size_t arrivedBeforeFlush = arrivals.size();
    ASSERT_EQ(flush_packet_queue(input.ctx), 0);
    after.clear();
    ASSERT_EQ(ReadPackets(input.ctx, 4, &after), 4);
    g_arrivals = nullptr;
    ExpectAllTimed(after);
    ASSERT_GT(arrivals.size(), arrivedBeforeFlush);
    ExpectTimedFromOrigin(input.ctx, after, 160000000000LL, arrivals[arrivedBeforeFlush]);
    EXPECT_EQ(after[1]->pts - after[0]->pts, 3600);
    EXPECT_EQ(set_rtpctx_range_start(input.ctx, 1, 7), AVERROR(EINVAL));
}

TEST(RtspGetParameter, NoReplyGivesNullWithinTheTimeOutAndALateReplyIsFound) {
    RtspTestServer server;
    const std::string url = Server(server, "--gp-reply-from 3");
    Input input;
    OpenAndProbe(input, url, Options(nullptr, 800));
    ASSERT_GE(input.rc, 0) << AvErrorText(input.rc);
    const auto start = Clock::now();
    EXPECT_EQ(rtsp_read_get_parameter(input.ctx, nullptr), nullptr);
    EXPECT_EQ(rtsp_read_get_parameter(input.ctx, nullptr), nullptr);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    int64_t rangeStart = -1;
    const char* reply = rtsp_read_get_parameter(input.ctx, &rangeStart);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(rangeStart, 0);  // no Range header
    // Packets that arrived meanwhile were queued, not lost.
    EXPECT_EQ(ReadPackets(input.ctx, 20), 20);
}

TEST(RtspGetParameter, FlushKeepsQueuedPackets) {
    RtspTestServer server;
    const std::string url = Server(server, "--fps-pace 0 --frames 50 --bye 0");
    Input input;
    OpenAndProbe(input, url, Options(nullptr, 2000, 1500));
    ASSERT_GE(input.rc, 0) << AvErrorText(input.rc);
    ASSERT_TRUE(server.WaitForLog("END", 5000));
    // All 50 frames are sent; the GET_PARAMETER exchange queues what is still on the connection,
    // and the flush keeps it: every frame is read, in order, with its own time.
    ASSERT_NE(rtsp_read_get_parameter(input.ctx, nullptr), nullptr);
    ASSERT_EQ(flush_packet_queue(input.ctx), 0);
    std::vector<AVPacketPtr> packets;
    int endCode = 0;
    EXPECT_EQ(ReadPackets(input.ctx, 100, &packets, &endCode), 50);
    EXPECT_EQ(endCode, AVERROR(ETIMEDOUT));
    for (size_t i = 0; i < packets.size(); ++i) EXPECT_EQ(packets[i]->pts, static_cast<int64_t>(i) * 3600) << i;
}

TEST(RtspGetParameter, FunctionsRefuseContextsTheLayerDidNotOpen) {
    AVFormatContext* other = avformat_alloc_context();
    int64_t value = 5;
    EXPECT_EQ(rtsp_read_get_parameter(other, &value), nullptr);
    EXPECT_EQ(value, 5);
    EXPECT_LT(set_rtpctx_range_start(other, 1, 1), 0);
    EXPECT_LT(flush_packet_queue(other), 0);
    EXPECT_LT(rtsp_set_packet_callback(other, nullptr, nullptr), 0);
    EXPECT_EQ(rtsp_get_rtp_demux_context(other, 0), nullptr);
    RtspFrameTiming timing{};
    EXPECT_LT(rtsp_get_frame_timing(other, 0, &timing), 0);
    EXPECT_EQ(rtsp_stream_count(other), 0);
    EXPECT_EQ(rtsp_read_get_parameter(nullptr, &value), nullptr);
    avformat_free_context(other);
}

// ---- packet callback and RTP timing -----------------------------------------------------------

namespace {
struct CallbackRecord {
    std::atomic<int> packets{0};
    std::set<uint32_t> ssrcs;
    bool allWhole = true;
};
thread_local CallbackRecord* g_record = nullptr;

// Reads the time of a header extension with profile 0x4000 and tag 0x4001 at a fixed place.
uint64_t ExtensionCallback(const uint8_t* packet, int length, uint64_t* destination) {
    if (g_record) {
        g_record->packets++;
        if (length < 12 || (packet[0] >> 6) != 2) g_record->allWhole = false;
        g_record->ssrcs.insert((uint32_t(packet[8]) << 24) | (uint32_t(packet[9]) << 16) | (uint32_t(packet[10]) << 8) | packet[11]);
    }
    if (length >= 32 && packet[12] == 0x40 && packet[13] == 0x00 && packet[20] == 0x40 && packet[21] == 0x01) {
        uint64_t value = 0;
        for (int i = 0; i < 8; ++i) value = (value << 8) | packet[24 + i];
        *destination = value;
    }
    return 0;
}
}  // namespace

TEST(RtspPacketCallback, SeesEveryRtpPacketWholeAndTheTimingStateFollowsPacketsAndSenderReports) {
    RtspTestServer server;
    const std::string url = Server(server, "--ext-time 637450560000000000 --sr-ntp 3900000000.5 --sr-every 5 --rtp-ts-start 4294960000");
    Input input;
    CallbackRecord record;
    g_record = &record;
    uint64_t extensionTime = 0;
    input.Open(url, Options());
    ASSERT_GE(input.rc, 0) << AvErrorText(input.rc);
    ASSERT_EQ(rtsp_set_packet_callback(input.ctx, &ExtensionCallback, &extensionTime), 0);
    ASSERT_GE(avformat_find_stream_info(input.ctx, nullptr), 0);
    ASSERT_EQ(rtsp_stream_count(input.ctx), 1);
    RTPDemuxContext* timing = rtsp_get_rtp_demux_context(input.ctx, 0);
    ASSERT_NE(timing, nullptr);
    EXPECT_EQ(rtsp_get_rtp_demux_context(input.ctx, 1), nullptr);
    ASSERT_EQ(ReadPackets(input.ctx, 12), 12);

    // The server logs every frame and sender report it sent; the state matches the latest.
    const std::string log = server.LogText();
    std::istringstream in(log);
    std::string line;
    uint64_t lastNtp = 0;
    uint32_t lastSrTs = 0;
    while (std::getline(in, line)) {
        unsigned long long a, b, c;
        if (std::sscanf(line.c_str(), "SR %llu %llu %llu", &a, &b, &c) == 3 && a * 3600 <= uint64_t(timing->timestamp - 4294960000u)) {
            lastNtp = b;
            lastSrTs = static_cast<uint32_t>(c);
        }
    }
    EXPECT_EQ(timing->last_rtcp_ntp_time, lastNtp);
    EXPECT_EQ(timing->last_rtcp_timestamp, lastSrTs);
    EXPECT_GE(timing->sender_reports, 1u);
    EXPECT_EQ((timing->timestamp - 4294960000u) % 3600, 0u);  // wraps past 2^32
    EXPECT_EQ(extensionTime, 637450560000000000ULL + (timing->timestamp - 4294960000u) / 3600 * 400000);
    EXPECT_EQ(static_cast<uint64_t>(record.packets.load()), timing->rtp_packets);
    EXPECT_TRUE(record.allWhole);
    EXPECT_EQ(record.ssrcs.size(), 1u);
    // The first sender report (NTP 3900000000.5 s, sent with the first frame) dates the stream.
    EXPECT_EQ(input.ctx->start_time_realtime, (3900000000LL - 2208988800LL) * 1000000 + 500000);
    g_record = nullptr;
}

TEST(RtspPacketCallback, TwoInputsInOneProcessNeverSeeEachOthersPackets) {
    RtspTestServer server;
    const std::string url = Server(server, "--ext-time 1000");
    Input a, b;
    uint64_t destA = 0, destB = 0;
    CallbackRecord recA, recB;
    a.Open(url, Options());
    b.Open(url, Options());
    ASSERT_GE(a.rc, 0);
    ASSERT_GE(b.rc, 0);
    ASSERT_EQ(rtsp_set_packet_callback(a.ctx, &ExtensionCallback, &destA), 0);
    ASSERT_EQ(rtsp_set_packet_callback(b.ctx, &ExtensionCallback, &destB), 0);
    // Read alternately; the record in use names the input being read.
    for (int i = 0; i < 20; ++i) {
        g_record = &recA;
        ASSERT_EQ(ReadPackets(a.ctx, 1), 1);
        g_record = &recB;
        ASSERT_EQ(ReadPackets(b.ctx, 1), 1);
    }
    g_record = nullptr;
    ASSERT_EQ(recA.ssrcs.size(), 1u);
    ASSERT_EQ(recB.ssrcs.size(), 1u);
    EXPECT_NE(*recA.ssrcs.begin(), *recB.ssrcs.begin());
    EXPECT_EQ(*recA.ssrcs.begin(), rtsp_get_rtp_demux_context(a.ctx, 0)->ssrc);
    EXPECT_EQ(*recB.ssrcs.begin(), rtsp_get_rtp_demux_context(b.ctx, 0)->ssrc);
    EXPECT_NE(destA, 0u);
    EXPECT_NE(destB, 0u);
}

// ---- session upkeep ----------------------------------------------------------------------------

TEST(RtspSessionUpkeep, KeepAlivesWithinTheSessionTimeOutReceiverReportsAndTeardownAtClose) {
    RtspTestServer server;
    ASSERT_TRUE(server.StartScripted(RtspTestServer::BigH264Fixture(),
                                     "--loop 1 --session-timeout 2 --sr-ntp 3900000000 --sr-every 5"));
    const std::string url = server.Url("/stream");
    {
        Input input;
        OpenAndProbe(input, url, Options());
        ASSERT_GE(input.rc, 0) << AvErrorText(input.rc);
        const auto until = Clock::now() + std::chrono::milliseconds(2600);
        while (Clock::now() < until) ASSERT_EQ(ReadPackets(input.ctx, 1), 1);
        EXPECT_GE(RtspInput::Of(input.ctx)->Session().KeepAlivesSent(), 2u);
        EXPECT_GE(RtspInput::Of(input.ctx)->Session().RtcpPacketsSent(), 1u);
    }
    ASSERT_TRUE(server.WaitForLog("TEARDOWN", 3000));
    const std::string log = server.LogText();
    EXPECT_GE(CountOf(log, "REQ GET_PARAMETER"), 2);
    EXPECT_GE(CountOf(log, "RTCP-IN ch1 len"), 1);
    EXPECT_NE(log.find("pt201"), std::string::npos);  // receiver report
    EXPECT_NE(log.find("REQ TEARDOWN rtsp://127.0.0.1:" + std::to_string(server.Port()) + "/stream/"), std::string::npos);
}

// ---- authentication ---------------------------------------------------------------------------

class RtspAuthTest : public ::testing::TestWithParam<const char*> {};

TEST_P(RtspAuthTest, ChallengeAnsweredFromTheAddressAndWrongCredentialsFailClearly) {
    RtspTestServer server;
    Server(server, std::string("--auth ") + GetParam() + " --auth-options 1 --password 'p@ss:w0rd'");
    Halvora::Common::ScopedLogCapture capture(0);
    {
        Input input;
        OpenAndProbe(input, server.Url("/stream", "user:p%40ss%3Aw0rd"), Options());
        ASSERT_GE(input.rc, 0) << AvErrorText(input.rc);
        EXPECT_EQ(ReadPackets(input.ctx, 5), 5);
        int64_t range = 0;
        EXPECT_NE(rtsp_read_get_parameter(input.ctx, &range), nullptr);
    }
    {
        Input wrong;
        OpenAndProbe(wrong, server.Url("/stream", "user:p%40ss-wrong"), Options());
        EXPECT_EQ(wrong.rc, AVERROR_HTTP_UNAUTHORIZED);
    }
    const std::string log = server.LogText();
    EXPECT_EQ(CountOf(log, "FAIL"), CountOf(log, "AUTH OPTIONS FAIL") + CountOf(log, "AUTH DESCRIBE FAIL")) << log;
    EXPECT_NE(log.find("AUTH GET_PARAMETER OK"), std::string::npos);
    for (const auto& message : capture.Sink().Messages()) {
        EXPECT_EQ(message.find("p@ss"), std::string::npos) << message;
        EXPECT_EQ(message.find("p%40ss"), std::string::npos) << message;
    }
}

INSTANTIATE_TEST_SUITE_P(Schemes, RtspAuthTest, ::testing::Values("basic", "digest", "digest-qop"));

// ---- faults -----------------------------------------------------------------------------------

TEST(RtspFaults, StalledServerEndsTheReadWhenTheInterruptCallbackSaysSo) {
    RtspTestServer server;
    const std::string url = Server(server, "--stall-after 10");
    Watchdog watchdog;
    Input input;
    input.Open(url, Options(&watchdog));
    ASSERT_GE(input.rc, 0) << AvErrorText(input.rc);
    ASSERT_TRUE(server.WaitForLog("STALL", 5000));
    watchdog.ExpireIn(700);
    const auto start = Clock::now();
    int endCode = 0;
    ReadPackets(input.ctx, 1000, nullptr, &endCode);
    const auto waited = Clock::now() - start;
    EXPECT_EQ(endCode, AVERROR_EXIT);
    EXPECT_LT(waited, std::chrono::milliseconds(3000));
}

TEST(RtspFaults, InterruptFromAnotherThreadEndsAStalledRead) {
    RtspTestServer server;
    const std::string url = Server(server, "--stall-after 5");
    Watchdog watchdog;
    Input input;
    input.Open(url, Options(&watchdog));
    ASSERT_GE(input.rc, 0) << AvErrorText(input.rc);
    ASSERT_TRUE(server.WaitForLog("STALL", 5000));
    std::thread interrupter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        watchdog.interrupted = true;
    });
    int endCode = 0;
    const auto start = Clock::now();
    ReadPackets(input.ctx, 1000, nullptr, &endCode);
    interrupter.join();
    EXPECT_EQ(endCode, AVERROR_EXIT);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(3000));
}

TEST(RtspFaults, StalledServerWithoutInterruptCallbackTimesOut) {
    RtspTestServer server;
    const std::string url = Server(server, "--stall-after 5");
    Input input;
    input.Open(url, Options(nullptr, 5000, 600));
    ASSERT_GE(input.rc, 0) << AvErrorText(input.rc);
    int endCode = 0;
    ReadPackets(input.ctx, 1000, nullptr, &endCode);
    EXPECT_EQ(endCode, AVERROR(ETIMEDOUT));
}

// A connection closed without a goodbye loses the stream (it does not end it).
TEST(RtspFaults, ServerClosingMidStreamLosesTheStream) {
    RtspTestServer server;
    const std::string url = Server(server, "--close-after 10");
    Input input;
    OpenAndProbe(input, url, Options());
    ASSERT_GE(input.rc, 0) << AvErrorText(input.rc);
    int endCode = 0;
    const auto start = Clock::now();
    ReadPackets(input.ctx, 100000, nullptr, &endCode);
    EXPECT_EQ(endCode, AVERROR(ECONNRESET));
    EXPECT_EQ(input.input->Session().LostReason(), "the server closed the connection without ending the stream");
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
}

// Packets nobody can use are skipped and the stream goes on to its end: RTP packets shorter than
// their header, and payloads FFmpeg's depacketizer refuses. Refused payloads after sender reports
// would leak FFmpeg's timing side data (the leak check of the sanitizer build catches that).
struct SkippedPackets {
    const char* serverArgs;
    int minPackets;
    uint64_t minDropped;
};

class RtspSkippedPacketsTest : public ::testing::TestWithParam<SkippedPackets> {};

TEST_P(RtspSkippedPacketsTest, AreDroppedAndTheStreamGoesOn) {
    RtspTestServer server;
    const std::string url = Server(server, std::string(GetParam().serverArgs) + " --fps-pace 0 --frames 20");
    Input input;
    OpenAndProbe(input, url, Options());
    ASSERT_GE(input.rc, 0) << AvErrorText(input.rc);
    int endCode = 0;
    int packets = ReadPackets(input.ctx, 1000, nullptr, &endCode);
    EXPECT_EQ(endCode, AVERROR_EOF);
    EXPECT_GE(packets, GetParam().minPackets);
    EXPECT_GE(RtspInput::Of(input.ctx)->Session().DroppedPackets(), GetParam().minDropped);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, RtspSkippedPacketsTest,
    ::testing::Values(SkippedPackets{"--malformed short-rtp", 15, 15},
                      SkippedPackets{"--malformed refused-payloads --sr-ntp 3900000000 --sr-every 2", 18, 5 * 18}));

class RtspMalformedReplyTest : public ::testing::TestWithParam<const char*> {};

TEST_P(RtspMalformedReplyTest, OpenFailsClearlyAndQuickly) {
    RtspTestServer server;
    const std::string url = Server(server, std::string("--malformed ") + GetParam());
    Halvora::Common::ScopedLogCapture capture(0);
    Input input;
    const auto start = Clock::now();
    input.Open(url, Options(nullptr, 1500));
    EXPECT_LT(input.rc, 0);
    EXPECT_EQ(input.ctx, nullptr);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(4));
    EXPECT_FALSE(capture.Sink().Messages(Halvora::Common::LogWarning).empty() &&
                 capture.Sink().Messages(Halvora::Common::LogError).empty());
}

INSTANTIATE_TEST_SUITE_P(Kinds, RtspMalformedReplyTest,
                         ::testing::Values("status", "header", "sdp", "huge-body", "huge-head", "no-reply"));

TEST(RtspFaults, ConnectionRefusedAndBadAddressesFail) {
    Input refused;
    // A port nothing listens on: bind one, close it, connect to it.
    int port = 0;
    {
        RtspTestServer probe;
        ASSERT_TRUE(probe.StartScripted(RtspTestServer::H264Fixture(), "", 1));
        port = probe.Port();
    }
    refused.Open("rtsp://127.0.0.1:" + std::to_string(port) + "/x", Options(nullptr, 1000));
    EXPECT_LT(refused.rc, 0);
    Input bad;
    bad.Open("rtsp://:99999/x", Options(nullptr, 1000));
    EXPECT_EQ(bad.rc, AVERROR(EINVAL));
    EXPECT_EQ(bad.ctx, nullptr);
}
