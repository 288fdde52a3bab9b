// DecodedAvFrame (decoder pictures, copies of host frames, CUDA pictures) and AVFrameProxy (the
// encoder's view of a frame or image). Pixels are checked against the ffmpeg CLI's own
// conversion of the same test pattern.
#include "Common/Exception.h"
#include "Common/Logger.h"
#include "RuvarEduzid/AVFrameProxy.h"
#include "RuvarEduzid/DecodedAvFrame.h"
#include "RuvarEduzid/Native/EmptyFrame.h"
#include "support/PictureSupport.h"

#include <gtest/gtest.h>

extern "C" {
#include <ffnvcodec/dynlink_cuda.h>
#include <libavutil/hwcontext.h>
#include <libavutil/hwcontext_cuda.h>
}

#include <cstring>

using namespace Halvora::RuvarEduzid;
using namespace Halvora::Video::Native;
using Halvora::Common::CodeErrorException;
using Halvora::Common::ScopedLogCapture;
using RuvarTest::CliConvert;
using RuvarTest::FrameFromRaw;
using RuvarTest::HostFrame;
using RuvarTest::MaxDifference;
using RuvarTest::PackFrame;
using RuvarTest::RawPattern;

namespace {

constexpr int W = 176;
constexpr int H = 144;
constexpr long long kTime = 132000000000000000LL;

std::string PackYuv420P(const IDecodedImage& image) {
    const uint8_t* data[4] = {image.GetY(), image.GetU(), image.GetV(), nullptr};
    const int linesize[4] = {image.StrideY(), image.StrideUV(), image.StrideUV(), 0};
    return RuvarTest::PackPlanes(data, linesize, AV_PIX_FMT_YUV420P, image.Width(), image.Height());
}

// Expects `call` to throw CodeErrorException with exactly `message`, logged first at error level
// as "Throw: " + message.
template <typename F>
void ExpectThrowMessage(F call, const std::string& message) {
    ScopedLogCapture capture(0);
    try {
        call();
        ADD_FAILURE() << "no exception, expected: " << message;
    } catch (const CodeErrorException& e) {
        EXPECT_EQ(e.Message(), message);
        EXPECT_TRUE(capture.Sink().Contains("Throw: " + message, 4)) << message;
    }
}

// A CUDA picture as far as it can exist without a GPU: the frame format, a device context of
// type CUDA holding a chosen CUcontext value, and host memory standing in for device memory.
struct FakeCudaPicture {
    AVBufferRefPtr device;
    AVBufferRefPtr frames;
    AVFramePtr frame;
};

FakeCudaPicture MakeFakeCudaPicture(int width, int height, bool withFramesContext, uintptr_t cudaContextValue) {
    FakeCudaPicture p;
    p.frame.reset(av_frame_alloc());
    p.frame->format = AV_PIX_FMT_CUDA;
    p.frame->width = width;
    p.frame->height = height;
    p.frame->buf[0] = av_buffer_allocz(static_cast<size_t>(width) * height * 3 / 2);
    p.frame->data[0] = p.frame->buf[0]->data;
    p.frame->data[1] = p.frame->buf[0]->data + static_cast<size_t>(width) * height;
    p.frame->linesize[0] = width;
    p.frame->linesize[1] = width;
    if (withFramesContext) {
        p.device.reset(av_hwdevice_ctx_alloc(AV_HWDEVICE_TYPE_CUDA));
        if (!p.device) return p;
        auto* device = reinterpret_cast<AVHWDeviceContext*>(p.device->data);
        static_cast<AVCUDADeviceContext*>(device->hwctx)->cuda_ctx = reinterpret_cast<CUcontext>(cudaContextValue);
        p.frames.reset(av_hwframe_ctx_alloc(p.device.get()));
        p.frame->hw_frames_ctx = av_buffer_ref(p.frames.get());
    }
    return p;
}

AVCodecContextPtr Encoder(int width, int height, AVPixelFormat format = AV_PIX_FMT_YUV420P) {
    AVCodecContextPtr encoder(avcodec_alloc_context3(nullptr));
    encoder->width = width;
    encoder->height = height;
    encoder->pix_fmt = format;
    return encoder;
}

struct SwsCache {
    SwsContextPtr context;
};

}  // namespace

