// The H.264 file writer, checked by ffprobe and by the decoded pixels of what it writes.
#include "RuvarEduzid/DecodedAvFrame.h"
#include "RuvarEduzid/FFMpegVideoWriter.h"
#include "RuvarEduzid/GenericVideoWriter.h"
#include "RuvarEduzid/H264_MP4Convertor.h"

#include "Common/Exception.h"
#include "Common/Logger.h"
#include "Common/StringUtility.h"
#include "support/MediaProbe.h"
#include "support/TestSupport.h"

extern "C" {
#include <libavutil/frame.h>
}

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

using namespace Halvora::RuvarEduzid;
using Halvora::Common::CodeErrorException;
using Halvora::Common::DateTime;
using Halvora::Common::LogError;
using Halvora::Common::LogWarning;
using Halvora::Common::ManagedSPtr;
using Halvora::Common::ScopedLogCapture;
using Halvora::Orvi::Yuv420PImage;
using Halvora::Video::Native::DecodedImageFormat;
using Halvora::Video::Native::DecoderState;
using Halvora::Video::Native::IDecodedFrame;

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr int kFrames = 10;
constexpr double kPsnrFloor = 35.0;  // dB, crf 23 on testsrc2 at 320x240

std::string ReferenceYuv() {
    return RuvarTest::MakeFixture("writer_src_320x240.yuv",
                                  "-f lavfi -i testsrc2=size=320x240:rate=25 -frames:v 10 -pix_fmt yuv420p -f rawvideo");
}
std::string ReferenceBgr() {
    return RuvarTest::MakeFixture("writer_src_320x240.bgr",
                                  "-f lavfi -i testsrc2=size=320x240:rate=25 -frames:v 10 -pix_fmt bgr24 -f rawvideo");
}

// Frames of a raw yuv420p file as images over one buffer (no copies).
struct RawYuv {
    RawYuv(const std::string& path, int width, int height) : bytes(RuvarTest::ReadFile(path)), w(width), h(height) {}
    size_t FrameSize() const { return static_cast<size_t>(w) * h * 3 / 2; }
    int Count() const { return static_cast<int>(bytes.size() / FrameSize()); }
    uint8_t* Plane(int frame, int plane) {
        uint8_t* base = reinterpret_cast<uint8_t*>(&bytes[0]) + FrameSize() * frame;
        if (plane == 0) return base;
        if (plane == 1) return base + w * h;
        return base + w * h + (w / 2) * (h / 2);
    }
    Yuv420PImage Image(int frame) {
        return Yuv420PImage(cv::Mat_<unsigned char>(h, w, Plane(frame, 0)),
                            cv::Mat_<unsigned char>(h / 2, w / 2, Plane(frame, 1)),
                            cv::Mat_<unsigned char>(h / 2, w / 2, Plane(frame, 2)));
    }
    std::string bytes;
    int w, h;
};

// A host's own frame: packed pixels or planes in its memory; counts its deletions.
class ForeignFrame : public IDecodedFrame {
public:
    static std::atomic<int> deleted;
    ForeignFrame(DecodedImageFormat format, int width, int height, std::string pixels)
        : m_format(format), m_width(width), m_height(height), m_pixels(std::move(pixels)) {}
    ~ForeignFrame() override { ++deleted; }
    const unsigned char* ImageData() const override { return Data(); }
    int DataSize() const override { return static_cast<int>(m_pixels.size()); }
    int Width() const override { return m_width; }
    int Height() const override { return m_height; }
    int StrideRGB() const override { return m_width * 3; }
    int StrideY() const override { return m_width; }
    int StrideUV() const override { return m_width / 2; }
    bool IsVerticallyFlipped() const override { return false; }
    DecodedImageFormat Format() const override { return m_format; }
    const unsigned char* GetY() const override { return Data(); }
    const unsigned char* GetU() const override { return Data() + m_width * m_height; }
    const unsigned char* GetV() const override { return Data() + m_width * m_height * 5 / 4; }
    const unsigned char* GetUV() const override { return nullptr; }
    long long GetFileTimeUtc() const override { return 0; }
    DecoderState GetDecoderState() const override { return Halvora::Video::Native::Ok; }
    void GetParam(unsigned int, void*, size_t) const override {}
    void MoveToRam() override {}

private:
    const unsigned char* Data() const { return reinterpret_cast<const unsigned char*>(m_pixels.data()); }
    DecodedImageFormat m_format;
    int m_width, m_height;
    std::string m_pixels;
};
std::atomic<int> ForeignFrame::deleted{0};

