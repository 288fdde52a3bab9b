// Many writers and decoders in one process at once, each driven by its own host thread (the
// threaded load that scripts/tsan.sh runs under ThreadSanitizer).
#include "DecoderTestHelpers.h"

#include "Common/StringUtility.h"
#include "Rtsp/RtspInput.h"
#include "RuvarEduzid/FfmpegPtr.h"
#include "RuvarEduzid/HlsWriterParams.h"
#include "RuvarEduzid/VideoWriterFactory.h"
#include "support/HlsTestSupport.h"
#include "support/RtspTestServer.h"
#include "support/SyntheticFrame.h"
#include "support/TestSupport.h"
#include "vms/VmsServer.h"
#include "vms/VmsStreams.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using Halvora::Common::StringUtility;
using Halvora::RuvarEduzid::GetTsFilePathCb;
using Halvora::RuvarEduzid::HlsWriterParams;
using Halvora::RuvarEduzid::VideoWriterFactory;
using namespace RuvarTest;
using Halvora::RuvarEduzid::Rtsp::RtspInput;
using Halvora::RuvarEduzid::Rtsp::RtspSessionOptions;

namespace {

// Seconds of CPU time of the whole process.
double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

// System time in 100-ns ticks since 1970-01-01 UTC.
long long NowTicks() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
               .count() /
           100;
}

// What one web-stream decoder gave.
struct WebStreamRun {
    bool opened = false;
    std::string error;  // an exception that left the decoder
    std::vector<std::string> digests;
    std::vector<long long> times;
    long long before = 0, after = 0;  // system time around the decoder's whole run (NowTicks)
};

// Checks a decoder's frames against its own stream: the stream's frames from the first one sent
// (nothing is lost at the open), each with the fixture's picture for that frame and exactly the
// time that the stream's rule gives it.
void ExpectOwnStream(const RuvarTest::Vms::VmsStream& stream, const WebStreamRun& run,
                     const std::vector<std::string>& pictures, size_t count, int frames) {
    using namespace RuvarTest::Vms;
    ASSERT_TRUE(run.error.empty()) << run.error;
    ASSERT_TRUE(run.opened);
    ASSERT_EQ(run.times.size(), count);
    ASSERT_LE(count, static_cast<size_t>(frames));
    // Times fixed by the server count from frame 0; the Iss rule counts from the opening instant,
    // read while the decoder ran.
    const long long reference = stream.origin == Origin::OpeningInstant ? run.times[0] : stream.time0;
    for (size_t i = 0; i < count; ++i) {
        EXPECT_EQ(run.times[i], reference + static_cast<long long>(i) * stream.increment)
            << "frame " << i << " has time " << run.times[i] << ", not that of frame " << i << " of this stream";
        EXPECT_EQ(run.digests[i], pictures[i % kFixtureFrames]) << "frame " << i;
    }
    if (stream.origin == Origin::OpeningInstant) {
        const long long openedAt = run.times[0] - stream.time0;
        EXPECT_GE(openedAt, run.before);
        EXPECT_LE(openedAt, run.after);
    }
}

}  // namespace

