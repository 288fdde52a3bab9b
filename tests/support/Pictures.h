#pragma once

// Pictures for the frame, image and writer tests: test patterns made by the ffmpeg CLI with the
// CLI's own conversions as reference, a host-side IDecodedFrame of any layout, and moving
// synthetic pictures that count their destructions.

#include "Orvi/Yuv420PImage.h"
#include "RuvarEduzid/FfmpegPtr.h"
#include "RuvarEduzid/Native/Interfaces.h"
#include "support/Support.h"

extern "C" {
#include <libavutil/imgutils.h>
}

#include <opencv2/core.hpp>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <tuple>

namespace RuvarTest {

inline std::string SizeText(int width, int height) { return std::to_string(width) + "x" + std::to_string(height); }

// One test-pattern frame as tightly packed raw pixels in `pixFmt` (testsrc for odd sizes).
inline std::string RawPattern(const std::string& pixFmt, int width, int height) {
    return ReadFile(MakeFixture("pattern_" + SizeText(width, height) + "." + pixFmt + ".raw",
                                "-f lavfi -i " + std::string((width | height) & 1 ? "testsrc" : "testsrc2") + "=size=" +
                                    SizeText(width, height) + ":rate=1 -frames:v 1 -pix_fmt " + pixFmt + " -f rawvideo"));
}

// What the CLI makes of the pattern in `fromFmt` converted to `toFmt`, optionally scaled, in one
// swscale call (one filter thread), as the library converts.
inline std::string CliConvert(const std::string& fromFmt, int width, int height, const std::string& toFmt,
                              const std::string& swsFlags = "bicubic", int outWidth = 0, int outHeight = 0) {
    RawPattern(fromFmt, width, height);
    const std::string input = std::string(RUVAR_FIXTURE_DIR) + "/pattern_" + SizeText(width, height) + "." + fromFmt + ".raw";
    const std::string scale = outWidth ? " -vf scale=" + std::to_string(outWidth) + ":" + std::to_string(outHeight) +
                                             ":flags=" + swsFlags
                                       : "";
    return ReadFile(MakeFixture("cli_" + SizeText(width, height) + "." + fromFmt + "_to_" + toFmt + "." + swsFlags +
                                    (outWidth ? "." + SizeText(outWidth, outHeight) : "") + ".raw",
                                "-f rawvideo -pix_fmt " + fromFmt + " -s " + SizeText(width, height) + " -i " +
                                    Quote(input) + " -filter_threads 1 -sws_flags " + swsFlags + scale + " -pix_fmt " +
                                    toFmt + " -f rawvideo"));
}

// A refcounted frame holding tightly packed `bytes` in 32-byte aligned planes.
inline Halvora::RuvarEduzid::AVFramePtr FrameFromRaw(const std::string& bytes, AVPixelFormat format, int width, int height) {
    Halvora::RuvarEduzid::AVFramePtr frame(av_frame_alloc());
    frame->format = format;
    frame->width = width;
    frame->height = height;
    const uint8_t* src[4];
    int srcLinesize[4];
    if (av_frame_get_buffer(frame.get(), 32) < 0 ||
        av_image_fill_arrays(const_cast<uint8_t**>(src), srcLinesize, reinterpret_cast<const uint8_t*>(bytes.data()),
                             format, width, height, 1) < 0)
        throw std::runtime_error("FrameFromRaw");
    av_image_copy(frame->data, frame->linesize, src, srcLinesize, format, width, height);
    return frame;
}

// Planes as one tightly packed buffer (the layout of rawvideo and framemd5).
inline std::string PackPlanes(const uint8_t* const data[4], const int linesize[4], AVPixelFormat format, int width, int height) {
    std::string out(static_cast<size_t>(std::max(0, av_image_get_buffer_size(format, width, height, 1))), '\0');
    av_image_copy_to_buffer(reinterpret_cast<uint8_t*>(&out[0]), static_cast<int>(out.size()), data, linesize, format,
                            width, height, 1);
    return out;
}
inline std::string PackFrame(const AVFrame* f) {
    return PackPlanes(f->data, f->linesize, static_cast<AVPixelFormat>(f->format), f->width, f->height);
}
inline std::string PackYuv420P(const Halvora::Video::Native::IDecodedImage& image) {
    const uint8_t* data[4] = {image.GetY(), image.GetU(), image.GetV(), nullptr};
    const int linesize[4] = {image.StrideY(), image.StrideUV(), image.StrideUV(), 0};
    return PackPlanes(data, linesize, AV_PIX_FMT_YUV420P, image.Width(), image.Height());
}

// Largest difference of two equally long byte strings; -1 when their lengths differ.
inline int MaxDifference(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return -1;
    int worst = 0;
    for (size_t i = 0; i < a.size(); ++i)
        worst = std::max(worst, std::abs(static_cast<unsigned char>(a[i]) - static_cast<unsigned char>(b[i])));
    return worst;
}

// A frame as a host hands it in: its own memory, its own answers.
class HostFrame : public IDecodedFrame {
public:
    std::vector<uint8_t> packed, y, u, v;  // packed pixels, or planes each in an allocation of its own
    int width = 0, height = 0, strideRGB = 0, strideY = 0, strideUV = 0;
    bool flipped = false;
    DecodedImageFormat format = Bgr24;
    DecoderState state = Ok;
    long long time = 0;