std::string Dir() {
    static std::string dir = RuvarTest::TempDir("GenericVideoWriter");
    return dir;
}
std::wstring Wide(const std::string& s) { return Halvora::Common::StringUtility::StringToWstring(s); }

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::string LongReferenceYuv() {
    return RuvarTest::MakeFixture("writer_src_320x240_40.yuv",
                                  "-f lavfi -i testsrc2=size=320x240:rate=25 -frames:v 40 -pix_fmt yuv420p -f rawvideo");
}

// Writes `count` frames of the reference as images, then destroys the writer.
void WriteImages(const std::string& path, int count, int frameRate = 2500) {
    RawYuv raw(count > kFrames ? LongReferenceYuv() : ReferenceYuv(), kWidth, kHeight);
    GenericVideoWriter writer(Wide(path), kWidth, kHeight, frameRate);
    for (int i = 0; i < count; ++i) writer.WriteFrame(raw.Image(i % raw.Count()), DateTime::FromUnixSeconds(1000 - 7 * i));
}

std::vector<double> SortedPts(const std::string& path) {
    std::vector<double> pts;
    for (const auto& p : RuvarTest::ProbeVideoPackets(path)) pts.push_back(p.ptsTime);
    std::sort(pts.begin(), pts.end());
    return pts;
}

}  // namespace

TEST(GenericVideoWriter, ThreeFramesGiveTwoFramesOfH264InMp4) {
    const std::string path = Dir() + "/three.mp4";
    WriteImages(path, 3);
    EXPECT_EQ(RuvarTest::ProbeFormatName(path), "mov,mp4,m4a,3gp,3g2,mj2");
    EXPECT_EQ(RuvarTest::ProbeStreamField(path, "codec_name"), "h264");
    EXPECT_EQ(RuvarTest::ProbeStreamField(path, "width,height"), "320,240");
    EXPECT_EQ(RuvarTest::ProbeStreamField(path, "pix_fmt"), "yuv420p");
    EXPECT_EQ(RuvarTest::ProbeFrameCount(path), 2);
}

TEST(GenericVideoWriter, OneFrameGivesAValidFileWithoutFrames) {
    const std::string path = Dir() + "/one.mp4";
    WriteImages(path, 1);
    // ffprobe reads header and trailer; the muxer leaves out a track without samples.
    EXPECT_EQ(RuvarTest::ProbeFormatName(path), "mov,mp4,m4a,3gp,3g2,mj2");
    EXPECT_TRUE(RuvarTest::ProbeVideoPackets(path).empty());
    std::string out;
    EXPECT_EQ(RuvarTest::RunCommand("ffprobe -v error -show_entries format=nb_streams -of csv=p=0 " +
                                        RuvarTest::Quote(path),
                                    &out, true),
              0);
    EXPECT_EQ(out, "0\n");  // no complaint from the reader
}

TEST(GenericVideoWriter, TimeStampsCountFramesAtTheNominalRate) {
    const std::string path25 = Dir() + "/rate25.mp4";
    WriteImages(path25, kFrames, 2500);
    auto pts = SortedPts(path25);
    ASSERT_EQ(pts.size(), static_cast<size_t>(kFrames - 1));
    for (size_t i = 0; i < pts.size(); ++i) EXPECT_NEAR(pts[i] - pts[0], i * 0.04, 1e-6) << i;

    const std::string path12 = Dir() + "/rate12_5.mp4";
    WriteImages(path12, 4, 1250);
    pts = SortedPts(path12);
    ASSERT_EQ(pts.size(), 3u);
    EXPECT_NEAR(pts[2] - pts[0], 0.16, 1e-6);
    EXPECT_EQ(RuvarTest::ProbeStreamField(path12, "avg_frame_rate"), "25/2");
}

