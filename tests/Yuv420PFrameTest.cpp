// Orvi::Yuv420PImage (the three-plane image every writer accepts) and Yuv420PFrame (a decoded
// frame seen as such an image without copying pixels).
#include "Common/Exception.h"
#include "Common/Logger.h"
#include "Orvi/Yuv420PImage.h"
#include "RuvarEduzid/DecodedAvFrame.h"
#include "RuvarEduzid/Native/EmptyFrame.h"
#include "RuvarEduzid/Yuv420PFrame.h"
#include "support/PictureSupport.h"

#include <gtest/gtest.h>

using namespace Halvora::RuvarEduzid;
using namespace Halvora::Video::Native;
using Halvora::Common::CodeErrorException;
using Halvora::Common::DateTime;
using Halvora::Common::ScopedLogCapture;
using Halvora::Orvi::Yuv420PImage;
using RuvarTest::CliConvert;
using RuvarTest::FrameFromRaw;
using RuvarTest::HostFrame;
using RuvarTest::MaxDifference;
using RuvarTest::RawPattern;
using Plane = cv::Mat_<unsigned char>;

namespace {

constexpr long long kTime = 133000000000000000LL;

std::shared_ptr<DecodedAvFrame> DecodedPattern(int width, int height) {
    AVFramePtr decoded = FrameFromRaw(RawPattern("yuv420p", width, height), AV_PIX_FMT_YUV420P, width, height);
    return std::make_shared<DecodedAvFrame>(kTime, decoded.get());
}

// True when [p, p + 1) lies inside [begin, begin + size).
bool Inside(const void* p, const void* begin, size_t size) {
    auto a = reinterpret_cast<uintptr_t>(p), b = reinterpret_cast<uintptr_t>(begin);
    return a >= b && a < b + size;
}

double MeanDifference(const std::string& a, const std::string& b) {
    if (a.size() != b.size() || a.empty()) return 1e9;
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i)
        sum += std::abs(static_cast<unsigned char>(a[i]) - static_cast<unsigned char>(b[i]));
    return sum / static_cast<double>(a.size());
}

std::string PlaneBytes(const Plane& m) {
    std::string out;
    for (int r = 0; r < m.rows; ++r) out.append(reinterpret_cast<const char*>(m.ptr(r)), static_cast<size_t>(m.cols));
    return out;
}

}  // namespace

// ---- Orvi::Yuv420PImage ---------------------------------------------------------------------

TEST(Yuv420PImage, ChecksOnlyURowsAndVColumns) {
    Yuv420PImage empty;
    EXPECT_TRUE(empty.yMat.empty());
    EXPECT_TRUE(empty.uMat.empty());
    EXPECT_TRUE(empty.vMat.empty());

    ScopedLogCapture capture(0);
    try {
        Yuv420PImage bad(Plane(4, 4), Plane(2, 2), Plane(2, 3));
        ADD_FAILURE() << "V with 3 columns for 4 luma columns was accepted";
    } catch (const CodeErrorException& e) {
        const std::string message =
            " Not a Yuv420p image! yMat.cols = 4 vMat.cols = 3 yMat.rows = 4 vMat.rows = 2 uMat.rows = 2";
        EXPECT_EQ(e.Message(), message);
        EXPECT_TRUE(capture.Sink().Contains("Throw: " + message, 4));
    }
    EXPECT_THROW(Yuv420PImage(Plane(4, 4), Plane(3, 2), Plane(2, 2)), CodeErrorException);  // U rows
    EXPECT_NO_THROW(Yuv420PImage(Plane(4, 4), Plane(2, 7), Plane(5, 2)));
    // Odd sizes round up: 5 x 5 luma takes 3 x 3 chroma.
    EXPECT_NO_THROW(Yuv420PImage(Plane(5, 5), Plane(3, 3), Plane(3, 3)));
    EXPECT_THROW(Yuv420PImage(Plane(5, 5), Plane(2, 2), Plane(2, 2)), CodeErrorException);
}

