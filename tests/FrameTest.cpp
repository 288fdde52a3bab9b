// Pictures between host, decoder and encoder: DecodedAvFrame (decoder pictures, copies of host frames,
// CUDA pictures), AVFrameProxy (the encoder's view), Yuv420PImage and the RGB converters.
// Pixels are checked against the ffmpeg CLI's conversion of the same test pattern.
#include "RuvarEduzid/AVFrameProxy.h"
#include "RuvarEduzid/DecodedAvFrame.h"
#include "RuvarEduzid/FfmpegImageConverter.h"
#include "RuvarEduzid/Native/EmptyFrame.h"
#include "support/Pictures.h"

extern "C" {
#include <ffnvcodec/dynlink_cuda.h>
#include <libavutil/hwcontext.h>
#include <libavutil/hwcontext_cuda.h>
}

#include <cstring>

using namespace RuvarTest;
using namespace Halvora::RuvarEduzid;
using Halvora::Common::CodeErrorException;
using Halvora::Orvi::Yuv420PImage;
using Plane = cv::Mat_<unsigned char>;

namespace {

constexpr int kW = 176, kH = 144;
constexpr long long kTime = 132000000000000000LL;

AVCodecContextPtr Encoder(int width, int height, AVPixelFormat format = AV_PIX_FMT_YUV420P) {
    AVCodecContextPtr encoder(avcodec_alloc_context3(nullptr));
    encoder->width = width;
    encoder->height = height;
    encoder->pix_fmt = format;
    return encoder;
}

}  // namespace

TEST(DecodedAvFrame, DecoderPicturesAreReferencedOrConvertedAsTheCliConverts) {
    const std::string raw = RawPattern("yuv420p", kW, kH);
    AVFramePtr decoded = FrameFromRaw(raw, AV_PIX_FMT_YUV420P, kW, kH);
    const uint8_t* y = decoded->data[0];
    auto frame = std::make_shared<DecodedAvFrame>(kTime, decoded.get());
    decoded.reset();  // the decoder unreferences its own frame: the picture lives on
    EXPECT_EQ(frame->GetY(), y);
    EXPECT_EQ(PackYuv420P(*frame), raw);
    EXPECT_EQ(frame->GetFileTimeUtc(), kTime);
    EXPECT_EQ(ThrowText([&] { frame->GetUV(); }), "UV surface only valid for CUDA pixel format");
    for (const auto& [fmt, w, h] : {std::tuple{"nv12", kW, kH}, std::tuple{"nv12", 99, 37}, std::tuple{"yuv422p", kW, kH},
                                    std::tuple{"yuv444p", kW, kH}, std::tuple{"rgb24", kW, kH}, std::tuple{"bgra", kW, kH}}) {
        DecodedAvFrame converted(kTime, FrameFromRaw(RawPattern(fmt, w, h), av_get_pix_fmt(fmt), w, h).get());
        ASSERT_NE(converted.GetPicture(), nullptr) << fmt;
        EXPECT_EQ(converted.Format(), Yuv420P);
        EXPECT_EQ(MaxDifference(PackYuv420P(converted), CliConvert(fmt, w, h, "yuv420p")), 0) << fmt << " " << w;
    }
    AVFramePtr empty(av_frame_alloc());
    empty->format = AV_PIX_FMT_YUV422P;  // no size, no pixels: nothing to convert
    EXPECT_EQ(DecodedAvFrame(kTime, empty.get()).GetY(), nullptr);
}

// A CUDA picture as far as one exists without a GPU: a CUDA device context holding a chosen
// context value, host memory standing in for device memory.
TEST(DecodedAvFrame, CudaPicturesAnswerTheHostContract) {
    AVBufferRefPtr device(av_hwdevice_ctx_alloc(AV_HWDEVICE_TYPE_CUDA));
    ASSERT_NE(device, nullptr);
    static_cast<AVCUDADeviceContext*>(reinterpret_cast<AVHWDeviceContext*>(device->data)->hwctx)->cuda_ctx =
        reinterpret_cast<CUcontext>(0x1234567890abcdefULL);
    AVBufferRefPtr frames(av_hwframe_ctx_alloc(device.get()));
    AVFramePtr picture(av_frame_alloc());
    picture->format = AV_PIX_FMT_CUDA;
    picture->width = 1920;
    picture->height = 1080;
    picture->buf[0] = av_buffer_allocz(1920 * 1080 * 3 / 2);
    picture->data[0] = picture->buf[0]->data;
    picture->data[1] = picture->data[0] + 1920 * 1080;
    picture->linesize[0] = picture->linesize[1] = 1920;
    picture->hw_frames_ctx = av_buffer_ref(frames.get());
    DecodedAvFrame frame(kTime, picture.get());
    EXPECT_EQ(frame.GetUV(), picture->data[1]);
    EXPECT_EQ(ThrowText([&] { frame.GetU(); }), "Cannot get U surface with cuda pixel format");
    unsigned char buffer[16] = {};
    EXPECT_EQ(ThrowText([&] { frame.GetParam(0, buffer, 4); }), "Buffer size must be larger than 8");
    frame.GetParam(0, buffer, sizeof buffer);
    uint64_t written = 0;
    std::memcpy(&written, buffer, 8);
    EXPECT_EQ(written, 0x1234567890abcdefULL);
    EXPECT_EQ(buffer[8], 0);  // exactly 8 bytes
}

