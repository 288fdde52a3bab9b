// Encodes raw yuv420p frames held in memory with GenericVideoWriter and prints the frame rate.
// Usage: GenericWriterBench <frames.yuv> <width> <height> <output.mp4>
// Built and run by generic-writer-vs-ffmpeg.sh.
#include "Common/DateTime.h"
#include "Orvi/Yuv420PImage.h"
#include "RuvarEduzid/GenericVideoWriter.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s frames.yuv width height output.mp4\n", argv[0]);
        return 2;
    }
    const int width = std::atoi(argv[2]);
    const int height = std::atoi(argv[3]);
    std::ifstream in(argv[1], std::ios::binary);
    std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t frameSize = static_cast<size_t>(width) * height * 3 / 2;
    const int frames = static_cast<int>(bytes.size() / frameSize);
    if (frames < 1) {
        std::fprintf(stderr, "no frames in %s\n", argv[1]);
        return 2;
    }
    std::vector<Halvora::Orvi::Yuv420PImage> images;
    for (int i = 0; i < frames; ++i) {
        unsigned char* y = bytes.data() + frameSize * i;
        unsigned char* u = y + width * height;
        unsigned char* v = u + (width / 2) * (height / 2);
        images.emplace_back(cv::Mat_<unsigned char>(height, width, y), cv::Mat_<unsigned char>(height / 2, width / 2, u),
                            cv::Mat_<unsigned char>(height / 2, width / 2, v));
    }
    const std::string out = argv[4];
    const auto start = std::chrono::steady_clock::now();
    {
        Halvora::RuvarEduzid::GenericVideoWriter writer(std::wstring(out.begin(), out.end()), width, height, 2500);
        for (const auto& image : images) writer.WriteFrame(image, Halvora::Common::DateTime());
        // The writer encodes one call late: one more call gets the last frame encoded.
        writer.WriteFrame(images.front(), Halvora::Common::DateTime());
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%d %.6f\n", frames, seconds);
    return 0;
}
