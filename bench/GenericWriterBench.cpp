// Encodes raw yuv420p frames read from a file with GenericVideoWriter and prints the frame rate.
// Usage: GenericWriterBench <frames.yuv> <width> <height> <output.mp4>
// Built and run by generic-writer-vs-ffmpeg.sh.
#include "Common/DateTime.h"
#include "bench/RawFrames.h"
#include "Orvi/Yuv420PImage.h"
#include "RuvarEduzid/GenericVideoWriter.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s frames.yuv width height output.mp4\n", argv[0]);
        return 2;
    }
    const int width = std::atoi(argv[2]);
    const int height = std::atoi(argv[3]);
    RawFrames raw(argv[1], width, height);
    const int frames = raw.Count();
    if (frames < 1) return 2;
    const std::string out = argv[4];
    const auto start = std::chrono::steady_clock::now();
    {
        Halvora::RuvarEduzid::GenericVideoWriter writer(std::wstring(out.begin(), out.end()), width, height, 2500);
        Halvora::Orvi::Yuv420PImage image;
        while (raw.Next(image)) writer.WriteFrame(image, Halvora::Common::DateTime());
        // The writer encodes one call late: one more call gets the last frame encoded.
        writer.WriteFrame(image, Halvora::Common::DateTime());
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%d %.6f\n", frames, seconds);
    return 0;
}