TEST(DecodedAvFrame, CopiesOfHostFramesComeOutUprightInTheirLayout) {
    const std::string expected = CliConvert("bgr24", kW, kH, "yuv420p");
    for (int strideRGB : {0, 544}) {  // 0: rows aligned to 32 bytes, as the host contract has it
        HostFrame host;
        host.SetPacked(RawPattern("bgr24", kW, kH), Bgr24, kW, kH, 3, 544, true);
        host.flipped = true;
        host.strideRGB = strideRGB;
        host.time = kTime;
        DecodedAvFrame copy(&host);
        EXPECT_EQ(copy.GetFileTimeUtc(), kTime);
        EXPECT_EQ(MaxDifference(PackYuv420P(copy), expected), 0) << strideRGB;
    }
    for (const auto& [fmt, format, bytes] : {std::tuple{"rgb24", Rgb24, 3}, std::tuple{"bgra", Bgra32, 4},
                                             std::tuple{"abgr", Abgr32, 4}, std::tuple{"bgr24", DecodedImageFormat(5), 3}}) {
        HostFrame host;  // a layout outside the table is read as BGR24
        host.SetPacked(RawPattern(fmt, kW, kH), format, kW, kH, bytes, kW * bytes, false);
        host.strideRGB = kW * bytes;
        EXPECT_EQ(MaxDifference(PackYuv420P(DecodedAvFrame(&host)), CliConvert(fmt, kW, kH, "yuv420p")), 0) << fmt;
    }
    HostFrame planes;  // planar pictures are never flipped
    planes.SetYuv420P(RawPattern("yuv420p", kW, kH), kW, kH, 200, 100);
    planes.flipped = true;
    EXPECT_EQ(PackYuv420P(DecodedAvFrame(&planes)), RawPattern("yuv420p", kW, kH));
    HostFrame ended;  // not Ok: state and time only
    ended.SetPacked(RawPattern("bgr24", kW, kH), Bgr24, kW, kH, 3, 544, false);
    ended.state = EndOfArchive;
    ended.time = kTime;
    DecodedAvFrame copy(&ended);
    EXPECT_EQ(copy.GetDecoderState(), EndOfArchive);
    EXPECT_EQ(copy.GetFileTimeUtc(), kTime);
    EXPECT_EQ(copy.GetPicture(), nullptr);
    HostFrame cuda, noPixels;
    cuda.SetPacked(RawPattern("nv12", kW, kH), Cuda, kW, kH, 1, kW, false);
    noPixels.width = kW;
    noPixels.height = kH;
    EXPECT_EQ(DecodedAvFrame(&cuda).GetPicture(), nullptr);
    EXPECT_EQ(DecodedAvFrame(&noPixels).GetPicture(), nullptr);
}

