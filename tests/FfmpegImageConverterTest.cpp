// FfmpegImageConverter and the exported RuvarEduzid_YV420toRGB24 / RuvarEduzid_ReleaseBuffer:
// converted pixels against the ffmpeg CLI, the V/U argument order, copy and move safety, and
// sizes swscale refuses.
#include "Common/Exception.h"
#include "RuvarEduzid/FfmpegImageConverter.h"
#include "support/PictureSupport.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <type_traits>

using namespace Halvora::RuvarEduzid;
using namespace Halvora::Video::Native;
using Halvora::Common::CodeErrorException;
using RuvarTest::CliConvert;
using RuvarTest::FrameFromRaw;
using RuvarTest::MaxDifference;
using RuvarTest::RawPattern;

namespace {

// Rows of a packed picture (rowBytes of each of `rows` rows at `stride`) as one string.
std::string PackedRows(const uint8_t* data, int stride, int rowBytes, int rows) {
    std::string out;
    for (int r = 0; r < rows; ++r)
        out.append(reinterpret_cast<const char*>(data) + static_cast<ptrdiff_t>(r) * stride,
                   static_cast<size_t>(rowBytes));
    return out;
}

struct RgbBuffer {
    unsigned char* data = nullptr;
    ~RgbBuffer() { RuvarEduzid_ReleaseBuffer(data); }
};

// Converts one solid YUV colour; returns the R, G, B of the picture's last pixel.
std::array<int, 3> SolidColour(uint8_t yValue, uint8_t cb, uint8_t cr, bool swapChroma) {
    constexpr int w = 32, h = 16;
    std::vector<uint8_t> y(w * h, yValue), u(w * h / 4, cb), v(w * h / 4, cr);
    int stride = 0;
    RgbBuffer rgb;
    rgb.data = swapChroma ? RuvarEduzid_YV420toRGB24(y.data(), u.data(), v.data(), w, h, w, w / 2, &stride)
                          : RuvarEduzid_YV420toRGB24(y.data(), v.data(), u.data(), w, h, w, w / 2, &stride);
    if (!rgb.data) return {-1, -1, -1};
    const unsigned char* p = rgb.data + (h - 1) * stride + (w - 1) * 3;
    return {p[0], p[1], p[2]};
}

}  // namespace

// ---- RuvarEduzid_YV420toRGB24 ---------------------------------------------------------------

TEST(YV420toRGB24, MatchesTheCliAndReportsTheAlignedStride) {
    constexpr int W = 100, H = 50;
    AVFramePtr source = FrameFromRaw(RawPattern("yuv420p", W, H), AV_PIX_FMT_YUV420P, W, H);
    int stride = -1;
    RgbBuffer rgb;
    rgb.data = RuvarEduzid_YV420toRGB24(source->data[0], source->data[2], source->data[1], W, H,
                                        source->linesize[0], source->linesize[1], &stride);
    ASSERT_NE(rgb.data, nullptr);
    EXPECT_EQ(stride, 320);  // 300 bytes a row, rounded up to 32
    // Reading all 50 rows of 320 bytes stays inside the buffer (AddressSanitizer watches).
    std::string rows = PackedRows(rgb.data, stride, stride, H);
    EXPECT_EQ(rows.size(), 320u * 50u);
    EXPECT_EQ(MaxDifference(PackedRows(rgb.data, stride, W * 3, H), CliConvert("yuv420p", W, H, "rgb24")), 0);

    RgbBuffer noStride;
    noStride.data = RuvarEduzid_YV420toRGB24(source->data[0], source->data[2], source->data[1], W, H,
                                             source->linesize[0], source->linesize[1], nullptr);
    ASSERT_NE(noStride.data, nullptr);
    EXPECT_EQ(std::memcmp(noStride.data, rgb.data, 320 * 50), 0);
}