// Four multi-rendition HLS writers (two renditions each), each fed by its own thread: every
// rendition of every writer ends up complete and decodable, every segment is reported once.
TEST(Load, SeveralHlsWritersAtOnce) {
    constexpr int kWriters = 4;
    constexpr int kFrames = 30;  // 3 s at 10 frames/s, 1 s segments
    const std::string dir = TempDir("load_hls");
    SegmentRecorder::Instance().Clear();
    const GetTsFilePathCb recorder{&SegmentRecorder::Callback};

    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = CpuSeconds();
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w) {
        threads.emplace_back([&, w] {
            try {
                std::filesystem::create_directories(dir + "/" + std::to_string(w));
                HlsWriterParams params(StringUtility::StringToWstring(dir + "/" + std::to_string(w) + "/master.m3u8"),
                                       3.0, 10.0, recorder);
                params.streams.push_back(StreamConfig(320, 240, 1, 1));
                params.streams.push_back(StreamConfig(160, 120, 1, 1));
                auto writer = VideoWriterFactory::CreateHlsWriter(params);
                for (int i = 0; i < kFrames; ++i) writer->WriteFrame(MakeFrame(320, 240, i + w, 10.0));
            } catch (const std::exception& e) {
                std::fprintf(stderr, "writer %d: %s\n", w, e.what());
                ++failures;
            }
        });
    }
    for (auto& t : threads) t.join();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = CpuSeconds() - cpuStart;
    ASSERT_EQ(failures.load(), 0);

    for (int w = 0; w < kWriters; ++w)
        for (int r = 0; r < 2; ++r)
            EXPECT_EQ(CountFrames(dir + "/" + std::to_string(w) + "/" + std::to_string(r) + "/video.m3u8"), kFrames)
                << "writer " << w << " rendition " << r;
    // 3 segments per rendition, each reported once.
    auto paths = SegmentRecorder::Instance().Paths();
    EXPECT_EQ(paths.size(), static_cast<size_t>(kWriters * 2 * 3));
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(std::unique(paths.begin(), paths.end()), paths.end());
    std::printf("load: %d HLS writers x 2 renditions, %d frames each: %.1f s wall, %.1f s CPU, %.0f frames/s in all\n",
                kWriters, kFrames, wall, cpu, kWriters * kFrames / wall);
}

// Sixteen file decoders over eight kinds of file and eight FFMpegDecoders on "rtsp://" addresses
// (one server that sends as fast as the connections take it), all at once, one thread each:
// every file decoder gives exactly the pictures that its file gives decoded alone, every RTSP
// decoder the stream's pictures frame for frame.
TEST(Load, SixteenFilesAndEightRtspStreamsAtOnce) {
    using namespace DecoderTest;
    const std::vector<std::string> files = {H264Mp4NoB(), H264Mp4B(),       HevcMkv(),      Vp9Webm(),
                                            TsVideoSecond(), MjpegFullRange(), Mpeg4OddSize(), H264Yuv422()};
    std::vector<Decoded> fileReference;
    for (const auto& f : files) {
        FFMpegDecoder decoder;
        ASSERT_TRUE(decoder.Initialize(InfoFor(f), nullptr)) << f;
        fileReference.push_back(DecodeAll(decoder));
        ASSERT_EQ(fileReference.back().endState, EndOfArchive) << f;
    }
    constexpr int kFileDecoders = 16;
    constexpr int kRtspDecoders = 8;
    constexpr int kRounds = 4;  // the 50-frame fixture, sent four times over in one session
    const std::vector<std::string> once = FrameMd5(RtspTestServer::H264Fixture());
    std::vector<std::string> rtspReference;
    for (int r = 0; r < kRounds; ++r) rtspReference.insert(rtspReference.end(), once.begin(), once.end());
    RtspTestServer server;
    ASSERT_TRUE(server.StartScripted(RtspTestServer::H264Fixture(),
                                     "--fps-pace 0 --loop 1 --frames " + std::to_string(rtspReference.size()), 240));
    const std::vector<std::shared_ptr<DecoderParameter>> params = {
        std::make_shared<RtspConnectionTimeoutParameter>(20000), std::make_shared<RtspGetFrameTimeoutParameter>(20000)};

    constexpr int kDecoders = kFileDecoders + kRtspDecoders;
    std::vector<Decoded> results(kDecoders);
    std::vector<int> opened(kDecoders, 0);
    std::vector<double> finished(kDecoders, 0.0);
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = CpuSeconds();
    std::vector<std::thread> threads;
    for (int d = 0; d < kDecoders; ++d) {
        threads.emplace_back([&, d] {
            FFMpegDecoder decoder;
            opened[d] = d < kFileDecoders ? decoder.Initialize(InfoFor(files[d % files.size()]), nullptr)
                                          : decoder.Initialize(InfoFor(server.Url("/stream")), &params);
            if (opened[d]) results[d] = DecodeAll(decoder);
            finished[d] = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        });
    }
    for (auto& t : threads) t.join();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = CpuSeconds() - cpuStart;
    size_t fileFrames = 0, rtspFrames = 0;
    for (int d = 0; d < kDecoders; ++d) {
        ASSERT_TRUE(opened[d]) << d;
        EXPECT_EQ(results[d].endState, EndOfArchive) << d;
        if (d < kFileDecoders) {
            EXPECT_EQ(results[d].digests, fileReference[d % files.size()].digests) << "file decoder " << d;
            fileFrames += results[d].digests.size();
        } else {
            EXPECT_EQ(results[d].digests, rtspReference) << "RTSP decoder " << d - kFileDecoders;
            rtspFrames += results[d].digests.size();
        }
    }
    const double filesDone = *std::max_element(finished.begin(), finished.begin() + kFileDecoders);
    const double rtspDone = *std::max_element(finished.begin() + kFileDecoders, finished.end());
    std::printf("load: %d file decoders and %d RTSP decoders at once: %zu + %zu frames in %.1f s wall "
                "(files done at %.1f s, RTSP at %.1f s), %.1f s CPU, %.0f frames/s in all\n",
                kFileDecoders, kRtspDecoders, fileFrames, rtspFrames, wall, filesDone, rtspDone, cpu,
                (fileFrames + rtspFrames) / wall);
}

