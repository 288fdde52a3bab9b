#pragma once

// Pictures for the frame and image tests: test-pattern pixels made by the ffmpeg CLI, the CLI's
// own conversion of the same pixels as reference, and a host-side IDecodedFrame.

#include "RuvarEduzid/FfmpegPtr.h"
#include "RuvarEduzid/Native/Interfaces.h"
#include "support/TestSupport.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace RuvarTest {

inline std::string SizeText(int width, int height) { return std::to_string(width) + "x" + std::to_string(height); }

// Path of one test-pattern frame (testsrc2; testsrc for odd sizes, which testsrc2 rounds) as tightly packed raw pixels in `pixFmt` (an FFmpeg name).
inline std::string RawPatternFile(const std::string& pixFmt, int width, int height) {
    return MakeFixture("pattern_" + SizeText(width, height) + "." + pixFmt + ".raw",
                       "-f lavfi -i " + std::string((width | height) & 1 ? "testsrc" : "testsrc2") +
                           "=size=" + SizeText(width, height) + ":rate=1 -frames:v 1 -pix_fmt " +
                           pixFmt + " -f rawvideo");
}

inline std::string RawPattern(const std::string& pixFmt, int width, int height) {
    return ReadFile(RawPatternFile(pixFmt, width, height));
}

// What the ffmpeg CLI makes of the pattern in `fromFmt` converted to `toFmt` (tightly packed),
// optionally scaled to another size; `swsFlags` as the CLI's -sws_flags. One filter thread: the
// CLI then converts the picture in one swscale call, as the library does (sliced conversion
// rounds some packed-RGB chroma differently at slice edges).
inline std::string CliConvert(const std::string& fromFmt, int width, int height, const std::string& toFmt,
                              const std::string& swsFlags = "bicubic", int outWidth = 0, int outHeight = 0) {
    const std::string input = RawPatternFile(fromFmt, width, height);
    std::string scale;
    std::string name = "cli_" + SizeText(width, height) + "." + fromFmt + "_to_" + toFmt + "." + swsFlags;
    if (outWidth > 0) {
        scale = " -vf scale=" + std::to_string(outWidth) + ":" + std::to_string(outHeight) + ":flags=" + swsFlags;
        name += "." + SizeText(outWidth, outHeight);
    }
    return ReadFile(MakeFixture(name + ".raw", "-f rawvideo -pix_fmt " + fromFmt + " -s " + SizeText(width, height) +
                                                   " -i " + Quote(input) + " -filter_threads 1 -sws_flags " + swsFlags + scale +
                                                   " -pix_fmt " + toFmt + " -f rawvideo"));
}

// A refcounted frame holding tightly packed `bytes` copied into 32-byte aligned planes.
inline Halvora::RuvarEduzid::AVFramePtr FrameFromRaw(const std::string& bytes, AVPixelFormat format, int width,
                                                    int height) {
    Halvora::RuvarEduzid::AVFramePtr frame(av_frame_alloc());
    frame->format = format;
    frame->width = width;
    frame->height = height;
    if (av_frame_get_buffer(frame.get(), 32) < 0) throw std::runtime_error("av_frame_get_buffer");
    const uint8_t* src[4];
    int srcLinesize[4];
    if (av_image_fill_arrays(const_cast<uint8_t**>(src), srcLinesize,
                             reinterpret_cast<const uint8_t*>(bytes.data()), format, width, height, 1) < 0)
        throw std::runtime_error("av_image_fill_arrays");
    av_image_copy(frame->data, frame->linesize, src, srcLinesize, format, width, height);
    return frame;
}

// The planes as one tightly packed buffer (the layout of rawvideo and framemd5).
inline std::string PackPlanes(const uint8_t* const data[4], const int linesize[4], AVPixelFormat format, int width,
                              int height) {
    int size = av_image_get_buffer_size(format, width, height, 1);
    if (size < 0) throw std::runtime_error("av_image_get_buffer_size");
    std::string out(static_cast<size_t>(size), '\0');
    av_image_copy_to_buffer(reinterpret_cast<uint8_t*>(&out[0]), size, data, linesize, format, width, height, 1);
    return out;
}

