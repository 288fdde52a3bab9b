// The parsers of the RTSP layer on known texts: ranges, addresses, control URLs, Digest answers,
// the byte stream of a connection and session descriptions.

#include "Rtsp/RtpFrameTimeline.h"
#include "Rtsp/RtpPacketParser.h"
#include "Rtsp/RtspAuthenticator.h"
#include "Rtsp/RtspResponse.h"
#include "Rtsp/RtspStreamReader.h"
#include "Rtsp/RtspUrl.h"
#include "Rtsp/SdpDescription.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/avutil.h>
}

#include <vector>

using namespace Halvora::RuvarEduzid::Rtsp;

TEST(RtspRange, NptAndClockFormsGiveMicroseconds) {
    int64_t us = -1;
    EXPECT_TRUE(RtspResponse::ParseRangeStart("npt=12.5-", &us));
    EXPECT_EQ(us, 12500000);
    EXPECT_TRUE(RtspResponse::ParseRangeStart("npt=1:02:03.25-1:10:00", &us));
    EXPECT_EQ(us, 3723250000LL);
    EXPECT_TRUE(RtspResponse::ParseRangeStart("clock=20210101T000000Z-", &us));
    EXPECT_EQ(us, 1609459200000000LL);
    EXPECT_TRUE(RtspResponse::ParseRangeStart("clock=19700101T000001.5Z-", &us));
    EXPECT_EQ(us, 1500000);
    us = 7;
    EXPECT_FALSE(RtspResponse::ParseRangeStart("npt=now-", &us));
    EXPECT_FALSE(RtspResponse::ParseRangeStart("smpte=10:07:00-", &us));
    EXPECT_FALSE(RtspResponse::ParseRangeStart("clock=2021XX01T000000Z-", &us));
    EXPECT_FALSE(RtspResponse::ParseRangeStart("npt=99999999999999999999-", &us));
    EXPECT_EQ(us, 7);
}

TEST(RtspUrl, CredentialsArePercentDecodedAndLeftOffTheWire) {
    RtspUrl url;
    ASSERT_TRUE(url.Parse("rtsp://us%40er:p%3Ass@w@cam.local:8554/live/1?x=y"));
    EXPECT_EQ(url.User(), "us@er");
    EXPECT_EQ(url.Password(), "p:ss@w");
    EXPECT_EQ(url.Host(), "cam.local");
    EXPECT_EQ(url.Port(), 8554);
    EXPECT_EQ(url.WithoutCredentials(), "rtsp://cam.local:8554/live/1?x=y");
    ASSERT_TRUE(url.Parse("RTSP://[::1]/a"));
    EXPECT_EQ(url.Host(), "::1");
    EXPECT_EQ(url.Port(), 554);
    EXPECT_FALSE(url.HasCredentials());
    EXPECT_FALSE(url.Parse("http://host/x"));
    EXPECT_FALSE(url.Parse("rtsp://host:70000/x"));
    EXPECT_FALSE(url.Parse("rtsp:///x"));
}

TEST(RtspUrl, ControlAttributesResolveAgainstTheBase) {
    EXPECT_EQ(RtspUrl::ResolveControl("rtsp://h/s/", "trackID=1"), "rtsp://h/s/trackID=1");
    EXPECT_EQ(RtspUrl::ResolveControl("rtsp://h/s", "trackID=1"), "rtsp://h/s/trackID=1");
    EXPECT_EQ(RtspUrl::ResolveControl("rtsp://h/s/", "*"), "rtsp://h/s/");
    EXPECT_EQ(RtspUrl::ResolveControl("rtsp://h/s/", ""), "rtsp://h/s/");
    EXPECT_EQ(RtspUrl::ResolveControl("rtsp://h/s/", "rtsp://other/v"), "rtsp://other/v");
}

