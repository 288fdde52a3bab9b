// Writes raw yuv420p frames read from a file as a two-rendition HLS presentation (1280x720 and
// 640x360, 2 s segments, crf 23) with MultiStreamHlsWriter and prints the frame rate.
// Usage: HlsWriterBench <frames.yuv> <width> <height> <master.m3u8>
// Built and run by hls-writer-vs-ffmpeg.sh.
#include "Common/DateTime.h"
#include "bench/RawFrames.h"
#include "Orvi/Yuv420PImage.h"
#include "RuvarEduzid/VideoWriterFactory.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {
Halvora::RuvarEduzid::H264StreamConfig Rendition(int width, int height) {
    Halvora::RuvarEduzid::H264StreamConfig c{};
    c.height = height;
    c.width = width;
    c.crf = 23;
    c.maxRate = 0;
    c.profile = Halvora::RuvarEduzid::H264ProfileNotSet;
    c.level = Halvora::RuvarEduzid::H264LevelNotSet;
    c.liveGeneration = false;
    c.segmentDuration = 2;
    c.gopsPerSegment = 1;
    return c;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s frames.yuv width height master.m3u8\n", argv[0]);
        return 2;
    }
    const int width = std::atoi(argv[2]);
    const int height = std::atoi(argv[3]);
    RawFrames raw(argv[1], width, height);
    const int frames = raw.Count();
    if (frames < 1) return 2;
    const std::string master = argv[4];
    Halvora::RuvarEduzid::HlsWriterParams params(std::wstring(master.begin(), master.end()), frames / 25.0, 25.0,
                                                 Halvora::RuvarEduzid::GetTsFilePathCb{nullptr});
    params.streams.push_back(Rendition(1280, 720));
    params.streams.push_back(Rendition(640, 360));
    const auto start = std::chrono::steady_clock::now();
    {
        auto writer = Halvora::RuvarEduzid::VideoWriterFactory::CreateHlsWriter(params);
        const long long t0 = Halvora::Common::DateTime::UnixEpochTicks;
        Halvora::Orvi::Yuv420PImage image;
        for (int i = 0; raw.Next(image); ++i) writer->WriteFrame(image, Halvora::Common::DateTime(t0 + i * 400000LL));
    }  // the last frame is encoded when the writer finishes
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%d %.6f\n", frames, seconds);
    return 0;
}