    const unsigned char* ImageData() const override { return format == Yuv420P ? GetY() : Or(packed); }
    int DataSize() const override { return static_cast<int>(packed.size()); }
    int Width() const override { return width; }
    int Height() const override { return height; }
    int StrideRGB() const override { return strideRGB; }
    int StrideY() const override { return strideY; }
    int StrideUV() const override { return strideUV; }
    bool IsVerticallyFlipped() const override { return flipped; }
    DecodedImageFormat Format() const override { return format; }
    const unsigned char* GetY() const override { return Or(y); }
    const unsigned char* GetV() const override { return Or(v); }
    const unsigned char* GetU() const override { return Or(u); }
    const unsigned char* GetUV() const override { return nullptr; }
    long long GetFileTimeUtc() const override { return time; }
    DecoderState GetDecoderState() const override { return state; }
    void GetParam(unsigned int, void*, size_t) const override {}
    void MoveToRam() override {}

    // Packed rows (tightly packed in `bytes`) stored `stride` bytes apart, bottom row first when
    // `storeFlipped`.
    void SetPacked(const std::string& bytes, DecodedImageFormat fmt, int w, int h, int bytesPerPixel, int stride,
                   bool storeFlipped) {
        format = fmt;
        width = w;
        height = h;
        packed.assign(static_cast<size_t>(stride) * h, 0xEE);
        for (int r = 0; r < h; ++r)
            std::copy_n(bytes.data() + static_cast<size_t>(r) * w * bytesPerPixel, w * bytesPerPixel,
                        packed.begin() + static_cast<ptrdiff_t>(storeFlipped ? h - 1 - r : r) * stride);
    }
    // 4:2:0 planes from tightly packed bytes, with strides of their own.
    void SetYuv420P(const std::string& bytes, int w, int h, int yStride, int uvStride) {
        format = Yuv420P;
        width = w;
        height = h;
        strideY = yStride;
        strideUV = uvStride;
        const int cw = (w + 1) / 2, ch = (h + 1) / 2;
        const char* p = bytes.data();
        for (auto [plane, rows, cols, stride] : {std::tuple{&y, h, w, yStride}, std::tuple{&u, ch, cw, uvStride},
                                                 std::tuple{&v, ch, cw, uvStride}}) {
            plane->assign(static_cast<size_t>(stride) * rows, 0xEE);
            for (int r = 0; r < rows; ++r, p += cols) std::copy_n(p, cols, plane->begin() + static_cast<ptrdiff_t>(r) * stride);
        }
    }

private:
    static const unsigned char* Or(const std::vector<uint8_t>& b) { return b.empty() ? nullptr : b.data(); }
};

// 100-ns ticks of frame `index` at `fps` after 2026-01-01 UTC.
inline long long FrameTime(int index, double fps) {
    return 134116992000000000LL + static_cast<long long>(index * 10000000.0 / fps + 0.5);
}

// A gradient with a bright square that moves with `index`; `noisy` adds luma noise that changes
// every frame (large packets).
inline void FillPicture(uint8_t* y, int strideY, uint8_t* u, uint8_t* v, int strideUV, int width, int height, int index,
                        bool noisy = false) {
    const int square = std::max(4, width / 8);
    const int sx = (index * 7) % std::max(1, width - square), sy = (index * 3) % std::max(1, height - square);
    for (int r = 0; r < height; ++r)
        for (int c = 0; c < width; ++c) {
            const bool inSquare = c >= sx && c < sx + square && r >= sy && r < sy + square;
            uint8_t value = inSquare ? 235 : static_cast<uint8_t>(16 + (c * 160 / width + r * 40 / height + index) % 200);
            if (noisy) {
                uint32_t h = static_cast<uint32_t>(r * 65536 + c) ^ (static_cast<uint32_t>(index) * 2654435761u);
                h = ((h >> 16) ^ h) * 0x45d9f3bu;
                h = ((h >> 16) ^ h) * 0x45d9f3bu;
                value = static_cast<uint8_t>(value / 2 + ((h >> 16) & 0x7f));
            }
            y[r * strideY + c] = value;
        }
    for (int r = 0; r < (height + 1) / 2; ++r)
        for (int c = 0; c < (width + 1) / 2; ++c) {
            u[r * strideUV + c] = static_cast<uint8_t>(64 + (c * 128 / width + index) % 128);
            v[r * strideUV + c] = static_cast<uint8_t>(64 + (r * 128 / height) % 128);
        }
}

class SyntheticFrame : public HostFrame {
public:
    SyntheticFrame(int w, int h, int index, long long fileTime, bool noisy = false) {
        std::string blank(static_cast<size_t>(w) * h + 2 * static_cast<size_t>((w + 1) / 2) * ((h + 1) / 2), '\0');
        SetYuv420P(blank, w, h, w, (w + 1) / 2);
        FillPicture(y.data(), strideY, u.data(), v.data(), strideUV, w, h, index, noisy);
        time = fileTime;
    }
    ~SyntheticFrame() override { Destroyed()++; }
    static std::atomic<int>& Destroyed() {
        static std::atomic<int> count{0};
        return count;
    }
};

inline std::shared_ptr<IDecodedFrame> MakeFrame(int width, int height, int index, double fps, bool noisy = false) {
    return std::make_shared<SyntheticFrame>(width, height, index, FrameTime(index, fps), noisy);
}

// The same picture as planes owned by OpenCV matrices.
inline Halvora::Orvi::Yuv420PImage MakeImage(int width, int height, int index) {
    cv::Mat_<unsigned char> y(height, width), u((height + 1) / 2, (width + 1) / 2), v((height + 1) / 2, (width + 1) / 2);
    FillPicture(y.data, static_cast<int>(y.step[0]), u.data, v.data, static_cast<int>(u.step[0]), width, height, index);
    return Halvora::Orvi::Yuv420PImage(y, u, v);
}

}  // namespace RuvarTest
