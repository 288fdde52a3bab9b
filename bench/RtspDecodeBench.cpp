// Decodes COUNT live streams of one RTSP address at once in one process, as a host with many
// cameras does: one FFMpegDecoder (one decoding thread) per stream, each driven by a thread of its
// own, until every stream ends or a time limit passes. Prints
// "<frames of all streams> <cpu seconds> <peak resident KiB> <fewest frames of one stream>".
// Usage: RtspDecodeBench <rtsp url> <count> <seconds>

#include "RuvarEduzid/FFMpegDecoder.h"
#include "RuvarEduzid/Native/VideoFileInfo.h"

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using namespace Halvora::RuvarEduzid;
using namespace Halvora::Video::Native;

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s rtsp-url count seconds\n", argv[0]);
        return 2;
    }
    const std::string url = argv[1];
    const int count = std::max(1, std::atoi(argv[2]));
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(std::atof(argv[3]));
    std::vector<long> frames(count, 0);
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i)
        threads.emplace_back([&, i] {
            FFMpegDecoder decoder;
            if (!decoder.Initialize(VideoFileInfo(std::wstring(url.begin(), url.end())), nullptr)) {
                ++failed;
                return;
            }
            while (std::chrono::steady_clock::now() < end && decoder.GetNextFrame()->GetDecoderState() == Ok)
                ++frames[i];
        });
    for (auto& t : threads) t.join();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
                       usage.ru_stime.tv_usec / 1e6;
    long total = 0;
    for (long f : frames) total += f;
    std::printf("%ld %.3f %ld %ld\n", total, cpu, usage.ru_maxrss, *std::min_element(frames.begin(), frames.end()));
    if (failed) std::fprintf(stderr, "%d of %d streams did not open\n", failed.load(), count);
    return failed ? 1 : 0;
}