TEST(Yuv420PImage, CopiesSharePixels) {
    Yuv420PImage image(Plane(4, 4, uchar(1)), Plane(2, 2, uchar(2)), Plane(2, 2, uchar(3)));
    Yuv420PImage copy(image);
    Yuv420PImage assigned;
    assigned = image;
    EXPECT_EQ(copy.yMat.data, image.yMat.data);
    EXPECT_EQ(copy.uMat.data, image.uMat.data);
    EXPECT_EQ(assigned.vMat.data, image.vMat.data);
    image.yMat(0, 0) = 200;
    EXPECT_EQ(copy.yMat(0, 0), 200);
}

// ---- Yuv420PFrame from a decoded frame ------------------------------------------------------

TEST(Yuv420PFrame, WrapsTheFramesPlanesCroppedToMultiplesOfEight) {
    auto decoded = DecodedPattern(1921, 1081);
    const std::string raw = RawPattern("yuv420p", 1921, 1081);
    Yuv420PFrame frame(decoded, 17);

    const Plane& y = frame.GetYMat();
    EXPECT_EQ(y.rows, 1080);
    EXPECT_EQ(y.cols, 1920);
    EXPECT_EQ(frame.GetUMat().rows, 540);
    EXPECT_EQ(frame.GetUMat().cols, 960);
    EXPECT_EQ(frame.GetVMat().rows, 540);
    EXPECT_EQ(frame.GetVMat().cols, 960);
    // No pixel copied: the matrices are the frame's own planes with its strides.
    EXPECT_EQ(y.data, decoded->GetY());
    EXPECT_EQ(frame.GetUMat().data, decoded->GetU());
    EXPECT_EQ(frame.GetVMat().data, decoded->GetV());
    EXPECT_EQ(static_cast<int>(y.step[0]), decoded->StrideY());
    EXPECT_EQ(static_cast<int>(frame.GetUMat().step[0]), decoded->StrideUV());
    EXPECT_EQ(static_cast<int>(frame.GetVMat().step[0]), decoded->StrideUV());
    EXPECT_EQ(frame.GetYuv420PImage().yMat.data, y.data);
    // The kept pixels are the top-left ones: row 1079 of the matrix is row 1079 of the picture.
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(y.ptr(1079)), 1920), raw.substr(1079 * 1921, 1920));

    EXPECT_EQ(frame.GetSizeInMemory(), decoded->StrideY() * 1080 * 3 / 2);
    EXPECT_EQ(frame.GetFrameNumber(), 17);
    EXPECT_EQ(frame.GetFrameTime(), DateTime(kTime));
    EXPECT_EQ(decoded.use_count(), 2);  // the frame keeps the decoded frame alive
}

TEST(Yuv420PFrame, TinyFrameGivesEmptyPlanes) {
    Yuv420PFrame frame(DecodedPattern(6, 6), 1);
    EXPECT_TRUE(frame.GetYMat().empty());
    EXPECT_EQ(frame.GetYMat().rows, 0);
    EXPECT_EQ(frame.GetYMat().cols, 0);
    EXPECT_TRUE(frame.GetUMat().empty());
    EXPECT_TRUE(frame.GetVMat().empty());
    EXPECT_EQ(frame.GetSizeInMemory(), 0);
}

TEST(Yuv420PFrame, PackedFrameIsConvertedIntoACopyOfItsOwn) {
    constexpr int W = 176, H = 144;
    auto host = std::make_shared<HostFrame>();
    host->SetPacked(RawPattern("rgb24", W, H), Rgb24, W, H, 3, W * 3, false);
    host->strideRGB = W * 3;
    host->time = kTime;
    std::weak_ptr<HostFrame> hostAlive = host;
    Yuv420PFrame frame(std::move(host), 3);
    EXPECT_TRUE(hostAlive.expired());  // the given frame is released; the copy is kept

    // The copy's own Y stride (176 rows aligned to 32 bytes), not the host's 528.
    EXPECT_EQ(frame.GetSizeInMemory(), 192 * H * 3 / 2);
    EXPECT_EQ(static_cast<int>(frame.GetYMat().step[0]), 192);
    EXPECT_EQ(frame.GetFrameTime(), DateTime(kTime));
    std::string expected = CliConvert("rgb24", W, H, "yuv420p");
    const size_t lumaSize = static_cast<size_t>(W) * H;
    EXPECT_EQ(MaxDifference(PlaneBytes(frame.GetYMat()), expected.substr(0, lumaSize)), 0);
    EXPECT_EQ(MaxDifference(PlaneBytes(frame.GetUMat()), expected.substr(lumaSize, lumaSize / 4)), 0);
    EXPECT_EQ(MaxDifference(PlaneBytes(frame.GetVMat()), expected.substr(lumaSize * 5 / 4, lumaSize / 4)), 0);
}