TEST(YV420toRGB24, SecondArgumentIsVAndThirdIsU) {
    // Pure red in limited-range BT.601: Y 81, Cb 90, Cr 240.
    auto red = SolidColour(81, 90, 240, false);
    EXPECT_GE(red[0], 250);
    EXPECT_LE(red[1], 5);
    EXPECT_LE(red[2], 5);
    // Pure blue: Y 41, Cb 240, Cr 110.
    auto blue = SolidColour(41, 240, 110, false);
    EXPECT_LE(blue[0], 5);
    EXPECT_LE(blue[1], 5);
    EXPECT_GE(blue[2], 250);
    // The chroma planes passed the other way round give a different colour entirely.
    auto swapped = SolidColour(81, 90, 240, true);
    EXPECT_LT(swapped[0], 100);
    EXPECT_GT(swapped[2], 150);
}

TEST(YV420toRGB24, RefusedPicturesGiveNullAndNoStride) {
    std::vector<uint8_t> plane(64 * 64, 128);
    for (auto size : {std::make_pair(0, 16), std::make_pair(16, 0), std::make_pair(-4, 16)}) {
        int stride = 12345;
        EXPECT_EQ(RuvarEduzid_YV420toRGB24(plane.data(), plane.data(), plane.data(), size.first, size.second, 64, 32,
                                           &stride),
                  nullptr)
            << size.first << "x" << size.second;
        EXPECT_EQ(stride, 12345);
    }
    EXPECT_EQ(RuvarEduzid_YV420toRGB24(nullptr, plane.data(), plane.data(), 16, 16, 64, 32, nullptr), nullptr);
    EXPECT_EQ(RuvarEduzid_YV420toRGB24(plane.data(), nullptr, plane.data(), 16, 16, 64, 32, nullptr), nullptr);
    RuvarEduzid_ReleaseBuffer(nullptr);  // releasing nothing is harmless
}

// ---- FfmpegImageConverter -------------------------------------------------------------------

TEST(FfmpegImageConverter, FormatTable) {
    EXPECT_EQ(FfmpegImageConverter::DecodedImageFormatToFfmpegFormat(Bgr24), AV_PIX_FMT_BGR24);
    EXPECT_EQ(FfmpegImageConverter::DecodedImageFormatToFfmpegFormat(Rgb24), AV_PIX_FMT_RGB24);
    EXPECT_EQ(FfmpegImageConverter::DecodedImageFormatToFfmpegFormat(Bgra32), AV_PIX_FMT_BGRA);
    EXPECT_EQ(FfmpegImageConverter::DecodedImageFormatToFfmpegFormat(Abgr32), AV_PIX_FMT_ABGR);
    EXPECT_EQ(FfmpegImageConverter::DecodedImageFormatToFfmpegFormat(Yuv420P), AV_PIX_FMT_YUV420P);
    EXPECT_EQ(FfmpegImageConverter::DecodedImageFormatToFfmpegFormat(Cuda), AV_PIX_FMT_BGR24);
    for (int other : {0, 5, 6, 8, 100})
        EXPECT_EQ(FfmpegImageConverter::DecodedImageFormatToFfmpegFormat(static_cast<DecodedImageFormat>(other)),
                  AV_PIX_FMT_BGR24);
}

class FfmpegImageConverterPixels : public ::testing::Test {
protected:
    static constexpr int W = 640, H = 480;

    void SetUp() override { source = FrameFromRaw(RawPattern("yuv420p", W, H), AV_PIX_FMT_YUV420P, W, H); }

    // A BGR destination one row taller than the converter's height, every byte 0xAB.
    static AVFramePtr Destination() {
        AVFramePtr d(av_frame_alloc());
        d->format = AV_PIX_FMT_BGR24;
        d->width = W;
        d->height = H + 1;
        EXPECT_EQ(av_frame_get_buffer(d.get(), 32), 0);
        std::memset(d->data[0], 0xAB, static_cast<size_t>(d->linesize[0]) * (H + 1));
        return d;
    }

