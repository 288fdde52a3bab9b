// Many writers and decoders in one process at once, each driven by its own host thread (the
// threaded load that scripts/tsan.sh runs under ThreadSanitizer).
#include "Common/StringUtility.h"
#include "RuvarEduzid/HlsWriterParams.h"
#include "RuvarEduzid/VideoWriterFactory.h"
#include "support/HlsTestSupport.h"
#include "support/SyntheticFrame.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <cstdio>
#include <thread>
#include <vector>

using Halvora::Common::StringUtility;
using Halvora::RuvarEduzid::GetTsFilePathCb;
using Halvora::RuvarEduzid::HlsWriterParams;
using Halvora::RuvarEduzid::VideoWriterFactory;
using namespace RuvarTest;

namespace {

// Seconds of CPU time of the whole process.
double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
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