TEST(GenericVideoWriter, FirstFrameIsKeyAndKeyFramesComeEveryTwelve) {
    const std::string path = Dir() + "/gop.mp4";
    WriteImages(path, 31);
    auto packets = RuvarTest::ProbeVideoPackets(path);
    ASSERT_EQ(packets.size(), 30u);
    EXPECT_TRUE(packets[0].key);
    std::vector<long> keyFrames;
    for (const auto& p : packets)
        if (p.key) keyFrames.push_back(std::lround((p.ptsTime - packets[0].ptsTime) / 0.04));
    std::sort(keyFrames.begin(), keyFrames.end());
    EXPECT_EQ(keyFrames, (std::vector<long>{0, 12, 24}));
    auto types = RuvarTest::ProbePictTypes(path);
    ASSERT_EQ(types.size(), 30u);
    EXPECT_EQ(types[0], "I");
}

TEST(GenericVideoWriter, DecodedPixelsStayCloseToTheInput) {
    const std::string path = Dir() + "/psnr.mp4";
    WriteImages(path, kFrames);
    // The i-th written frame is the i-th input: a shift by one would cost far more than this.
    const double psnr = RuvarTest::AveragePsnr(path, ReferenceYuv(), kWidth, kHeight);
    EXPECT_GT(psnr, kPsnrFloor);
}

TEST(GenericVideoWriter, ContainerFollowsTheFileName) {
    const std::string mkv = Dir() + "/clip.mkv";
    WriteImages(mkv, 3);
    EXPECT_EQ(RuvarTest::ProbeFormatName(mkv), "matroska,webm");
    EXPECT_EQ(RuvarTest::ProbeFrameCount(mkv), 2);

    const std::string unknown = Dir() + "/clip.notacontainer";
    ScopedLogCapture capture(0);
    WriteImages(unknown, 3);
    EXPECT_EQ(RuvarTest::ProbeFormatName(unknown), "mov,mp4,m4a,3gp,3g2,mj2");
    EXPECT_EQ(RuvarTest::ProbeFrameCount(unknown), 2);
    EXPECT_TRUE(capture.Sink().Contains("Could not deduce output format from file extension: using MP4, error:" +
                                            std::to_string(AVERROR(EINVAL)) + " file:" + unknown,
                                        LogWarning));
}

TEST(GenericVideoWriter, OversizedRequestIsCappedAndFramesAreScaled) {
    const std::string path = Dir() + "/capped.mp4";
    const int w = 4096, h = 2304;
    cv::Mat_<unsigned char> y(h, w), u(h / 2, w / 2, static_cast<unsigned char>(90)),
        v(h / 2, w / 2, static_cast<unsigned char>(160));
    for (int r = 0; r < h; ++r) y.row(r).setTo(static_cast<unsigned char>(16 + (r * 200) / h));
    {
        GenericVideoWriter writer(Wide(path), w, h, 2500);
        for (int i = 0; i < 3; ++i) writer.WriteFrame(Yuv420PImage(y, u, v), DateTime());
    }
    EXPECT_EQ(RuvarTest::ProbeStreamField(path, "width,height"), "3840,2160");
    EXPECT_EQ(RuvarTest::ProbeFrameCount(path), 2);
}

TEST(GenericVideoWriter, FramesOfAnotherSizeAreScaledToTheEncoderSize) {
    const std::string source = RuvarTest::MakeFixture(
        "writer_src_640x480.yuv", "-f lavfi -i testsrc2=size=640x480:rate=25 -frames:v 6 -pix_fmt yuv420p -f rawvideo");
    const std::string reference = RuvarTest::MakeFixture(
        "writer_src_640x480_to_320x240.yuv", "-f rawvideo -pix_fmt yuv420p -s 640x480 -i " + RuvarTest::Quote(source) +
                                                 " -vf scale=320:240:flags=bilinear -pix_fmt yuv420p -f rawvideo");
    const std::string path = Dir() + "/scaled.mp4";
    {
        RawYuv raw(source, 640, 480);
        GenericVideoWriter writer(Wide(path), kWidth, kHeight, 2500);
        for (int i = 0; i < raw.Count(); ++i) writer.WriteFrame(raw.Image(i), DateTime());
    }
    EXPECT_EQ(RuvarTest::ProbeStreamField(path, "width,height"), "320,240");
    EXPECT_EQ(RuvarTest::ProbeFrameCount(path), 5);
    EXPECT_GT(RuvarTest::AveragePsnr(path, reference, kWidth, kHeight), 30.0);
}

