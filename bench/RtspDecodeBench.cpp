// Decodes an RTSP stream through FFMpegDecoder (and so through the library's RTSP layer) until the
// stream ends or a time limit passes; prints "<frames> <cpu seconds>" (user + system of the process).
// Usage: RtspDecodeBench <rtsp url> <seconds>

#include "RuvarEduzid/FFMpegDecoder.h"
#include "RuvarEduzid/Native/VideoFileInfo.h"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

using namespace Halvora::RuvarEduzid;
using namespace Halvora::Video::Native;

static double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
}

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s rtsp-url seconds\n", argv[0]);
        return 2;
    }
    const std::string url = argv[1];
    const double seconds = std::atof(argv[2]);
    const double cpuStart = CpuSeconds();
    FFMpegDecoder decoder;
    VideoFileInfo info(std::wstring(url.begin(), url.end()));
    if (!decoder.Initialize(info, nullptr)) {
        std::fprintf(stderr, "cannot open %s\n", url.c_str());
        return 1;
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    long frames = 0;
    while (std::chrono::steady_clock::now() < end) {
        auto frame = decoder.GetNextFrame();
        if (frame->GetDecoderState() != Ok) break;
        ++frames;
    }
    std::printf("%ld %.3f\n", frames, CpuSeconds() - cpuStart);
    return 0;
}