    // Exactly `height` rows written, matching the CLI; the row below untouched.
    void ExpectConverted(const FfmpegImageConverter& converter) {
        AVFramePtr destination = Destination();
        converter.Convert(source.get(), destination.get());
        EXPECT_EQ(MaxDifference(PackedRows(destination->data[0], destination->linesize[0], W * 3, H),
                                CliConvert("yuv420p", W, H, "bgr24")),
                  0);
        EXPECT_EQ(PackedRows(destination->data[0] + destination->linesize[0] * H, 0, W * 3, 1),
                  std::string(W * 3, '\xAB'));
    }

    AVFramePtr source;
};

TEST_F(FfmpegImageConverterPixels, ConvertsExactlyHeightRowsHeightGivenFirst) {
    FfmpegImageConverter converter(Yuv420P, Bgr24, H, W);
    EXPECT_EQ(converter.Height(), H);
    EXPECT_EQ(converter.Width(), W);
    ExpectConverted(converter);
}

TEST_F(FfmpegImageConverterPixels, CopiesAndMovesNeverShareOrDoubleFreeAContext) {
    static_assert(std::is_copy_constructible<FfmpegImageConverter>::value, "copyable");
    auto original = std::make_unique<FfmpegImageConverter>(Yuv420P, Bgr24, H, W);
    FfmpegImageConverter copy(*original);
    FfmpegImageConverter assigned(Rgb24, Bgr24, 2, 2);
    assigned = *original;
    original.reset();  // copies outlive the original
    ExpectConverted(copy);
    ExpectConverted(assigned);

    const FfmpegImageConverter& self = assigned;
    assigned = self;  // self-assignment keeps a working converter
    ExpectConverted(assigned);

    FfmpegImageConverter moved(std::move(copy));
    ExpectConverted(moved);
    EXPECT_THROW(copy.Convert(source.get(), Destination().get()), CodeErrorException);  // moved-from
    FfmpegImageConverter target(Rgb24, Bgr24, 2, 2);
    target = std::move(moved);
    ExpectConverted(target);
    EXPECT_THROW(moved.Convert(source.get(), Destination().get()), CodeErrorException);

    FfmpegImageConverter fromMovedFrom(moved);  // a copy of nothing converts nothing
    EXPECT_THROW(fromMovedFrom.Convert(source.get(), Destination().get()), CodeErrorException);
    EXPECT_THROW(target.Convert(nullptr, Destination().get()), CodeErrorException);
}

TEST(FfmpegImageConverter, SizesSwscaleRefusesReportFailure) {
    for (auto size : {std::make_pair(0, 640), std::make_pair(480, 0), std::make_pair(-1, 640)})
        EXPECT_THROW(FfmpegImageConverter(Yuv420P, Bgr24, size.first, size.second), CodeErrorException)
            << size.first << "x" << size.second;
}

// ---- what the host sees ---------------------------------------------------------------------

TEST(FrameClassesExport, HostReachesTheFrameClassesButNotTheProxy) {
    std::string symbols;
    ASSERT_EQ(RuvarTest::RunCommand("nm -D --defined-only -C " + RuvarTest::Quote(RUVAR_SHARED_LIBRARY), &symbols), 0);
    for (const char* name :
         {"Halvora::RuvarEduzid::DecodedAvFrame::DecodedAvFrame(long, AVFrame*)",
          "Halvora::RuvarEduzid::DecodedAvFrame::DecodedAvFrame(Halvora::Video::Native::IDecodedFrame*)",
          "typeinfo for Halvora::RuvarEduzid::DecodedAvFrame",
          "Halvora::Orvi::Yuv420PImage::Yuv420PImage(cv::Mat_<unsigned char> const&",
          "typeinfo for Halvora::Orvi::Yuv420PImage",
          "Halvora::RuvarEduzid::Yuv420PFrame::Resize(int, int, bool)",
          "Halvora::RuvarEduzid::FfmpegImageConverter::Convert(AVFrame const*, AVFrame*) const",
          "Halvora::RuvarEduzid::FfmpegImageConverter::DecodedImageFormatToFfmpegFormat"})
        EXPECT_NE(symbols.find(name), std::string::npos) << name;
    EXPECT_EQ(symbols.find("AVFrameProxy"), std::string::npos);
}