TEST(GenericVideoWriter, DecoderFramesEncode) {
    const std::string path = Dir() + "/decoded.mp4";
    RawYuv raw(ReferenceYuv(), kWidth, kHeight);
    {
        GenericVideoWriter writer(Wide(path), kWidth, kHeight, 2500);
        for (int i = 0; i < raw.Count(); ++i) {
            AVFrame* picture = av_frame_alloc();
            picture->format = AV_PIX_FMT_YUV420P;
            picture->width = kWidth;
            picture->height = kHeight;
            ASSERT_EQ(av_frame_get_buffer(picture, 32), 0);
            for (int plane = 0; plane < 3; ++plane) {
                const int pw = plane ? kWidth / 2 : kWidth, ph = plane ? kHeight / 2 : kHeight;
                for (int r = 0; r < ph; ++r)
                    std::memcpy(picture->data[plane] + r * picture->linesize[plane], raw.Plane(i, plane) + r * pw, pw);
            }
            std::shared_ptr<IDecodedFrame> frame = std::make_shared<DecodedAvFrame>(DateTime::UnixEpochTicks, picture);
            av_frame_free(&picture);
            writer.WriteFrame(frame);
        }
    }
    EXPECT_EQ(RuvarTest::ProbeFrameCount(path), kFrames - 1);
    EXPECT_GT(RuvarTest::AveragePsnr(path, ReferenceYuv(), kWidth, kHeight), kPsnrFloor);
}

TEST(GenericVideoWriter, ForeignPackedRgbFramesEncode) {
    const std::string path = Dir() + "/bgr.mp4";
    const std::string bgr = RuvarTest::ReadFile(ReferenceBgr());
    const size_t frameBytes = static_cast<size_t>(kWidth) * kHeight * 3;
    {
        GenericVideoWriter writer(Wide(path), kWidth, kHeight, 2500);
        for (size_t i = 0; i < bgr.size() / frameBytes; ++i) {
            writer.WriteFrame(std::make_shared<ForeignFrame>(Halvora::Video::Native::Bgr24, kWidth, kHeight,
                                                             bgr.substr(i * frameBytes, frameBytes)));
        }
    }
    EXPECT_EQ(RuvarTest::ProbeFrameCount(path), kFrames - 1);
    EXPECT_GT(RuvarTest::AveragePsnr(path, ReferenceYuv(), kWidth, kHeight), 30.0);
}

TEST(GenericVideoWriter, UnencodableFrameIsDroppedAndLaterFramesGoOn) {
    const std::string path = Dir() + "/dropped.mp4";
    RawYuv raw(ReferenceYuv(), kWidth, kHeight);
    auto yuv = [&](int i) {
        return std::make_shared<ForeignFrame>(Halvora::Video::Native::Yuv420P, kWidth, kHeight,
                                              raw.bytes.substr(raw.FrameSize() * i, raw.FrameSize()));
    };
    {
        GenericVideoWriter writer(Wide(path), kWidth, kHeight, 2500);
        writer.WriteFrame(yuv(0));
        writer.WriteFrame(std::make_shared<ForeignFrame>(Halvora::Video::Native::Cuda, kWidth, kHeight, ""));
        EXPECT_THROW(writer.WriteFrame(yuv(1)), CodeErrorException);  // the held CUDA frame cannot be encoded
        EXPECT_NO_THROW(writer.WriteFrame(yuv(2)));
        EXPECT_NO_THROW(writer.WriteFrame(yuv(3)));
    }
    EXPECT_EQ(RuvarTest::ProbeFrameCount(path), 3);
}