TEST(RtspAuthenticator, DigestAnswersMatchTheRfcExampleAndBasicEncodes) {
    RtspAuthenticator auth;
    auth.SetCredentials("Mufasa", "Circle Of Life");
    auth.SetClientNonce("0a4f113b");
    ASSERT_TRUE(auth.OnChallenge({"Basic realm=\"x\"",
                                  "Digest realm=\"testrealm@host.com\", qop=\"auth,auth-int\", "
                                  "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", opaque=\"5ccc069c403ebaf9f0171e9517f40e41\""}));
    EXPECT_EQ(auth.CurrentScheme(), RtspAuthenticator::Scheme::Digest);
    const std::string header = auth.Authorization("GET", "/dir/index.html");
    EXPECT_NE(header.find("response=\"6629fae49393a05397450978507c4ef1\""), std::string::npos) << header;
    EXPECT_NE(header.find("nc=00000001"), std::string::npos);
    EXPECT_NE(header.find("opaque=\"5ccc069c403ebaf9f0171e9517f40e41\""), std::string::npos);
    EXPECT_NE(auth.Authorization("GET", "/dir/index.html").find("nc=00000002"), std::string::npos);

    RtspAuthenticator basic;
    basic.SetCredentials("Aladdin", "open sesame");
    ASSERT_TRUE(basic.OnChallenge({"Basic realm=\"WallyWorld\""}));
    EXPECT_EQ(basic.Authorization("OPTIONS", "rtsp://h/"), "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==");

    RtspAuthenticator none;
    EXPECT_FALSE(none.OnChallenge({"Basic realm=\"x\""}));  // no credentials to answer with
    RtspAuthenticator sha;
    sha.SetCredentials("a", "b");
    EXPECT_FALSE(sha.OnChallenge({"Digest realm=\"r\", nonce=\"n\", algorithm=SHA-256"}));
}

TEST(RtspStreamReader, SplitsRepliesAndFramesWhateverTheChunking) {
    const std::string reply = "RTSP/1.0 200 OK\r\nCSeq: 7\r\nContent-Length: 5\r\n\r\nhello";
    const std::string frame = std::string("$\x01\x00\x03", 4) + "abc";
    const std::string request = "ANNOUNCE rtsp://h/ RTSP/1.0\r\nCSeq: 1\r\n\r\n";
    const std::string all = frame + reply + request + frame;
    for (size_t chunk = 1; chunk <= all.size(); ++chunk) {
        RtspStreamReader reader;
        std::vector<std::string> seen;
        for (size_t off = 0; off < all.size(); off += chunk) {
            reader.Append(reinterpret_cast<const uint8_t*>(all.data()) + off, std::min(chunk, all.size() - off));
            RtspStreamReader::Item item;
            while (reader.Next(item)) {
                ASSERT_NE(item.type, RtspStreamReader::ItemType::Error) << item.error;
                if (item.type == RtspStreamReader::ItemType::Interleaved)
                    seen.push_back("frame" + std::to_string(item.channel) + std::string(reinterpret_cast<const char*>(item.data), item.size));
                else if (item.message.isRequest)
                    seen.push_back("request " + item.message.method);
                else
                    seen.push_back("reply " + std::to_string(item.message.CSeq()) + " " + item.message.body);
            }
        }
        ASSERT_EQ(seen, (std::vector<std::string>{"frame1abc", "reply 7 hello", "request ANNOUNCE", "frame1abc"}))
            << "chunk " << chunk;
    }
}

TEST(RtspStreamReader, OversizedAndMalformedInputIsAnErrorNotAnAllocation) {
    {
        RtspStreamReader reader;
        const std::string head = "RTSP/1.0 200 OK\r\nX: " + std::string(20000, 'a');
        reader.Append(reinterpret_cast<const uint8_t*>(head.data()), head.size());
        RtspStreamReader::Item item;
        ASSERT_TRUE(reader.Next(item));
        EXPECT_EQ(item.type, RtspStreamReader::ItemType::Error);
    }
    {
        RtspStreamReader reader;
        const std::string big = "RTSP/1.0 200 OK\r\nCSeq: 1\r\nContent-Length: 999999999\r\n\r\n";
        reader.Append(reinterpret_cast<const uint8_t*>(big.data()), big.size());
        RtspStreamReader::Item item;
        ASSERT_TRUE(reader.Next(item));
        EXPECT_EQ(item.type, RtspStreamReader::ItemType::Error);
    }
    {
        RtspStreamReader reader;
        const std::string garbage(70000, '\x7f');
        reader.Append(reinterpret_cast<const uint8_t*>(garbage.data()), garbage.size());
        RtspStreamReader::Item item;
        ASSERT_TRUE(reader.Next(item));
        EXPECT_EQ(item.type, RtspStreamReader::ItemType::Error);
    }
    {
        // A few stray bytes before a reply are skipped.
        RtspStreamReader reader;
        const std::string text = std::string("\r\n\x01junk ", 8) + "RTSP/1.0 404 Not Found\r\nCSeq: 2\r\n\r\n";
        reader.Append(reinterpret_cast<const uint8_t*>(text.data()), text.size());
        RtspStreamReader::Item item;
        ASSERT_TRUE(reader.Next(item));
        ASSERT_EQ(item.type, RtspStreamReader::ItemType::Message);
        EXPECT_EQ(item.message.status, 404);
    }
}