// ---- from a decoder picture ---------------------------------------------------------------

TEST(DecodedAvFrame, Yuv420PPictureIsReferencedAndOutlivesTheDecodersFrame) {
    std::string raw = RawPattern("yuv420p", W, H);
    AVFramePtr decoded = FrameFromRaw(raw, AV_PIX_FMT_YUV420P, W, H);
    const uint8_t* y = decoded->data[0];
    const uint8_t* u = decoded->data[1];
    const uint8_t* v = decoded->data[2];
    auto frame = std::make_shared<DecodedAvFrame>(kTime, decoded.get());
    decoded.reset();  // the decoder unreferences its own frame

    EXPECT_EQ(frame->GetY(), y);
    EXPECT_EQ(frame->GetU(), u);
    EXPECT_EQ(frame->GetV(), v);
    EXPECT_EQ(frame->ImageData(), y);
    EXPECT_EQ(frame->Width(), W);
    EXPECT_EQ(frame->Height(), H);
    EXPECT_EQ(frame->StrideY(), frame->GetPicture()->linesize[0]);
    EXPECT_EQ(frame->StrideUV(), frame->GetPicture()->linesize[1]);
    EXPECT_EQ(frame->StrideRGB(), 0);
    EXPECT_FALSE(frame->IsVerticallyFlipped());
    EXPECT_EQ(frame->Format(), Yuv420P);
    EXPECT_EQ(frame->GetDecoderState(), Ok);
    EXPECT_EQ(frame->GetFileTimeUtc(), kTime);
    EXPECT_EQ(PackYuv420P(*frame), raw);
    frame->SetFileTimeUtc(5);
    EXPECT_EQ(frame->GetFileTimeUtc(), 5);
    ExpectThrowMessage([&] { frame->GetUV(); }, "UV surface only valid for CUDA pixel format");
}

TEST(DecodedAvFrame, FullRangeYuv420PIsClonedWithoutConversion) {
    AVFramePtr decoded = FrameFromRaw(RawPattern("yuv420p", W, H), AV_PIX_FMT_YUVJ420P, W, H);
    DecodedAvFrame frame(kTime, decoded.get());
    EXPECT_EQ(frame.GetPicture()->format, AV_PIX_FMT_YUVJ420P);
    EXPECT_EQ(frame.GetY(), decoded->data[0]);
    EXPECT_EQ(frame.Format(), Yuv420P);
}

// Other decoder layouts are converted on arrival, exactly as FFmpeg's CLI converts them.
class DecodedAvFrameConversion : public ::testing::TestWithParam<const char*> {};

TEST_P(DecodedAvFrameConversion, MatchesTheCliBitForBit) {
    const std::string fmt = GetParam();
    AVPixelFormat format = av_get_pix_fmt(fmt.c_str());
    AVFramePtr decoded = FrameFromRaw(RawPattern(fmt, W, H), format, W, H);
    DecodedAvFrame frame(kTime, decoded.get());
    ASSERT_NE(frame.GetPicture(), nullptr);
    EXPECT_EQ(frame.GetPicture()->format, AV_PIX_FMT_YUV420P);
    EXPECT_EQ(frame.Format(), Yuv420P);
    EXPECT_EQ(frame.Width(), W);
    EXPECT_EQ(frame.Height(), H);
    EXPECT_NE(frame.GetY(), decoded->data[0]);
    EXPECT_EQ(frame.GetU(), frame.GetPicture()->data[1]);
    EXPECT_EQ(frame.StrideUV(), frame.GetPicture()->linesize[1]);
    EXPECT_EQ(frame.GetFileTimeUtc(), kTime);
    EXPECT_EQ(frame.GetDecoderState(), Ok);
    std::string expected = CliConvert(fmt, W, H, "yuv420p");
    EXPECT_EQ(MaxDifference(PackYuv420P(frame), expected), 0);
}

