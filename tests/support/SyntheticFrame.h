#pragma once

// A host-side YUV 4:2:0 frame with a moving test picture, for the writer tests. Counts its
// destructions, so tests can tell that an adopted frame is freed exactly once.

#include "Orvi/Yuv420PImage.h"
#include "RuvarEduzid/Native/Interfaces.h"

#include <opencv2/core.hpp>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace RuvarTest {

// 100-ns ticks of `index` frames at `fps` after a fixed start (2026-01-01 UTC).
inline long long FrameTime(int index, double fps) {
    const long long start = 134116992000000000LL;
    return start + static_cast<long long>(index * 10000000.0 / fps + 0.5);
}

// Fills three planes with a gradient and a bright square that moves with `index`; `noisy` adds
// luma noise that changes every frame (large packets).
inline void FillPicture(uint8_t* y, int strideY, uint8_t* u, uint8_t* v, int strideUV, int width, int height,
                        int index, bool noisy = false) {
    const int square = std::max(4, width / 8);
    const int sx = (index * 7) % std::max(1, width - square);
    const int sy = (index * 3) % std::max(1, height - square);
    for (int r = 0; r < height; ++r)
        for (int c = 0; c < width; ++c) {
            bool inSquare = c >= sx && c < sx + square && r >= sy && r < sy + square;
            y[r * strideY + c] = inSquare ? 235 : static_cast<uint8_t>(16 + (c * 160 / width + r * 40 / height + index) % 200);
            if (noisy) {
                uint32_t h = static_cast<uint32_t>(r * 65536 + c) ^ (static_cast<uint32_t>(index) * 2654435761u);
                h ^= h >> 16;
                h *= 0x7feb352du;
                h ^= h >> 15;
                h *= 0x846ca68bu;
                h ^= h >> 16;
                y[r * strideY + c] = static_cast<uint8_t>(y[r * strideY + c] / 2 + (h >> 25));
            }
        }
    for (int r = 0; r < (height + 1) / 2; ++r)
        for (int c = 0; c < (width + 1) / 2; ++c) {
            u[r * strideUV + c] = static_cast<uint8_t>(64 + (c * 128 / width + index) % 128);
            v[r * strideUV + c] = static_cast<uint8_t>(64 + (r * 128 / height) % 128);
        }
}

class SyntheticFrame : public Halvora::Video::Native::IDecodedFrame {
public:
    SyntheticFrame(int width, int height, int index, long long fileTime, bool noisy = false)
        : m_width(width), m_height(height), m_time(fileTime), m_strideY(width), m_strideUV((width + 1) / 2),
          m_y(static_cast<size_t>(m_strideY) * height), m_u(static_cast<size_t>(m_strideUV) * ((height + 1) / 2)),
          m_v(m_u.size()) {
        FillPicture(m_y.data(), m_strideY, m_u.data(), m_v.data(), m_strideUV, width, height, index, noisy);
    }
    ~SyntheticFrame() override { Destroyed()++; }

    static std::atomic<int>& Destroyed() {
        static std::atomic<int> count{0};
        return count;
    }

    const unsigned char* ImageData() const override { return m_y.data(); }
    int DataSize() const override { return static_cast<int>(m_y.size() + m_u.size() + m_v.size()); }
    int Width() const override { return m_width; }
    int Height() const override { return m_height; }
    int StrideRGB() const override { return 0; }
    int StrideY() const override { return m_strideY; }
    int StrideUV() const override { return m_strideUV; }
    bool IsVerticallyFlipped() const override { return false; }
    Halvora::Video::Native::DecodedImageFormat Format() const override {
        return Halvora::Video::Native::DecodedImageFormat::Yuv420P;
    }
    const unsigned char* GetY() const override { return m_y.data(); }
    const unsigned char* GetV() const override { return m_v.data(); }
    const unsigned char* GetU() const override { return m_u.data(); }
    const unsigned char* GetUV() const override { return nullptr; }
    long long GetFileTimeUtc() const override { return m_time; }
    Halvora::Video::Native::DecoderState GetDecoderState() const override {
        return Halvora::Video::Native::DecoderState::Ok;
    }
    void GetParam(unsigned int, void*, size_t) const override {}
    void MoveToRam() override {}

private:
    int m_width, m_height;
    long long m_time;
    int m_strideY, m_strideUV;
    std::vector<uint8_t> m_y, m_u, m_v;
};

inline std::shared_ptr<Halvora::Video::Native::IDecodedFrame> MakeFrame(int width, int height, int index, double fps,
                                                                       bool noisy = false) {
    return std::make_shared<SyntheticFrame>(width, height, index, FrameTime(index, fps), noisy);
}

// The same picture as planes owned by OpenCV matrices.
inline Halvora::Orvi::Yuv420PImage MakeImage(int width, int height, int index) {
    cv::Mat_<unsigned char> y(height, width), u((height + 1) / 2, (width + 1) / 2), v((height + 1) / 2, (width + 1) / 2);
    FillPicture(y.data, static_cast<int>(y.step[0]), u.data, v.data, static_cast<int>(u.step[0]), width, height, index);
    return Halvora::Orvi::Yuv420PImage(y, u, v);
}

}  // namespace RuvarTest