TEST(SdpDescription, TheVideoMediaAloneWithItsControl) {
    SdpDescription sdp;
    ASSERT_EQ(sdp.Parse("v=0\r\no=- 1 1 IN IP4 1.2.3.4\r\ns=x\r\nt=0 0\r\na=control:rtsp://h/agg\r\n"
                        "m=audio 0 RTP/AVP 0\r\na=control:a\r\nm=video 0 RTP/AVP 96\n"
                        "a=rtpmap:96 H264/90000\na=control:v\n"),
              "");
    ASSERT_EQ(sdp.FindMedia("video"), 1);
    EXPECT_EQ(sdp.MediaList()[1].control, "v");
    EXPECT_EQ(sdp.SessionControl(), "rtsp://h/agg");
    const std::string one = sdp.SingleMediaSdp(1);
    EXPECT_EQ(one.find("m=audio"), std::string::npos);
    EXPECT_NE(one.find("m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n"), std::string::npos);
    EXPECT_NE(one.find("c=IN IP4 0.0.0.0\r\n"), std::string::npos);
    EXPECT_EQ(one.find("a=control"), std::string::npos);
    EXPECT_EQ(sdp.PayloadType(1), 96);
    EXPECT_EQ(sdp.EncodingName(1), "H264");
    EXPECT_EQ(sdp.PayloadType(0), 0);
    EXPECT_EQ(sdp.EncodingName(0), "");  // a static type without an rtpmap line
    EXPECT_EQ(sdp.PayloadType(2), -1);
    // The rtpmap line counts whatever number it names, as in FFmpeg's demuxer.
    ASSERT_EQ(sdp.Parse("v=0\r\nm=video 0 RTP/AVP 96\r\na=rtpmap:9AVP/6 H265/90000\r\na=rtpmap:96 H264/90000\r\n"), "");
    EXPECT_EQ(sdp.EncodingName(0), "H265");
    EXPECT_NE(sdp.Parse("no description here"), "");
    EXPECT_NE(sdp.Parse("v=0\r\ns=x\r\n"), "");  // no media
}

TEST(RtpPacketParser, HeadersMustFitAndSenderReportsAreRead) {
    uint8_t rtp[16] = {0x90, 0x60, 0, 1, 0, 0, 0, 1, 0, 0, 0, 2, 0x40, 0x00, 0x00, 0x01};
    EXPECT_FALSE(RtpPacketParser::HasWholeHeader(rtp, 16));  // extension of one word needs 20 bytes
    uint8_t plain[12] = {0x80, 0x60, 0, 1, 0, 0, 0, 1, 0, 0, 0, 2};
    EXPECT_TRUE(RtpPacketParser::HasWholeHeader(plain, 12));
    EXPECT_FALSE(RtpPacketParser::HasWholeHeader(plain, 11));
    uint8_t padded[13] = {0xA0, 0x60, 0, 1, 0, 0, 0, 1, 0, 0, 0, 2, 5};
    EXPECT_FALSE(RtpPacketParser::HasWholeHeader(padded, 13));  // padding longer than the payload
    const uint8_t sr[36] = {0x80, 200, 0, 6, 0, 0, 0, 1, 0xE8, 0x74, 0x36, 0x00, 0x80, 0, 0, 0, 0, 1, 0x5F, 0x90,
                            0, 0, 0, 0, 0, 0, 0, 0, 0x81, 203, 0, 1, 0, 0, 0, 1};
    auto info = RtpPacketParser::ParseRtcp(sr, sizeof sr);
    EXPECT_TRUE(info.senderReport);
    EXPECT_TRUE(info.bye);
    EXPECT_EQ(info.ntpTime, (uint64_t(0xE8743600) << 32) | 0x80000000u);
    EXPECT_EQ(info.rtpTime, 90000u);
    EXPECT_FALSE(RtpPacketParser::ParseRtcp(sr, 20).senderReport);  // cut short

    // The payload is found behind CSRCs and the extension, without the padding.
    const uint8_t full[24] = {0xB1, 0x60, 0, 1, 0, 0, 0, 1, 0, 0, 0, 2, 9, 9, 9, 9, 0xBE, 0xDE, 0, 0, 0x65, 0x88, 0, 2};
    const uint8_t* payload = nullptr;
    size_t payloadSize = 0;
    ASSERT_TRUE(RtpPacketParser::HasWholeHeader(full, sizeof full));
    RtpPacketParser::Payload(full, sizeof full, &payload, &payloadSize);
    EXPECT_EQ(payload, full + 20);
    EXPECT_EQ(payloadSize, 2u);
}