INSTANTIATE_TEST_SUITE_P(Layouts, DecodedAvFrameConversion,
                         ::testing::Values("nv12", "yuv422p", "yuv444p", "rgb24", "bgra"));

TEST(DecodedAvFrame, ConversionOfAnOddSizedNv12Picture) {
    AVFramePtr decoded = FrameFromRaw(RawPattern("nv12", 99, 37), AV_PIX_FMT_NV12, 99, 37);
    DecodedAvFrame frame(kTime, decoded.get());
    ASSERT_NE(frame.GetPicture(), nullptr);
    EXPECT_EQ(MaxDifference(PackYuv420P(frame), CliConvert("nv12", 99, 37, "yuv420p")), 0);
}

TEST(DecodedAvFrame, PictureThatCannotBeConvertedGivesAnEmptyFrame) {
    AVFramePtr decoded(av_frame_alloc());
    decoded->format = AV_PIX_FMT_YUV422P;  // no size, no pixels: swscale refuses it
    DecodedAvFrame frame(kTime, decoded.get());
    EXPECT_EQ(frame.GetPicture(), nullptr);
    EXPECT_EQ(frame.Width(), 0);
    EXPECT_EQ(frame.DataSize(), 0);
    EXPECT_EQ(frame.GetY(), nullptr);
    EXPECT_EQ(frame.GetU(), nullptr);
    EXPECT_EQ(frame.GetFileTimeUtc(), kTime);

    DecodedAvFrame none(kTime, nullptr);
    EXPECT_EQ(none.GetPicture(), nullptr);
    EXPECT_EQ(none.ImageData(), nullptr);
}

TEST(DecodedAvFrame, DataSizeIsAlignedYuv420PSizeWhateverTheFormat) {
    AVFramePtr decoded(av_frame_alloc());
    decoded->format = AV_PIX_FMT_YUV420P;
    decoded->width = 1920;
    decoded->height = 1080;
    ASSERT_EQ(av_frame_get_buffer(decoded.get(), 32), 0);
    EXPECT_EQ(DecodedAvFrame(kTime, decoded.get()).DataSize(), 3110400);

    FakeCudaPicture cuda = MakeFakeCudaPicture(1920, 1080, false, 0);
    DecodedAvFrame cudaFrame(kTime, cuda.frame.get());
    EXPECT_EQ(cudaFrame.Format(), Cuda);
    EXPECT_EQ(cudaFrame.DataSize(), 3110400);

    // Lines aligned to 64 bytes: 100 -> 128 luma, 50 -> 64 chroma.
    decoded.reset(av_frame_alloc());
    decoded->format = AV_PIX_FMT_YUV420P;
    decoded->width = 100;
    decoded->height = 10;
    ASSERT_EQ(av_frame_get_buffer(decoded.get(), 32), 0);
    EXPECT_EQ(DecodedAvFrame(kTime, decoded.get()).DataSize(),
              av_image_get_buffer_size(AV_PIX_FMT_YUV420P, 100, 10, 64));
}

// ---- CUDA pictures --------------------------------------------------------------------------

TEST(DecodedAvFrame, CudaPictureAccessors) {
    FakeCudaPicture cuda = MakeFakeCudaPicture(64, 32, false, 0);
    DecodedAvFrame frame(kTime, cuda.frame.get());
    EXPECT_EQ(frame.Format(), Cuda);
    EXPECT_EQ(frame.GetY(), cuda.frame->data[0]);
    EXPECT_EQ(frame.GetUV(), cuda.frame->data[1]);
    EXPECT_EQ(frame.StrideUV(), 64);
    ExpectThrowMessage([&] { frame.GetU(); }, "Cannot get U surface with cuda pixel format");
    ExpectThrowMessage([&] { frame.GetV(); }, "Cannot get V surface with cuda pixel format");
    EXPECT_EQ(frame.Format(), Cuda);
}