TEST(Yuv420PFrame, CudaFrameIsRefused) {
    auto host = std::make_shared<HostFrame>();
    host->SetPacked(RawPattern("nv12", 64, 32), Cuda, 64, 32, 1, 64, false);
    EXPECT_THROW(Yuv420PFrame(host, 0), CodeErrorException);
    EXPECT_THROW(Yuv420PFrame(std::shared_ptr<IDecodedFrame>(), 0), CodeErrorException);
}

TEST(Yuv420PFrame, FrameThatIsNotOkGivesEmptyPlanes) {
    Yuv420PFrame frame(std::make_shared<EmptyFrame>(EndOfArchive), 4);
    EXPECT_TRUE(frame.GetYMat().empty());
    EXPECT_EQ(frame.GetSizeInMemory(), 0);
}

TEST(Yuv420PFrame, CopiesShareTheSourceFrameAndOutliveTheOriginal) {
    const std::string raw = RawPattern("yuv420p", 176, 144);
    std::weak_ptr<DecodedAvFrame> decodedAlive;
    std::unique_ptr<Yuv420PFrame> copy;
    Yuv420PFrame assigned(Yuv420PImage(), 0);
    {
        auto decoded = DecodedPattern(176, 144);
        decodedAlive = decoded;
        auto first = std::make_unique<Yuv420PFrame>(decoded, 9);
        decoded.reset();
        copy = std::make_unique<Yuv420PFrame>(*first);
        assigned = *first;
        EXPECT_EQ(copy->GetYMat().data, first->GetYMat().data);
        first.reset();
    }
    EXPECT_FALSE(decodedAlive.expired());
    EXPECT_EQ(PlaneBytes(copy->GetYMat()), raw.substr(0, 176 * 144));  // still readable
    EXPECT_EQ(copy->GetFrameNumber(), 9);
    EXPECT_EQ(assigned.GetFrameNumber(), 9);
    EXPECT_EQ(assigned.GetFrameTime(), DateTime(kTime));
    EXPECT_EQ(assigned.GetSizeInMemory(), copy->GetSizeInMemory());
    copy.reset();
    EXPECT_FALSE(decodedAlive.expired());
    assigned = Yuv420PFrame(Yuv420PImage(), 0);
    EXPECT_TRUE(decodedAlive.expired());
}

// ---- Yuv420PFrame from an image, Resize -----------------------------------------------------

TEST(Yuv420PFrame, FromImageSharesPixelsWithoutSourceOrTime) {
    Yuv420PImage image(Plane(16, 16, uchar(10)), Plane(8, 8, uchar(20)), Plane(8, 8, uchar(30)));
    Yuv420PFrame frame(image, 5);
    EXPECT_EQ(frame.GetYMat().data, image.yMat.data);
    EXPECT_EQ(frame.GetUMat().data, image.uMat.data);
    EXPECT_EQ(frame.GetVMat().data, image.vMat.data);
    EXPECT_EQ(frame.GetSizeInMemory(), 0);
    EXPECT_EQ(frame.GetFrameNumber(), 5);
    EXPECT_TRUE(frame.GetFrameTime().IsEmpty());
}