TEST(GenericVideoWriter, MissingDirectoryFailsWithTheOpenError) {
    const std::string path = Dir() + "/no/such/dir/clip.mp4";
    ScopedLogCapture capture(0);
    try {
        GenericVideoWriter writer(Wide(path), kWidth, kHeight, 2500);
        FAIL() << "no exception";
    } catch (const CodeErrorException& e) {
        EXPECT_EQ(std::string(e.what()), "Could not open file " + path + " , error " + std::to_string(AVERROR(ENOENT)));
        EXPECT_TRUE(capture.Sink().Contains(std::string("Throw: ") + e.what(), LogError));
    }
    EXPECT_FALSE(Exists(path));
}

TEST(GenericVideoWriter, BadFrameRateFailsToOpenTheCodec) {
    try {
        GenericVideoWriter writer(Wide(Dir() + "/rate0.mp4"), kWidth, kHeight, 0);
        FAIL() << "no exception";
    } catch (const CodeErrorException& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Could not open video codec ", 0), 0u) << e.what();
    }
    EXPECT_FALSE(Exists(Dir() + "/rate0.mp4"));
}

TEST(GenericVideoWriter, FileNamesOverTheUtf8LimitAreRejected) {
    // U+00E9 takes two bytes in UTF-8: the limit counts bytes, not characters.
    auto nameOfBytes = [](size_t bytes) {
        std::wstring name = L"/nonexistent-dir/";
        size_t used = 17;
        while (used + 2 <= bytes - 4) {
            name += L'\u00e9';
            used += 2;
        }
        while (used < bytes - 4) {
            name += L'a';
            ++used;
        }
        return name + L".mp4";
    };
    ASSERT_EQ(Halvora::Common::StringUtility::WstringToString(nameOfBytes(1024)).size(), 1024u);
    try {
        GenericVideoWriter writer(nameOfBytes(1024), kWidth, kHeight, 2500);
        FAIL() << "no exception";
    } catch (const CodeErrorException& e) {
        EXPECT_EQ(std::string(e.what()), "File name too long: 1024 bytes in UTF-8, at most 1023");
    }
    // 1023 bytes pass the check and fail only where the directory is missing.
    try {
        GenericVideoWriter writer(nameOfBytes(1023), kWidth, kHeight, 2500);
        FAIL() << "no exception";
    } catch (const CodeErrorException& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Could not open file /nonexistent-dir/\u00e9", 0), 0u);
    }
}

TEST(GenericVideoWriter, NonAsciiFileNameIsWrittenAsUtf8) {
    const std::string path = Dir() + "/cl\u00edp \u65e5\u672c.mp4";
    WriteImages(path, 3);
    EXPECT_TRUE(Exists(path));
    EXPECT_EQ(RuvarTest::ProbeFrameCount(path), 2);
}

TEST(GenericVideoWriter, WritersInParallelThreadsEachFinishTheirFile) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([t] { WriteImages(Dir() + "/parallel" + std::to_string(t) + ".mp4", 5); });
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < 3; ++t) EXPECT_EQ(RuvarTest::ProbeFrameCount(Dir() + "/parallel" + std::to_string(t) + ".mp4"), 4);
}