TEST(DecodedAvFrame, GetParamChecksIdThenSizeThenBuffer) {
    AVFramePtr decoded = FrameFromRaw(RawPattern("yuv420p", W, H), AV_PIX_FMT_YUV420P, W, H);
    DecodedAvFrame frame(kTime, decoded.get());
    unsigned char buffer[8];
    ExpectThrowMessage([&] { frame.GetParam(1, buffer, 8); }, "DecodedAvFrame::GetParam called with unknown param 1");
    ExpectThrowMessage([&] { frame.GetParam(42, nullptr, 0); },
                       "DecodedAvFrame::GetParam called with unknown param 42");
    ExpectThrowMessage([&] { frame.GetParam(0, buffer, 4); }, "Buffer size must be larger than 8");
    ExpectThrowMessage([&] { frame.GetParam(0, nullptr, 4); }, "Buffer size must be larger than 8");
    ExpectThrowMessage([&] { frame.GetParam(0, nullptr, 8); }, "buffer == nullptr");
    // A system-memory picture has no device to report.
    EXPECT_THROW(frame.GetParam(0, buffer, 8), CodeErrorException);
}

TEST(DecodedAvFrame, GetParamWritesTheCudaContextOfTheDevice) {
    const uintptr_t contextValue = 0x1234567890abcdefULL;
    FakeCudaPicture cuda = MakeFakeCudaPicture(64, 32, true, contextValue);
    if (!cuda.device) GTEST_SKIP() << "FFmpeg without CUDA device support";
    DecodedAvFrame frame(kTime, cuda.frame.get());
    unsigned char buffer[16];
    std::memset(buffer, 0, sizeof buffer);
    frame.GetParam(0, buffer, sizeof buffer);
    uintptr_t written = 0;
    std::memcpy(&written, buffer, 8);
    EXPECT_EQ(written, contextValue);
    EXPECT_EQ(buffer[8], 0);  // exactly 8 bytes written
}

TEST(DecodedAvFrame, MoveToRamLeavesSystemPicturesAndFailedTransfersAlone) {
    AVFramePtr decoded = FrameFromRaw(RawPattern("yuv420p", W, H), AV_PIX_FMT_YUV420P, W, H);
    DecodedAvFrame frame(kTime, decoded.get());
    const AVFrame* before = frame.GetPicture();
    frame.MoveToRam();
    EXPECT_EQ(frame.GetPicture(), before);
    EXPECT_EQ(frame.GetY(), decoded->data[0]);

    // Without a GPU no transfer can succeed: the picture stays the CUDA one.
    for (bool withContext : {false, true}) {
        FakeCudaPicture cuda = MakeFakeCudaPicture(64, 32, withContext, 1);
        if (withContext && !cuda.device) continue;
        DecodedAvFrame cudaFrame(kTime, cuda.frame.get());
        ScopedLogCapture capture(0);
        cudaFrame.MoveToRam();
        EXPECT_EQ(cudaFrame.Format(), Cuda);
        EXPECT_EQ(cudaFrame.GetY(), cuda.frame->data[0]);
        EXPECT_EQ(cudaFrame.GetFileTimeUtc(), kTime);
        EXPECT_FALSE(capture.Sink().Messages(4).empty());
    }
}

// ---- copies of host frames ------------------------------------------------------------------

TEST(DecodedAvFrame, CopyOfFlippedPackedFrameComesOutUpright) {
    std::string bgr = RawPattern("bgr24", W, H);
    std::string expected = CliConvert("bgr24", W, H, "yuv420p");
    // Rows laid out at 32-byte alignment (176 * 3 = 528 -> 544), as the host contract has it.
    for (int strideRGB : {0, 544}) {
        HostFrame host;
        host.SetPacked(bgr, Bgr24, W, H, 3, 544, true);
        host.flipped = true;
        host.strideRGB = strideRGB;
        host.time = kTime;
        DecodedAvFrame copy(&host);
        ASSERT_NE(copy.GetPicture(), nullptr);
        EXPECT_EQ(copy.GetFileTimeUtc(), kTime);
        EXPECT_EQ(copy.GetDecoderState(), Ok);
        EXPECT_EQ(copy.Format(), Yuv420P);
        EXPECT_EQ(MaxDifference(PackYuv420P(copy), expected), 0) << "StrideRGB " << strideRGB;

        host.flipped = false;  // the same rows read top-down give an upside-down picture
        EXPECT_GT(MaxDifference(PackYuv420P(DecodedAvFrame(&host)), expected), 100);
    }
    // Tightly packed rows with their stride reported.
    HostFrame tight;
    tight.SetPacked(bgr, Bgr24, W, H, 3, W * 3, false);
    tight.strideRGB = W * 3;
    EXPECT_EQ(MaxDifference(PackYuv420P(DecodedAvFrame(&tight)), expected), 0);
}