TEST(Yuv420PFrame, ResizeMakesFreshPlanesAndDropsTheSource) {
    auto decoded = DecodedPattern(1280, 720);
    std::weak_ptr<DecodedAvFrame> decodedAlive = decoded;
    Yuv420PFrame frame(decoded, 2);
    const int size = frame.GetSizeInMemory();
    std::vector<std::pair<const uint8_t*, size_t>> oldBuffers;
    for (AVBufferRef* buffer : decoded->GetPicture()->buf)
        if (buffer) oldBuffers.emplace_back(buffer->data, buffer->size);
    ASSERT_FALSE(oldBuffers.empty());
    decoded.reset();

    frame.Resize(640, 480, false);
    EXPECT_EQ(frame.GetYMat().cols, 640);
    EXPECT_EQ(frame.GetYMat().rows, 480);
    EXPECT_EQ(frame.GetUMat().cols, 320);
    EXPECT_EQ(frame.GetUMat().rows, 240);
    EXPECT_EQ(frame.GetVMat().cols, 320);
    EXPECT_EQ(frame.GetVMat().rows, 240);
    EXPECT_TRUE(decodedAlive.expired());  // the planes own their buffers now
    for (const Plane* m : {&frame.GetYMat(), &frame.GetUMat(), &frame.GetVMat()})
        for (auto& old : oldBuffers) EXPECT_FALSE(Inside(m->data, old.first, old.second));
    EXPECT_TRUE(frame.GetYMat().isContinuous());
    EXPECT_EQ(frame.GetSizeInMemory(), size);
    EXPECT_EQ(frame.GetFrameNumber(), 2);
    EXPECT_EQ(frame.GetFrameTime(), DateTime(kTime));
    // OpenCV's bilinear resize is not swscale's: on average it stays within a few levels of the
    // CLI's bilinear scaling of the same picture (a wrong or shifted picture is far off).
    std::string cli = CliConvert("yuv420p", 1280, 720, "yuv420p", "bilinear", 640, 480);
    EXPECT_LT(MeanDifference(PlaneBytes(frame.GetYMat()), cli.substr(0, 640 * 480)), 3.0);
    EXPECT_LT(MeanDifference(PlaneBytes(frame.GetUMat()), cli.substr(640 * 480, 320 * 240)), 3.0);
}

TEST(Yuv420PFrame, ResizeToAnOddSizeThrowsAndChangesNothing) {
    auto decoded = DecodedPattern(176, 144);
    Yuv420PFrame frame(decoded, 1);
    const uchar* y = frame.GetYMat().data;
    for (auto size : {std::make_pair(641, 480), std::make_pair(640, 481), std::make_pair(1, 480)}) {
        ScopedLogCapture capture(0);
        try {
            frame.Resize(size.first, size.second, false);
            ADD_FAILURE() << "no exception for " << size.first << "x" << size.second;
        } catch (const CodeErrorException& e) {
            if (size.first == 641) {
                EXPECT_EQ(e.Message().rfind(" Not a Yuv420p image! yMat.cols = 641 vMat.cols = 320 ", 0), 0u)
                    << e.Message();
            }
        }
        EXPECT_EQ(frame.GetYMat().data, y);
        EXPECT_EQ(frame.GetYMat().cols, 176);
        EXPECT_EQ(frame.GetUMat().data, decoded->GetU());
        EXPECT_EQ(decoded.use_count(), 2);  // source frame still held
    }
}

TEST(Yuv420PFrame, NearestNeighbourResizeInventsNoValues) {
    // A checkerboard of 0 and 255: bilinear scaling mixes values, nearest neighbour never does.
    Plane y(64, 64), u(32, 32, uchar(128)), v(32, 32, uchar(128));
    for (int r = 0; r < 64; ++r)
        for (int c = 0; c < 64; ++c) y(r, c) = ((r + c) & 1) ? 255 : 0;
    auto only0or255 = [](const Plane& m) {
        for (int r = 0; r < m.rows; ++r)
            for (int c = 0; c < m.cols; ++c)
                if (m(r, c) != 0 && m(r, c) != 255) return false;
        return true;
    };
    Yuv420PFrame nearest(Yuv420PImage(y, u, v), 0);
    nearest.Resize(40, 24, true);
    EXPECT_TRUE(only0or255(nearest.GetYMat()));
    Yuv420PFrame linear(Yuv420PImage(y, u, v), 0);
    linear.Resize(40, 24, false);
    EXPECT_FALSE(only0or255(linear.GetYMat()));

    Yuv420PFrame empty(Yuv420PImage(), 0);
    EXPECT_THROW(empty.Resize(64, 64, false), CodeErrorException);
}
