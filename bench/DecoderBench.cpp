// Decodes a file with FFMpegDecoder and prints "<seconds> <frames>".
#include "Common/StringUtility.h"
#include "RuvarEduzid/FFMpegDecoder.h"

#include <chrono>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: DecoderBench FILE\n");
        return 2;
    }
    using namespace Halvora::Video::Native;
    Halvora::RuvarEduzid::FFMpegDecoder decoder;
    VideoFileInfo info(Halvora::Common::StringUtility::StringToWstring(argv[1]));
    auto start = std::chrono::steady_clock::now();
    if (!decoder.Initialize(info, nullptr)) return 1;
    long frames = 0;
    for (;;) {
        auto frame = decoder.GetNextFrame();
        if (frame->GetDecoderState() != Ok) break;
        ++frames;
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%.4f %ld\n", seconds, frames);
    return 0;
}