TEST(DecodedAvFrame, CopyOfPackedFramesHonoursTheirLayoutAndStride) {
    struct Case {
        const char* fmt;
        DecodedImageFormat format;
        int bytesPerPixel;
    };
    for (const Case& c : {Case{"rgb24", Rgb24, 3}, Case{"bgra", Bgra32, 4}, Case{"abgr", Abgr32, 4}}) {
        HostFrame host;
        // Tightly packed rows, the stride reported by StrideRGB().
        host.SetPacked(RawPattern(c.fmt, W, H), c.format, W, H, c.bytesPerPixel, W * c.bytesPerPixel, false);
        host.strideRGB = W * c.bytesPerPixel;
        DecodedAvFrame copy(&host);
        ASSERT_NE(copy.GetPicture(), nullptr) << c.fmt;
        EXPECT_EQ(MaxDifference(PackYuv420P(copy), CliConvert(c.fmt, W, H, "yuv420p")), 0) << c.fmt;
    }
    // A layout outside the table is read as BGR24.
    HostFrame other;
    other.SetPacked(RawPattern("bgr24", W, H), static_cast<DecodedImageFormat>(5), W, H, 3, 544, false);
    DecodedAvFrame copy(&other);
    EXPECT_EQ(MaxDifference(PackYuv420P(copy), CliConvert("bgr24", W, H, "yuv420p")), 0);
}

TEST(DecodedAvFrame, CopyOfFlippedYuv420PFrameIsNotFlipped) {
    std::string raw = RawPattern("yuv420p", W, H);
    HostFrame host;
    host.SetYuv420P(raw, W, H, 200, 100);  // planes in separate allocations, padded strides
    host.flipped = true;
    DecodedAvFrame copy(&host);
    ASSERT_NE(copy.GetPicture(), nullptr);
    EXPECT_NE(copy.GetY(), host.GetY());
    EXPECT_EQ(PackYuv420P(copy), raw);
}

TEST(DecodedAvFrame, CopyOfFrameThatIsNotOkKeepsStateAndTimeOnly) {
    for (DecoderState state : {Error, EndOfArchive, NotAvailable}) {
        HostFrame host;
        host.SetPacked(RawPattern("bgr24", W, H), Bgr24, W, H, 3, 544, false);
        host.state = state;
        host.time = kTime + state;
        DecodedAvFrame copy(&host);
        EXPECT_EQ(copy.GetDecoderState(), state);
        EXPECT_EQ(copy.GetFileTimeUtc(), kTime + state);
        EXPECT_EQ(copy.GetPicture(), nullptr);
        EXPECT_EQ(copy.Width(), 0);
        EXPECT_EQ(copy.GetY(), nullptr);
        EXPECT_EQ(copy.DataSize(), 0);
        copy.MoveToRam();
    }
    EmptyFrame empty(EndOfArchive);
    DecodedAvFrame copy(&empty);
    EXPECT_EQ(copy.GetDecoderState(), EndOfArchive);
    EXPECT_EQ(copy.GetPicture(), nullptr);
}

