#pragma once

// Raw yuv420p frames read one by one from a file and wrapped as images without copies, as FFmpeg
// reads its raw input; shared by the writer benchmarks. Two buffers take turns: the writers encode
// one call late, so a frame must stay as it is until the next call has returned.

#include "Orvi/Yuv420PImage.h"

#include <cstdio>
#include <fstream>
#include <vector>

class RawFrames {
public:
    RawFrames(const char* path, int width, int height)
        : m_in(path, std::ios::binary | std::ios::ate), m_width(width), m_height(height),
          m_frameSize(static_cast<size_t>(width) * height * 3 / 2) {
        const size_t size = m_in ? static_cast<size_t>(m_in.tellg()) : 0;
        m_count = m_frameSize ? static_cast<int>(size / m_frameSize) : 0;
        m_in.seekg(0);
        if (m_count < 1) std::fprintf(stderr, "no frames in %s\n", path);
    }
    int Count() const { return m_count; }
    // The next frame, valid until the call after the next; false after the last one.
    bool Next(Halvora::Orvi::Yuv420PImage& image) {
        std::vector<unsigned char>& buffer = m_buffers[m_next ^= 1];
        buffer.resize(m_frameSize);
        if (!m_in.read(reinterpret_cast<char*>(buffer.data()), static_cast<std::streamsize>(m_frameSize))) return false;
        unsigned char* y = buffer.data();
        unsigned char* u = y + m_width * m_height;
        unsigned char* v = u + (m_width / 2) * (m_height / 2);
        image = Halvora::Orvi::Yuv420PImage(cv::Mat_<unsigned char>(m_height, m_width, y),
                                            cv::Mat_<unsigned char>(m_height / 2, m_width / 2, u),
                                            cv::Mat_<unsigned char>(m_height / 2, m_width / 2, v));
        return true;
    }

private:
    std::ifstream m_in;
    int m_width, m_height;
    size_t m_frameSize;
    std::vector<unsigned char> m_buffers[2];
    int m_next = 0;
    int m_count = 0;
};