TEST(AVFrameProxy, ReferencesWhatTheEncoderTakesAndConvertsTheRest) {
    SwsContextPtr cache;
    HostFrame host;
    host.SetYuv420P(RawPattern("yuv420p", kW, kH), kW, kH, 192, 96);
    auto same = Encoder(kW, kH);
    {
        AVFrameProxy proxy(&host, same.get(), &cache);
        EXPECT_EQ(proxy.Get()->buf[0], nullptr);  // no pixel buffer of its own
        EXPECT_EQ(proxy.Get()->data[2], host.GetV());
        EXPECT_EQ(proxy.Get()->linesize[0], 192);
    }
    auto smaller = Encoder(88, 72);
    const std::string scaled = CliConvert("yuv420p", kW, kH, "yuv420p", "bilinear", 88, 72);
    AVFrameProxy first(&host, smaller.get(), &cache);
    EXPECT_EQ(MaxDifference(PackFrame(first.Get()), scaled), 0);
    SwsContext* context = cache.get();
    AVFrameProxy second(&host, smaller.get(), &cache);
    EXPECT_EQ(cache.get(), context);  // same sizes and formats: the cached context serves
    HostFrame flipped;
    flipped.SetPacked(RawPattern("rgb24", kW, kH), Rgb24, kW, kH, 3, kW * 3, true);
    flipped.strideRGB = kW * 3;
    flipped.flipped = true;
    EXPECT_EQ(MaxDifference(PackFrame(AVFrameProxy(&flipped, same.get(), &cache).Get()),
                            CliConvert("rgb24", kW, kH, "yuv420p", "bilinear")),
              0);
    // An image of the encoder's size is referenced, another size scaled.
    AVFramePtr decoded = FrameFromRaw(RawPattern("yuv420p", kW, kH), AV_PIX_FMT_YUV420P, kW, kH);
    Plane y(kH, kW, decoded->data[0], decoded->linesize[0]), u(kH / 2, kW / 2, decoded->data[1], decoded->linesize[1]),
        v(kH / 2, kW / 2, decoded->data[2], decoded->linesize[2]);
    EXPECT_EQ(AVFrameProxy(Yuv420PImage(y, u, v), same.get(), &cache).Get()->data[1], decoded->data[1]);
    EXPECT_EQ(MaxDifference(PackFrame(AVFrameProxy(Yuv420PImage(y, u, v), smaller.get(), &cache).Get()), scaled), 0);
    // What cannot be read is refused rather than read.
    host.format = Cuda;
    EXPECT_EQ(ThrowText([&] { AVFrameProxy(&host, same.get(), &cache); }), "Unsupported input pixel format: 9");
    host.format = Yuv420P;
    host.v.clear();
    EXPECT_THROW(AVFrameProxy(&host, smaller.get(), &cache), CodeErrorException);
    Halvora::Video::Native::EmptyFrame end(EndOfArchive);
    EXPECT_THROW(AVFrameProxy(&end, smaller.get(), &cache), CodeErrorException);
    const Plane narrow(kH / 2, 2, decoded->data[1], decoded->linesize[1]);  // chroma too small for the luma
    EXPECT_THROW(AVFrameProxy(Yuv420PImage(y, narrow, v), smaller.get(), &cache), CodeErrorException);
}

TEST(RgbConversion, MatchesTheCliWithTheStrideTheHostReads) {
    constexpr int w = 100, h = 50;
    AVFramePtr source = FrameFromRaw(RawPattern("yuv420p", w, h), AV_PIX_FMT_YUV420P, w, h);
    int stride = -1;
    // The second argument is V, the third U.
    unsigned char* rgb = RuvarEduzid_YV420toRGB24(source->data[0], source->data[2], source->data[1], w, h,
                                                  source->linesize[0], source->linesize[1], &stride);
    ASSERT_NE(rgb, nullptr);
    EXPECT_EQ(stride, 320);  // 300 bytes a row, rounded up to 32
    std::string rows;
    for (int r = 0; r < h; ++r) rows.append(reinterpret_cast<const char*>(rgb) + r * stride, w * 3);
    EXPECT_EQ(MaxDifference(rows, CliConvert("yuv420p", w, h, "rgb24")), 0);
    RuvarEduzid_ReleaseBuffer(rgb);
    EXPECT_EQ(RuvarEduzid_YV420toRGB24(source->data[0], source->data[2], source->data[1], 0, h, w, w / 2, &stride), nullptr);
    EXPECT_EQ(RuvarEduzid_YV420toRGB24(nullptr, source->data[2], source->data[1], w, h, w, w / 2, nullptr), nullptr);

    // FfmpegImageConverter: exactly `height` rows (height given first), also from copies and
    // moves, which never share a context; a moved-from converter refuses.
    AVFramePtr big = FrameFromRaw(RawPattern("yuv420p", 640, 480), AV_PIX_FMT_YUV420P, 640, 480);
    const std::string bgr = CliConvert("yuv420p", 640, 480, "bgr24");
    auto converts = [&](const FfmpegImageConverter& converter) {
        AVFramePtr out(av_frame_alloc());
        out->format = AV_PIX_FMT_BGR24;
        out->width = 640;
        out->height = 481;
        av_frame_get_buffer(out.get(), 32);
        std::memset(out->data[0], 0xAB, out->linesize[0] * 481);
        converter.Convert(big.get(), out.get());
        std::string rows;
        for (int r = 0; r < 481; ++r) rows.append(reinterpret_cast<const char*>(out->data[0]) + r * out->linesize[0], 640 * 3);
        return MaxDifference(rows.substr(0, 640 * 3 * 480), bgr) == 0 && rows.substr(640 * 3 * 480) == std::string(1920, '\xAB');
    };
    auto original = std::make_unique<FfmpegImageConverter>(Yuv420P, Bgr24, 480, 640);
    FfmpegImageConverter copy(*original), assigned(Rgb24, Bgr24, 2, 2);
    assigned = *original;
    original.reset();
    EXPECT_TRUE(converts(copy));
    EXPECT_TRUE(converts(assigned));
    FfmpegImageConverter moved(std::move(copy));
    EXPECT_TRUE(converts(moved));
    EXPECT_THROW(converts(copy), CodeErrorException);
    EXPECT_THROW(FfmpegImageConverter(Yuv420P, Bgr24, 0, 640), CodeErrorException);
}