TEST(DecodedAvFrame, CopyOfFramesWithoutUsablePixelsHasNoPicture) {
    HostFrame noPixels;  // Ok, but nothing to read
    noPixels.width = W;
    noPixels.height = H;
    EXPECT_EQ(DecodedAvFrame(&noPixels).GetPicture(), nullptr);

    HostFrame noSize;
    noSize.SetPacked(RawPattern("bgr24", W, H), Bgr24, W, H, 3, 544, false);
    noSize.width = 0;
    EXPECT_EQ(DecodedAvFrame(&noSize).GetPicture(), nullptr);

    HostFrame cuda;
    cuda.SetPacked(RawPattern("nv12", W, H), Cuda, W, H, 1, W, false);
    EXPECT_EQ(DecodedAvFrame(&cuda).GetPicture(), nullptr);
}

// ---- AVFrameProxy ---------------------------------------------------------------------------

TEST(AVFrameProxy, SameSizeYuvFrameIsReferencedWithoutCopy) {
    HostFrame host;
    host.SetYuv420P(RawPattern("yuv420p", W, H), W, H, 192, 96);
    auto encoder = Encoder(W, H);
    SwsCache cache;
    {
        AVFrameProxy proxy(&host, encoder.get(), &cache.context);
        AVFrame* frame = proxy.Get();
        ASSERT_NE(frame, nullptr);
        EXPECT_EQ(proxy.Get(), frame);
        EXPECT_EQ(frame->buf[0], nullptr);  // no pixel buffer of its own
        EXPECT_EQ(frame->data[0], host.GetY());
        EXPECT_EQ(frame->data[1], host.GetU());
        EXPECT_EQ(frame->data[2], host.GetV());
        EXPECT_EQ(frame->linesize[0], 192);
        EXPECT_EQ(frame->linesize[1], 96);
        EXPECT_EQ(frame->linesize[2], 96);
        EXPECT_EQ(frame->width, W);
        EXPECT_EQ(frame->height, H);
        EXPECT_EQ(frame->format, AV_PIX_FMT_YUV420P);
    }
    EXPECT_EQ(cache.context.get(), nullptr);
    EXPECT_EQ(host.y[0], static_cast<uint8_t>(RawPattern("yuv420p", W, H)[0]));  // planes intact

    // A DecodedAvFrame is referenced the same way.
    AVFramePtr decoded = FrameFromRaw(RawPattern("yuv420p", W, H), AV_PIX_FMT_YUV420P, W, H);
    DecodedAvFrame frame(kTime, decoded.get());
    AVFrameProxy proxy(&frame, encoder.get(), &cache.context);
    EXPECT_EQ(proxy.Get()->data[1], decoded->data[1]);
    EXPECT_EQ(proxy.Get()->data[2], decoded->data[2]);
}

TEST(AVFrameProxy, OtherSizeIsScaledBilinearlyWithOneCachedContext) {
    std::string raw = RawPattern("yuv420p", W, H);
    HostFrame host;
    host.SetYuv420P(raw, W, H, W, W / 2);
    auto encoder = Encoder(88, 72);
    SwsCache cache;
    std::string expected = CliConvert("yuv420p", W, H, "yuv420p", "bilinear", 88, 72);
    AVFrameProxy first(&host, encoder.get(), &cache.context);
    ASSERT_NE(first.Get()->buf[0], nullptr);
    EXPECT_EQ(first.Get()->width, 88);
    EXPECT_EQ(first.Get()->height, 72);
    EXPECT_EQ(MaxDifference(PackFrame(first.Get()), expected), 0);
    SwsContext* context = cache.context.get();
    ASSERT_NE(context, nullptr);

    AVFrameProxy second(&host, encoder.get(), &cache.context);
    EXPECT_EQ(cache.context.get(), context);  // same sizes and formats: the same context serves
    EXPECT_EQ(PackFrame(second.Get()), PackFrame(first.Get()));
}

