// Many decoders in one process at once, each driven by its own host thread (the
// threaded load that scripts/tsan.sh runs under ThreadSanitizer).
#include "vms/VmsServer.h"
#include "vms/VmsStreams.h"

#include <gtest/gtest.h>

#include <thread>

using namespace RuvarTest;

// Sixteen file decoders over eight kinds of file and eight RTSP decoders of one server that sends as
// fast as the connections take it, one thread each: each gives exactly the pictures of its source.
TEST(Load, SixteenFilesAndEightRtspStreamsAtOnce) {
    const std::vector<std::string> files = {H264Mp4NoB(),     H264Mp4B(),     HevcMkv(),     Vp9Webm(),
                                            TsVideoSecond(), MjpegFullRange(), Mpeg4OddSize(), H264Yuv422()};
    std::vector<std::vector<std::string>> reference;
    for (const auto& f : files) {
        FFMpegDecoder decoder;
        ASSERT_TRUE(decoder.Initialize(InfoFor(f), nullptr)) << f;
        reference.push_back(DecodeAll(decoder).digests);
    }
    constexpr int kFiles = 16, kStreams = 8, kStreamFrames = 200;  // the 50-frame fixture four times
    const std::vector<std::string> pictures = FrameMd5(VmsFixture());
    std::vector<std::string> stream;
    for (int k = 0; k < kStreamFrames; ++k) stream.push_back(pictures[k % 50]);
    VmsServer server(R"({"frames": 200, "pace_ms": 0, "bye": true, "lifetime": 240})");
    ASSERT_GT(server.Port(), 0);
    const auto params = Timeouts(20000, 20000);
    std::vector<Decoded> results(kFiles + kStreams);
    std::vector<std::thread> threads;
    for (int d = 0; d < kFiles + kStreams; ++d)
        threads.emplace_back([&, d] {
            FFMpegDecoder decoder;
            if (decoder.Initialize(InfoFor(d < kFiles ? files[d % files.size()] : server.UrlText()), &params))
                results[d] = DecodeAll(decoder);
        });
    for (auto& t : threads) t.join();
    for (int d = 0; d < kFiles + kStreams; ++d) {
        EXPECT_EQ(results[d].endState, EndOfArchive) << d;
        EXPECT_EQ(results[d].digests, d < kFiles ? reference[d % files.size()] : stream) << "decoder " << d;
    }
}

// Twelve web-stream decoders at once, two of each system that times frames by the server, one thread
// each, every one on a stand-in server of its own with times of its own (frame 0 hours and days
// apart, first RTP timestamp, SSRC): each gives its own stream's pictures, each at exactly the time
// its system's rule gives it. A time source shared between decoders (packet callbacks, RTP timing,
// registries) shows as another stream's time.
TEST(Load, TwelveWebStreamDecodersAtOnce) {
    using namespace RuvarTest::Vms;
    const std::vector<std::string> families = {"Milestone", "SeeTec", "VmsAgent", "Iss", "Genetec", "Dvtel"};
    constexpr int kDecoders = 12;
    constexpr size_t kRead = 60;
    const std::vector<std::string> pictures = FrameMd5(VmsFixture());
    std::vector<long long> shifts;
    std::vector<std::unique_ptr<VmsServer>> servers;
    for (int d = 0; d < kDecoders; ++d) {
        StreamTiming timing;
        timing.ts0 = WrappingTs0(97U * static_cast<uint32_t>(d));
        timing.ssrc = 0x10203040U + 0x01010101U * static_cast<uint32_t>(d);
        timing.frames = 100;  // more than is read: no stream ends while its decoder reads
        shifts.push_back((d / 6) * 86400LL * 3 + 3600LL * d + 7);
        servers.push_back(std::make_unique<VmsServer>(SharedConfig(timing, shifts.back())));
        ASSERT_GT(servers.back()->Port(), 0);
    }
    struct Run {
        std::string error;
        Decoded decoded;
        long long before = 0, after = 0;
    };
    std::vector<Run> runs(kDecoders);
    std::vector<std::thread> threads;
    for (int d = 0; d < kDecoders; ++d)
        threads.emplace_back([&, d] {
            runs[d].before = NowTicks();
            runs[d].error = ThrowText([&] {
                auto decoder = Make(families[d % 6]);
                std::wstring json = L"{\"RtspConnectionTimeout\": \"20000\", \"RtspGetFrameTimeoutParameter\": \"20000\"}";
                if (decoder->Initialize(servers[d]->Url(), -1, json)) runs[d].decoded = DecodeAll(*decoder, kRead - 1);
            });
            runs[d].after = NowTicks();
        });
    for (auto& t : threads) t.join();
    for (int d = 0; d < kDecoders; ++d) {
        const std::string& family = families[d % 6];
        SCOPED_TRACE(family + " decoder " + std::to_string(d));
        const Run& run = runs[d];
        EXPECT_EQ(run.error, "(no exception)");
        ASSERT_EQ(run.decoded.times.size(), kRead);
        // Iss dates frames from the instant the stream opened.
        const long long origin = family == "Iss" ? run.decoded.times[0] - ExpectedTime(family, 0) : 0;
        if (family == "Iss") {
            EXPECT_GE(origin, run.before);
            EXPECT_LE(origin, run.after);
        }
        for (size_t i = 0; i < kRead; ++i) {
            EXPECT_EQ(run.decoded.times[i], origin + ExpectedTime(family, static_cast<int>(i), shifts[d])) << "frame " << i;
            EXPECT_EQ(run.decoded.digests[i], pictures[i % kFixtureFrames]) << "frame " << i;
        }
    }
}