inline std::string PackFrame(const AVFrame* frame) {
    return PackPlanes(frame->data, frame->linesize, static_cast<AVPixelFormat>(frame->format), frame->width,
                      frame->height);
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
class HostFrame : public Halvora::Video::Native::IDecodedFrame {
public:
    using Format_t = Halvora::Video::Native::DecodedImageFormat;
    using State_t = Halvora::Video::Native::DecoderState;

    std::vector<uint8_t> packed;  // ImageData() for packed layouts
    std::vector<uint8_t> y, u, v;  // planes for Yuv420P, each its own allocation
    int width = 0, height = 0, strideRGB = 0, strideY = 0, strideUV = 0;
    bool flipped = false;
    Format_t format = Halvora::Video::Native::Bgr24;
    State_t state = Halvora::Video::Native::Ok;
    long long time = 0;

    const unsigned char* ImageData() const override {
        return format == Halvora::Video::Native::Yuv420P ? GetY() : (packed.empty() ? nullptr : packed.data());
    }
    int DataSize() const override { return static_cast<int>(packed.size()); }
    int Width() const override { return width; }
    int Height() const override { return height; }
    int StrideRGB() const override { return strideRGB; }
    int StrideY() const override { return strideY; }
    int StrideUV() const override { return strideUV; }
    bool IsVerticallyFlipped() const override { return flipped; }
    Format_t Format() const override { return format; }
    const unsigned char* GetY() const override { return y.empty() ? nullptr : y.data(); }
    const unsigned char* GetV() const override { return v.empty() ? nullptr : v.data(); }
    const unsigned char* GetU() const override { return u.empty() ? nullptr : u.data(); }
    const unsigned char* GetUV() const override { return nullptr; }
    long long GetFileTimeUtc() const override { return time; }
    State_t GetDecoderState() const override { return state; }
    void GetParam(unsigned int, void*, size_t) const override {}
    void MoveToRam() override {}

    // Packed pixels (tightly packed rows in `bytes`) stored with `stride` bytes a row, bottom row
    // first when `storeFlipped`.
    void SetPacked(const std::string& bytes, Format_t fmt, int w, int h, int bytesPerPixel, int stride,
                   bool storeFlipped) {
        format = fmt;
        width = w;
        height = h;
        packed.assign(static_cast<size_t>(stride) * h, 0xEE);
        for (int r = 0; r < h; ++r) {
            int dst = storeFlipped ? h - 1 - r : r;
            std::copy_n(bytes.data() + static_cast<size_t>(r) * w * bytesPerPixel, w * bytesPerPixel,
                        packed.begin() + static_cast<ptrdiff_t>(dst) * stride);
        }
    }

    // Planar YUV 4:2:0 from tightly packed bytes, each plane with its own stride and allocation.
    void SetYuv420P(const std::string& bytes, int w, int h, int yStride, int uvStride) {
        format = Halvora::Video::Native::Yuv420P;
        width = w;
        height = h;
        strideY = yStride;
        strideUV = uvStride;
        const int cw = (w + 1) / 2, ch = (h + 1) / 2;
        y.assign(static_cast<size_t>(yStride) * h, 0xEE);
        u.assign(static_cast<size_t>(uvStride) * ch, 0xEE);
        v.assign(static_cast<size_t>(uvStride) * ch, 0xEE);
        const char* p = bytes.data();
        for (int r = 0; r < h; ++r, p += w) std::copy_n(p, w, y.begin() + static_cast<ptrdiff_t>(r) * yStride);
        for (int r = 0; r < ch; ++r, p += cw) std::copy_n(p, cw, u.begin() + static_cast<ptrdiff_t>(r) * uvStride);
        for (int r = 0; r < ch; ++r, p += cw) std::copy_n(p, cw, v.begin() + static_cast<ptrdiff_t>(r) * uvStride);
    }
};

}  // namespace RuvarTest