// Payloads FFmpeg's depacketizers refuse are recognised; everything they take passes.
TEST(RtpPacketParser, PayloadsTheDepacketizerRefuses) {
    using Format = RtpPacketParser::PayloadFormat;
    EXPECT_EQ(RtpPacketParser::FormatOfEncoding("h264"), Format::H264);
    EXPECT_EQ(RtpPacketParser::FormatOfEncoding("H265"), Format::Hevc);
    EXPECT_EQ(RtpPacketParser::FormatOfEncoding("JPEG"), Format::Other);
    auto h264 = [](std::vector<uint8_t> p) { return RtpPacketParser::IsDepacketizable(Format::H264, p.data(), p.size()); };
    auto hevc = [](std::vector<uint8_t> p) { return RtpPacketParser::IsDepacketizable(Format::Hevc, p.data(), p.size()); };
    EXPECT_TRUE(h264({0x65, 0x88}));                        // IDR slice
    EXPECT_TRUE(h264({0x00}));                              // type 0 passes through
    EXPECT_TRUE(h264({0x78, 0, 2, 0x67, 0x42, 0, 1, 0x68}));  // STAP-A, units fit
    EXPECT_TRUE(h264({0x7c, 0x85, 0x88}));                  // FU-A
    EXPECT_FALSE(h264({}));
    EXPECT_FALSE(h264({0x78, 0, 9, 0x67}));  // STAP-A unit longer than the packet
    EXPECT_FALSE(h264({0x7c, 0x85}));        // FU-A without data
    for (uint8_t type : {25, 26, 27, 29, 30, 31}) EXPECT_FALSE(h264({static_cast<uint8_t>(0x60 | type), 0, 0})) << +type;
    EXPECT_TRUE(hevc({0x26, 0x01, 0xaf}));          // IDR_W_RADL, temporal id 1
    EXPECT_TRUE(hevc({0x62, 0x01, 0x93, 0xaf}));    // FU, start
    EXPECT_TRUE(hevc({0x60, 0x01, 0, 1, 0x40}));    // aggregation, one unit
    EXPECT_FALSE(hevc({0x26, 0x01}));               // too short
    EXPECT_FALSE(hevc({0x26, 0x00, 0xaf}));         // temporal id 0
    EXPECT_FALSE(hevc({0x26, 0x09, 0xaf}));         // layer id 1
    EXPECT_FALSE(hevc({0x64, 0x01, 0xaf}));         // PACI
    EXPECT_FALSE(hevc({0x62, 0x01, 0xd3, 0xaf}));   // FU with start and end bits
    EXPECT_FALSE(hevc({0x62, 0x01, 0x93}));         // FU without data
    EXPECT_FALSE(hevc({0x60, 0x01, 0, 5, 0x40}));   // aggregation unit longer than the packet
    EXPECT_TRUE(RtpPacketParser::IsDepacketizable(Format::Other, nullptr, 0));
}

// ---- RTP frames as FFmpeg's RTP demuxer times them --------------------------------------------

namespace {
std::vector<uint8_t> RtpPacket(uint32_t timestamp, uint8_t marker = 0) {
    std::vector<uint8_t> p = {0x80, static_cast<uint8_t>(96 | marker), 0, 1,
                              static_cast<uint8_t>(timestamp >> 24), static_cast<uint8_t>(timestamp >> 16),
                              static_cast<uint8_t>(timestamp >> 8), static_cast<uint8_t>(timestamp),
                              0x12, 0x34, 0x56, 0x78, 0x65};
    return p;
}
void Arrive(RtpFrameTimeline& timeline, uint32_t timestamp, uint64_t callbackValue = 0, bool hasValue = false) {
    const auto p = RtpPacket(timestamp);
    timeline.OnRtpPacket(p.data(), p.size(), hasValue, callbackValue);
}
}  // namespace

TEST(RtpFrameTimeline, FollowsTheDemuxerClockThroughTheWrapAndTakesFramesByTheirPts) {
    RtpFrameTimeline timeline;
    // Two packets of the first frame, then frames 3600 apart across the 32-bit wrap.
    Arrive(timeline, 4294963000u);
    Arrive(timeline, 4294963000u);
    Arrive(timeline, 4294963000u + 3600);  // 304 after the wrap
    Arrive(timeline, 4294963000u + 7200);
    EXPECT_EQ(timeline.Base(), 4294963000u);
    EXPECT_EQ(timeline.PendingFrames(), 3u);
    RtpFrameTimeline::Frame frame;
    // The first access unit comes without a pts: it is the oldest frame.
    ASSERT_TRUE(timeline.Take(AV_NOPTS_VALUE, &frame));
    EXPECT_EQ(frame.timestamp, 4294963000u);
    EXPECT_EQ(frame.pts, 0);
    // A frame whose access unit never came (3600) is passed over for the one that did.
    ASSERT_TRUE(timeline.Take(7200, &frame));
    EXPECT_EQ(frame.timestamp, static_cast<uint32_t>(4294963000u + 7200));
    EXPECT_EQ(timeline.PendingFrames(), 0u);
    EXPECT_FALSE(timeline.Take(10800, &frame));
}