// Eight RTSP inputs of the library's RTSP layer at once, one thread each, from one server: every
// input reads the whole stream.
TEST(Load, EightRtspStreamsAtOnce) {
    RtspTestServer server;
    ASSERT_TRUE(server.StartScripted(RtspTestServer::H264Fixture(), "--fps-pace 1", 60));
    constexpr int kStreams = 8;
    std::vector<int> packets(kStreams, 0), openResult(kStreams, 0), endResult(kStreams, 0);
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = CpuSeconds();
    std::vector<std::thread> threads;
    for (int s = 0; s < kStreams; ++s) {
        threads.emplace_back([&, s] {
            RtspSessionOptions options;
            options.openTimeoutMs = 10000;
            options.readTimeoutMs = 10000;
            std::unique_ptr<RtspInput> input = RtspInput::Open(nullptr, server.Url("/stream"), options, &openResult[s]);
            if (!input) return;
            AVPacket* packet = av_packet_alloc();
            for (int i = 0; i < 1000; ++i) {
                int rc = input->ReadFrame(packet);
                if (rc < 0) {
                    endResult[s] = rc;
                    break;
                }
                ++packets[s];
                av_packet_unref(packet);
            }
            av_packet_free(&packet);
        });
    }
    for (auto& t : threads) t.join();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = CpuSeconds() - cpuStart;
    int total = 0;
    for (int s = 0; s < kStreams; ++s) {
        EXPECT_GE(openResult[s], 0) << "stream " << s;
        // The fixture holds 50 frames; the server ends the session after them.
        EXPECT_GE(packets[s], 48) << "stream " << s;
        EXPECT_LT(endResult[s], 0) << "stream " << s;
        total += packets[s];
    }
    std::printf("load: %d RTSP streams at once: %d packets in %.1f s wall, %.1f s CPU\n", kStreams, total, wall, cpu);
}