TEST(AVFrameProxy, PackedFramesAreConvertedToTheEncodersFormat) {
    HostFrame host;
    host.SetPacked(RawPattern("rgb24", W, H), Rgb24, W, H, 3, W * 3, false);
    host.strideRGB = W * 3;
    auto encoder = Encoder(W, H);
    SwsCache cache;
    AVFrameProxy proxy(&host, encoder.get(), &cache.context);
    ASSERT_NE(proxy.Get()->buf[0], nullptr);
    EXPECT_EQ(MaxDifference(PackFrame(proxy.Get()), CliConvert("rgb24", W, H, "yuv420p", "bilinear")), 0);

    // A flipped packed frame reaches the encoder upright.
    HostFrame flipped;
    flipped.SetPacked(RawPattern("rgb24", W, H), Rgb24, W, H, 3, W * 3, true);
    flipped.strideRGB = W * 3;
    flipped.flipped = true;
    AVFrameProxy upright(&flipped, encoder.get(), &cache.context);
    EXPECT_EQ(PackFrame(upright.Get()), PackFrame(proxy.Get()));
}

TEST(AVFrameProxy, YuvFrameIsCopiedWhenTheEncoderWantsAnotherFormat) {
    HostFrame host;
    host.SetYuv420P(RawPattern("yuv420p", W, H), W, H, W, W / 2);
    auto encoder = Encoder(W, H, AV_PIX_FMT_NV12);
    SwsCache cache;
    AVFrameProxy proxy(&host, encoder.get(), &cache.context);
    EXPECT_NE(proxy.Get()->buf[0], nullptr);
    EXPECT_NE(proxy.Get()->data[0], host.GetY());
    EXPECT_EQ(proxy.Get()->format, AV_PIX_FMT_NV12);
}

TEST(AVFrameProxy, UnsupportedFormatThrowsAndFeedsNothing) {
    auto encoder = Encoder(W, H);
    SwsCache cache;
    for (int format : {9, 0, 5}) {
        HostFrame host;
        host.SetPacked(RawPattern("bgr24", W, H), static_cast<DecodedImageFormat>(format), W, H, 3, 544, false);
        ExpectThrowMessage([&] { AVFrameProxy proxy(&host, encoder.get(), &cache.context); },
                           "Unsupported input pixel format: " + std::to_string(format));
    }
    EXPECT_EQ(cache.context.get(), nullptr);
}

TEST(AVFrameProxy, FramesWithoutPixelsThrowInsteadOfBeingRead) {
    auto encoder = Encoder(88, 72);
    SwsCache cache;
    HostFrame missingV;
    missingV.SetYuv420P(RawPattern("yuv420p", W, H), W, H, W, W / 2);
    missingV.v.clear();
    EXPECT_THROW(AVFrameProxy(&missingV, encoder.get(), &cache.context), CodeErrorException);
    DecodedAvFrame noPicture(kTime, nullptr);
    EXPECT_THROW(AVFrameProxy(&noPicture, encoder.get(), &cache.context), CodeErrorException);
    EmptyFrame empty(EndOfArchive);
    EXPECT_THROW(AVFrameProxy(&empty, encoder.get(), &cache.context), CodeErrorException);
}

TEST(AVFrameProxy, SizesSwscaleRefusesThrowInsteadOfScaling) {
    HostFrame host;
    host.SetPacked(RawPattern("bgr24", W, H), Bgr24, W, H, 3, 544, false);
    auto encoder = Encoder(0, 0);
    SwsCache cache;
    EXPECT_THROW(AVFrameProxy(&host, encoder.get(), &cache.context), CodeErrorException);
}