TEST(RtpFrameTimeline, ASenderReportBeforeAnyPacketSetsTheBaseAndFramesBeforeItAreNegative) {
    RtpFrameTimeline timeline;
    timeline.OnSenderReport(90000 + 5 * 3600, 7);  // the report names frame 5
    timeline.OnSenderReport(1, 8);                 // only the first report counts for the base
    Arrive(timeline, 90000);
    RtpFrameTimeline::Frame frame;
    ASSERT_TRUE(timeline.Take(-5 * 3600, &frame));
    EXPECT_EQ(frame.timestamp, 90000u);
    // On the continuous position both reports are placed by the first packet.
    RtpFrameTimeline::Report report;
    ASSERT_TRUE(timeline.FirstReport(&report));
    EXPECT_EQ(report.position - frame.position, 5 * 3600);
    ASSERT_TRUE(timeline.LatestReport(&report));
    EXPECT_EQ(report.ntp, 8u);
    EXPECT_EQ(report.position, 1);
    EXPECT_EQ(timeline.BasePosition(), 90000 + 5 * 3600);
}

TEST(RtpFrameTimeline, ZeroCountsAsNotYetSetLikeTheDemuxer) {
    // A first timestamp of 0 leaves the base unset: the next one sets it, so that the demuxer gives
    // both frames pts 0; from there on the clock runs as usual.
    RtpFrameTimeline timeline;
    Arrive(timeline, 0);
    Arrive(timeline, 3600);
    Arrive(timeline, 7200);
    EXPECT_EQ(timeline.Base(), 3600u);
    RtpFrameTimeline::Frame frame;
    ASSERT_TRUE(timeline.Take(0, &frame));
    EXPECT_EQ(frame.timestamp, 0u);
    ASSERT_TRUE(timeline.Take(0, &frame));
    EXPECT_EQ(frame.timestamp, 3600u);
    ASSERT_TRUE(timeline.Take(3600, &frame));
    EXPECT_EQ(frame.timestamp, 7200u);
}

TEST(RtpFrameTimeline, OriginIsTheFirstPacketAfterTheMark) {
    RtpFrameTimeline timeline;
    Arrive(timeline, 1000);
    Arrive(timeline, 4600);
    timeline.MarkOrigin();
    EXPECT_TRUE(timeline.OriginPending());
    Arrive(timeline, 8200);
    EXPECT_FALSE(timeline.OriginPending());
    ASSERT_TRUE(timeline.HasOrigin());
    EXPECT_EQ(timeline.OriginPts(), 7200);
    // Nothing after a second mark: the latest packet stands in.
    timeline.MarkOrigin();
    timeline.SettleOriginOnLatest();
    EXPECT_EQ(timeline.OriginPts(), 7200);
}

namespace {
uint64_t CountAndStoreTimestamp(const uint8_t* packet, int length, uint64_t* destination) {
    if (length >= 8) *destination = (static_cast<uint64_t>(packet[4]) << 24 | packet[5] << 16 | packet[6] << 8 | packet[7]) * 10;
    return 0;
}
}  // namespace

TEST(RtpFrameTimeline, ACallbackBoundLateSeesTheKeptPacketsAndEachFrameKeepsItsValue) {
    RtpFrameTimeline timeline;
    Arrive(timeline, 100);
    Arrive(timeline, 200);
    uint64_t destination = 0;
    timeline.BindCallback(&CountAndStoreTimestamp, &destination);
    EXPECT_EQ(destination, 2000u);  // the latest packet's, after the replay
    Arrive(timeline, 300, 3000, true);
    RtpFrameTimeline::Frame frame;
    for (uint32_t ts : {100u, 200u, 300u}) {
        ASSERT_TRUE(timeline.Take(ts - 100, &frame));
        EXPECT_TRUE(frame.hasCallbackValue);
        EXPECT_EQ(frame.callbackValue, ts * 10u) << ts;
    }
    // Packets are kept only until a callback is bound (or the stream is read).
    Arrive(timeline, 400);
    timeline.BindCallback(&CountAndStoreTimestamp, &destination);
    ASSERT_TRUE(timeline.Take(300, &frame));
    EXPECT_FALSE(frame.hasCallbackValue);
}