// Twelve web-stream decoders at once, two of each video-management system, one thread each,
// every one on a stand-in server of its own with times of its own (clock range, sender-report,
// reply and extension times, first RTP timestamp, frame rate, SSRC): each decoder gives its own
// stream's pictures frame after frame, each with exactly the time its system's rule gives for its
// own stream. A time source shared between decoders (packet callbacks, RTP timing, registries)
// shows as another stream's time.
TEST(Load, TwelveWebStreamDecodersAtOnce) {
    RUVAR_REQUIRE_RTSP_LAYER();
    using namespace RuvarTest::Vms;
    using Halvora::Video::Native::DecoderState;
    constexpr int kDecoders = 12;
    constexpr size_t kRead = 60;
    // Served per session: more than is read, so that no stream ends while its decoder reads.
    constexpr int kServed = 100;
    const std::vector<std::string> pictures = FrameMd5(RuvarTest::VmsFixture());
    ASSERT_EQ(pictures.size(), static_cast<size_t>(kFixtureFrames));

    std::vector<VmsStream> streams;
    for (int d = 0; d < kDecoders; ++d) {
        const int set = d / 6;  // the second decoder of each system: other days, 20 frames/s
        StreamTiming timing;
        timing.step = set == 0 ? 3600 : 4500;
        timing.ts0 = Ts0(timing.step, 97U * static_cast<uint32_t>(d));
        timing.ssrc = 0x10203040U + 0x01010101U * static_cast<uint32_t>(d);
        timing.frames = kServed;
        const uint64_t seconds = static_cast<uint64_t>(set) * 86400 * 3 + 3600ULL * d + 7;
        switch (d % 6) {
            case 0: streams.push_back(MilestoneStream(kNtp2021 + (seconds << 32), set == 0 ? 5 : 3, timing)); break;
            case 1: streams.push_back(SeeTecStream(1600000000000ULL + seconds * 1000 + 250, timing)); break;
            case 2: streams.push_back(VmsAgentStream(static_cast<long long>(seconds), timing)); break;
            case 3: streams.push_back(IssStream(timing)); break;
            case 4: streams.push_back(GenetecStream(kNtp2021 + (seconds << 32), timing)); break;
            default:
                streams.push_back(DvtelStream(kYear1To2021 + static_cast<long long>(seconds) * 10000000LL,
                                              set == 0 ? 400000 : 333333, timing));
                break;
        }
    }
    std::vector<std::unique_ptr<RuvarTest::VmsServer>> servers;
    for (const auto& stream : streams) {
        servers.push_back(std::make_unique<RuvarTest::VmsServer>(stream.config));
        ASSERT_GT(servers.back()->Port(), 0);
    }

    std::vector<WebStreamRun> runs(kDecoders);
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = CpuSeconds();
    std::vector<std::thread> threads;
    for (int d = 0; d < kDecoders; ++d) {
        threads.emplace_back([&, d] {
            WebStreamRun& run = runs[d];
            run.before = NowTicks();
            try {
                auto decoder = Make(streams[d].vendor);
                std::wstring json = L"{\"RtspConnectionTimeout\": \"20000\", \"RtspGetFrameTimeoutParameter\": \"20000\"}";
                run.opened = decoder->Initialize(servers[d]->Url(), -1, json);
                while (run.opened && run.times.size() < kRead) {
                    auto frame = decoder->GetNextFrame();
                    if (!frame || frame->GetDecoderState() != DecoderState::Ok) break;
                    run.digests.push_back(DecoderTest::PlanesMd5(*frame));
                    run.times.push_back(frame->GetFileTimeUtc());
                }
            } catch (const std::exception& e) {
                run.error = e.what();
            }
            run.after = NowTicks();
        });
    }
    for (auto& t : threads) t.join();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = CpuSeconds() - cpuStart;

    size_t frames = 0;
    for (int d = 0; d < kDecoders; ++d) {
        SCOPED_TRACE(streams[d].vendor + " decoder " + std::to_string(d));
        ExpectOwnStream(streams[d], runs[d], pictures, kRead, kServed);
        frames += runs[d].times.size();
    }
    std::printf("load: %d web-stream decoders at once (6 systems x 2): %zu frames in %.1f s wall, %.1f s CPU, "
                "%.0f frames/s in all\n",
                kDecoders, frames, wall, cpu, frames / wall);
}