TEST(GenericVideoWriter, RawH264OutputConvertsToMp4InMemory) {
    const std::string path = Dir() + "/raw.h264";
    WriteImages(path, kFrames);
    EXPECT_EQ(RuvarTest::ProbeFormatName(path), "h264");
    auto input = std::make_shared<Halvora::IO::MemoryOutputStream>();
    const std::string bytes = RuvarTest::ReadFile(path);
    input->Write(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    auto output = std::make_shared<Halvora::IO::MemoryOutputStream>();
    ConvertH264_MP4(input, output, 25.0f, cv::Size(kWidth, kHeight));
    const std::string mp4 = Dir() + "/raw_converted.mp4";
    RuvarTest::WriteFile(mp4, std::string(reinterpret_cast<const char*>(output->GetBuffer()), output->GetSize()));
    EXPECT_EQ(RuvarTest::ProbeFrameCount(mp4), kFrames - 1);
    auto packets = RuvarTest::ProbeVideoPackets(mp4);
    ASSERT_EQ(packets.size(), static_cast<size_t>(kFrames - 1));
    for (size_t i = 0; i < packets.size(); ++i) EXPECT_NEAR(packets[i].ptsTime, i * 0.04, 1e-6);
}

TEST(GenericVideoWriter, ExportedCreateReturnsNullAndLogsOnFailure) {
    ScopedLogCapture capture(0);
    const std::wstring path = Wide(Dir() + "/missing/clip.mp4");
    EXPECT_EQ(RuvarEduzid_CreateSharedGenericVideoWriter(path.c_str(), kWidth, kHeight, 2500), nullptr);
    EXPECT_TRUE(capture.Sink().Contains("An error occured during the creation of the writer:Could not open file ", LogError));
    bool placed = false;
    for (const auto& r : capture.Sink().Records())
        if (r.message.rfind("An error occured during the creation of the writer:", 0) == 0)
            placed = r.function == "RuvarEduzid_CreateSharedGenericVideoWriter";
    EXPECT_TRUE(placed);
    EXPECT_EQ(RuvarEduzid_CreateSharedGenericVideoWriter(nullptr, kWidth, kHeight, 2500), nullptr);
}

TEST(GenericVideoWriter, ExportedFunctionsWorkThroughDlopenAndAdoptBareFrames) {
    using Create = ManagedSPtr<IVideoWriter>* (*)(const wchar_t*, int, int, int);
    using Write = void (*)(ManagedSPtr<IVideoWriter>*, IDecodedFrame*);
    void* library = dlopen(RUVAR_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto create = reinterpret_cast<Create>(dlsym(library, "RuvarEduzid_CreateSharedGenericVideoWriter"));
    auto write = reinterpret_cast<Write>(dlsym(library, "RuvarEduzid_WriteFrameToGenericVideoWriter"));
    ASSERT_NE(create, nullptr);
    ASSERT_NE(write, nullptr);

    const std::string path = Dir() + "/exported.mp4";
    RawYuv raw(ReferenceYuv(), kWidth, kHeight);
    ForeignFrame::deleted = 0;
    ManagedSPtr<IVideoWriter>* handle = create(Wide(path).c_str(), kWidth, kHeight, 2500);
    ASSERT_NE(handle, nullptr);
    for (int i = 0; i < 4; ++i) {
        write(handle, new ForeignFrame(Halvora::Video::Native::Yuv420P, kWidth, kHeight,
                                       raw.bytes.substr(raw.FrameSize() * i, raw.FrameSize())));
    }
    EXPECT_EQ(ForeignFrame::deleted, 3);  // encoded frames are released; the last one is still held
    delete handle;                        // the last share: the file is finished
    EXPECT_EQ(ForeignFrame::deleted, 4);
    EXPECT_EQ(create(Wide(Dir() + "/missing/x.mp4").c_str(), kWidth, kHeight, 2500), nullptr);
    dlclose(library);

    EXPECT_EQ(RuvarTest::ProbeFrameCount(path), 3);
    EXPECT_GT(RuvarTest::AveragePsnr(path, ReferenceYuv(), kWidth, kHeight), kPsnrFloor);
}

TEST(FFMpegVideoWriter, ConstructionAlwaysFailsAsDeprecated) {
    ScopedLogCapture capture(0);
    try {
        FFMpegVideoWriter writer(640, 480, 25);
        FAIL() << "no exception";
    } catch (const CodeErrorException& e) {
        EXPECT_STREQ(e.what(), "Deprecated video writer");
    }
    auto records = capture.Sink().Records();
    auto it = std::find_if(records.begin(), records.end(),
                           [](const auto& r) { return r.message == "Throw: Deprecated video writer"; });
    ASSERT_NE(it, records.end());
    EXPECT_EQ(it->level, LogError);
    EXPECT_EQ(it->function, "Halvora::RuvarEduzid::FFMpegVideoWriter::FFMpegVideoWriter");
    EXPECT_THROW(FFMpegVideoWriter(1, 2, 3), Halvora::Common::Exception);
    EXPECT_THROW(FFMpegVideoWriter(1, 2, 3), std::exception);
}
