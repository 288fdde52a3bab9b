#pragma once

// Raw yuv420p frames read from a file into memory, wrapped as images without copies; shared by
// the writer benchmarks.

#include "Orvi/Yuv420PImage.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

struct RawFrames {
    std::vector<unsigned char> bytes;                  // the whole file
    std::vector<Halvora::Orvi::Yuv420PImage> images;  // one per frame, pointing into `bytes`
};

// Reads `path` as consecutive width x height yuv420p frames. False (with a message) when it holds
// none.
inline bool LoadRawFrames(const char* path, int width, int height, RawFrames& out) {
    std::ifstream in(path, std::ios::binary);
    out.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    const size_t frameSize = static_cast<size_t>(width) * height * 3 / 2;
    const size_t frames = frameSize ? out.bytes.size() / frameSize : 0;
    if (frames < 1) {
        std::fprintf(stderr, "no frames in %s\n", path);
        return false;
    }
    for (size_t i = 0; i < frames; ++i) {
        unsigned char* y = out.bytes.data() + frameSize * i;
        unsigned char* u = y + width * height;
        unsigned char* v = u + (width / 2) * (height / 2);
        out.images.emplace_back(cv::Mat_<unsigned char>(height, width, y),
                                cv::Mat_<unsigned char>(height / 2, width / 2, u),
                                cv::Mat_<unsigned char>(height / 2, width / 2, v));
    }
    return true;
}