TEST(AVFrameProxy, ImageOfTheEncodersSizeIsReferenced) {
    AVFramePtr decoded = FrameFromRaw(RawPattern("yuv420p", W, H), AV_PIX_FMT_YUV420P, W, H);
    cv::Mat_<unsigned char> y(H, W, decoded->data[0], decoded->linesize[0]);
    cv::Mat_<unsigned char> u(H / 2, W / 2, decoded->data[1], decoded->linesize[1]);
    cv::Mat_<unsigned char> v(H / 2, W / 2, decoded->data[2], decoded->linesize[2]);
    Halvora::Orvi::Yuv420PImage image(y, u, v);
    auto encoder = Encoder(W, H);
    SwsCache cache;
    AVFrameProxy proxy(image, encoder.get(), &cache.context);
    EXPECT_EQ(proxy.Get()->buf[0], nullptr);
    EXPECT_EQ(proxy.Get()->data[0], decoded->data[0]);
    EXPECT_EQ(proxy.Get()->data[1], decoded->data[1]);
    EXPECT_EQ(proxy.Get()->data[2], decoded->data[2]);
    EXPECT_EQ(proxy.Get()->linesize[0], decoded->linesize[0]);
    EXPECT_EQ(proxy.Get()->linesize[1], decoded->linesize[1]);
    EXPECT_EQ(cache.context.get(), nullptr);

    auto smaller = Encoder(88, 72);
    AVFrameProxy scaled(image, smaller.get(), &cache.context);
    EXPECT_NE(scaled.Get()->buf[0], nullptr);
    EXPECT_EQ(MaxDifference(PackFrame(scaled.Get()), CliConvert("yuv420p", W, H, "yuv420p", "bilinear", 88, 72)),
              0);

    Halvora::Orvi::Yuv420PImage empty;
    EXPECT_THROW(AVFrameProxy(empty, encoder.get(), &cache.context), CodeErrorException);
    // Chroma planes too small for the luma plane are refused rather than over-read.
    cv::Mat_<unsigned char> narrowU(H / 2, 2, decoded->data[1], decoded->linesize[1]);
    Halvora::Orvi::Yuv420PImage narrow(y, narrowU, v);
    EXPECT_THROW(AVFrameProxy(narrow, smaller.get(), &cache.context), CodeErrorException);
}

// ---- on a real CUDA device (skipped where none is present) ----------------------------------

TEST(DecodedAvFrameOnGpu, MoveToRamAndGetParamOnARealDevice) {
    AVBufferRef* rawDevice = nullptr;
    if (av_hwdevice_ctx_create(&rawDevice, AV_HWDEVICE_TYPE_CUDA, nullptr, nullptr, 0) < 0)
        GTEST_SKIP() << "no CUDA device";
    AVBufferRefPtr device(rawDevice);
    AVBufferRefPtr frames(av_hwframe_ctx_alloc(device.get()));
    ASSERT_NE(frames, nullptr);
    auto* framesContext = reinterpret_cast<AVHWFramesContext*>(frames->data);
    framesContext->format = AV_PIX_FMT_CUDA;
    framesContext->sw_format = AV_PIX_FMT_NV12;
    framesContext->width = W;
    framesContext->height = H;
    ASSERT_EQ(av_hwframe_ctx_init(frames.get()), 0);
    AVFramePtr gpu(av_frame_alloc());
    ASSERT_EQ(av_hwframe_get_buffer(frames.get(), gpu.get(), 0), 0);
    AVFramePtr host = FrameFromRaw(RawPattern("nv12", W, H), AV_PIX_FMT_NV12, W, H);
    ASSERT_EQ(av_hwframe_transfer_data(gpu.get(), host.get(), 0), 0);

    DecodedAvFrame frame(kTime, gpu.get());
    EXPECT_EQ(frame.Format(), Cuda);
    EXPECT_EQ(frame.DataSize(), av_image_get_buffer_size(AV_PIX_FMT_YUV420P, W, H, 64));
    CUcontext context = nullptr;
    frame.GetParam(0, &context, sizeof context);
    auto* deviceContext = reinterpret_cast<AVHWDeviceContext*>(device->data);
    EXPECT_EQ(context, static_cast<AVCUDADeviceContext*>(deviceContext->hwctx)->cuda_ctx);
    EXPECT_NE(context, nullptr);

    frame.MoveToRam();
    EXPECT_EQ(frame.Format(), Yuv420P);
    EXPECT_NO_THROW(frame.GetU());
    EXPECT_EQ(frame.GetFileTimeUtc(), kTime);
    EXPECT_EQ(MaxDifference(PackYuv420P(frame), CliConvert("nv12", W, H, "yuv420p")), 0);
}
