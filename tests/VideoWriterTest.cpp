// The H.264 file writer and the raw-H.264-to-MP4 conversion, read back by ffprobe and FFmpeg: what
// the files hold, the frames a host hands in, failures, a full disk and the exported functions.
#include "Common/Logger.h"
#include "Common/ManagedObject.h"
#include "RuvarEduzid/DecodedAvFrame.h"
#include "RuvarEduzid/GenericVideoWriter.h"
#include "RuvarEduzid/H264_MP4Convertor.h"
#include "support/Pictures.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <random>

using namespace RuvarTest;
using namespace Halvora::RuvarEduzid;
using Halvora::Common::DateTime;
using Halvora::Common::ScopedLogCapture;
using Halvora::IO::MemoryOutputStream;
using Halvora::Orvi::Yuv420PImage;

namespace {

constexpr int kW = 320, kH = 240;

// `frames` frames of testsrc2 in a raw pixel format.
std::string RawFrames(const std::string& size, int frames, const std::string& pixFmt) {
    return MakeFixture("writer_" + size + "_" + std::to_string(frames) + "." + pixFmt,
                       "-f lavfi -i testsrc2=size=" + size + ":rate=25 -frames:v " + std::to_string(frames) +
                           " -pix_fmt " + pixFmt + " -f rawvideo");
}
std::string ReferenceYuv() { return RawFrames("320x240", 40, "yuv420p"); }
std::string RawH264() {
    return MakeFixture("convert30.h264", "-f lavfi -i testsrc=size=320x240:rate=25 -frames:v 30 -c:v libx264 -bf 0 "
                                         "-g 10 -pix_fmt yuv420p -f h264");
}
Yuv420PImage Image(std::string& raw, int i, int w = kW, int h = kH) {
    uint8_t* base = reinterpret_cast<uint8_t*>(&raw[0]) + static_cast<size_t>(w) * h * 3 / 2 * i;
    return Yuv420PImage(cv::Mat_<unsigned char>(h, w, base), cv::Mat_<unsigned char>(h / 2, w / 2, base + w * h),
                        cv::Mat_<unsigned char>(h / 2, w / 2, base + w * h * 5 / 4));
}
HostFrame Frame(const std::string& raw, int i) {
    HostFrame frame;
    frame.SetYuv420P(raw.substr(static_cast<size_t>(kW) * kH * 3 / 2 * i, kW * kH * 3 / 2), kW, kH, kW, kW / 2);
    return frame;
}
// `count` frames of the reference as images, then the writer goes; it holds the last frame given.
void WriteImages(const std::string& path, int count, int frameRate = 2500) {
    std::string raw = ReadFile(ReferenceYuv());
    GenericVideoWriter writer(W(path), kW, kH, frameRate);
    for (int i = 0; i < count; ++i) writer.WriteFrame(Image(raw, i % 40), DateTime::FromUnixSeconds(1000 - 7 * i));
}

std::shared_ptr<MemoryOutputStream> Load(const std::string& path) {
    auto stream = std::make_shared<MemoryOutputStream>();
    const std::string bytes = ReadFile(path);
    stream->Write(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    return stream;
}
std::string Save(const MemoryOutputStream& stream, const std::string& path) {
    WriteFile(path, std::string(reinterpret_cast<const char*>(stream.GetBuffer()), stream.GetSize()));
    return path;
}

}  // namespace

// Every frame but the held last one, at the nominal rate, a key frame first and every twelve, the
// pixels those given (a shift by one frame would cost far more than the floor).
TEST(GenericVideoWriter, WritesTheFramesGivenAtTheNominalRate) {
    const std::string dir = TempDir("writer");
    WriteImages(dir + "/gop.mp4", 31);
    EXPECT_EQ(StreamField(dir + "/gop.mp4", "codec_name,width,height,pix_fmt"), "h264,320,240,yuv420p");
    const auto packets = Packets(dir + "/gop.mp4");
    ASSERT_EQ(packets.size(), 30u);
    std::vector<long> frames, keys;
    for (const auto& p : packets) (p.key ? keys : frames).push_back(std::lround(p.ptsTime / 0.04));
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(keys, (std::vector<long>{0, 12, 24}));
    EXPECT_EQ(frames.size() + keys.size(), 30u);
    EXPECT_GT(AveragePsnr(dir + "/gop.mp4", ReferenceYuv(), kW, kH), 35.0);
    WriteImages(dir + "/rate.mp4", 4, 1250);
    EXPECT_EQ(StreamField(dir + "/rate.mp4", "avg_frame_rate"), "25/2");
    std::vector<double> pts;
    for (const auto& p : Packets(dir + "/rate.mp4")) pts.push_back(p.ptsTime);
    std::sort(pts.begin(), pts.end());
    EXPECT_EQ(pts.size(), 3u);
    EXPECT_NEAR(pts.back() - pts.front(), 0.16, 1e-6);
    WriteImages(dir + "/clip.mkv", 3);  // the container follows the name
    EXPECT_EQ(Probe(dir + "/clip.mkv", "-show_entries format=format_name -of default=nw=1:nk=1"), "matroska,webm\n");
    WriteImages(dir + "/one.mp4", 1);  // a valid file without frames
    EXPECT_EQ(Probe(dir + "/one.mp4", "-show_entries format=nb_streams -of csv=p=0"), "0\n");
}

// Decoder frames, a host's packed frames and pictures of another size all encode; a frame that cannot be encoded is dropped and later frames go on.
TEST(GenericVideoWriter, TakesEveryKindOfFrame) {
    const std::string dir = TempDir("writer_frames");
    std::string raw = ReadFile(ReferenceYuv());
    {
        GenericVideoWriter writer(W(dir + "/decoded.mp4"), kW, kH, 2500);
        for (int i = 0; i < 10; ++i)
            writer.WriteFrame(std::make_shared<DecodedAvFrame>(
                0, FrameFromRaw(raw.substr(kW * kH * 3 / 2 * i, kW * kH * 3 / 2), AV_PIX_FMT_YUV420P, kW, kH).get()));
    }
    EXPECT_GT(AveragePsnr(dir + "/decoded.mp4", ReferenceYuv(), kW, kH), 35.0);
    const std::string bgr = ReadFile(RawFrames("320x240", 10, "bgr24"));
    {
        GenericVideoWriter writer(W(dir + "/bgr.mp4"), kW, kH, 2500);
        for (int i = 0; i < 10; ++i) {
            auto frame = std::make_shared<HostFrame>();
            frame->SetPacked(bgr.substr(kW * kH * 3 * i, kW * kH * 3), Bgr24, kW, kH, 3, kW * 3, false);
            writer.WriteFrame(frame);
        }
    }
    EXPECT_GT(AveragePsnr(dir + "/bgr.mp4", ReferenceYuv(), kW, kH), 30.0);
    std::string big = ReadFile(RawFrames("640x480", 6, "yuv420p"));
    const std::string scaled = MakeFixture("writer_640x480_to_320x240.yuv",
                                           "-f rawvideo -pix_fmt yuv420p -s 640x480 -i " + Quote(RawFrames("640x480", 6, "yuv420p")) +
                                               " -vf scale=320:240:flags=bilinear -pix_fmt yuv420p -f rawvideo");
    {
        GenericVideoWriter writer(W(dir + "/scaled.mp4"), kW, kH, 2500);
        for (int i = 0; i < 6; ++i) writer.WriteFrame(Image(big, i, 640, 480), DateTime());
    }
    EXPECT_EQ(StreamField(dir + "/scaled.mp4", "width,height"), "320,240");
    EXPECT_GT(AveragePsnr(dir + "/scaled.mp4", scaled, kW, kH), 30.0);
    {
        GenericVideoWriter writer(W(dir + "/dropped.mp4"), kW, kH, 2500);
        writer.WriteFrame(std::make_shared<HostFrame>(Frame(raw, 0)));
        auto cuda = std::make_shared<HostFrame>();
        cuda->format = Cuda;
        writer.WriteFrame(cuda);
        EXPECT_THROW(writer.WriteFrame(std::make_shared<HostFrame>(Frame(raw, 1))), Halvora::Common::CodeErrorException);
        writer.WriteFrame(std::make_shared<HostFrame>(Frame(raw, 2)));
        writer.WriteFrame(std::make_shared<HostFrame>(Frame(raw, 3)));
    }
    EXPECT_EQ(CountFrames(dir + "/dropped.mp4"), 3);
}

TEST(GenericVideoWriter, RefusesWhatItCannotWriteAndLeavesNothing) {
    const std::string dir = TempDir("writer_refused");
    EXPECT_EQ(ThrowText([&] { GenericVideoWriter(W(dir + "/no/dir/clip.mp4"), kW, kH, 2500); }),
              "Could not open file " + dir + "/no/dir/clip.mp4 , error " + std::to_string(AVERROR(ENOENT)));
    EXPECT_EQ(ThrowText([&] { GenericVideoWriter(W(dir + "/rate0.mp4"), kW, kH, 0); }).rfind("Could not open video codec ", 0),
              0u);
    EXPECT_FALSE(Exists(dir + "/rate0.mp4"));
}

// A finished file, then a second one that runs out of room: the second writer logs its failures and
// finishes; the first file is unchanged and decodes. On a disk already full a writer is refused.
TEST(GenericVideoWriter, AFullDiskIsLoggedAndKeepsTheFinishedFile) {
    EXPECT_EXIT(
        {
            SmallDisk disk("writer_disk_full", 600 * 1024);
            auto writeNoise = [&](const std::string& path, int w, int h, int frames, uint32_t seed) {
                ScopedLogCapture capture(Halvora::Common::LogError);
                std::mt19937 random(seed);
                {  // the trailer is written, or its failure logged, within the capture
                    GenericVideoWriter writer(W(path), w, h, 2500);
                    for (int i = 0; i < frames; ++i) {
                        Yuv420PImage image(cv::Mat_<unsigned char>(h, w), cv::Mat_<unsigned char>(h / 2, w / 2),
                                           cv::Mat_<unsigned char>(h / 2, w / 2));
                        for (auto* plane : {&image.yMat, &image.uMat, &image.vMat})
                            for (auto& px : *plane) px = static_cast<unsigned char>(random());
                        writer.WriteFrame(image, DateTime(DateTime::UnixEpochTicks + i * 400000LL));
                    }
                }
                return capture.Sink().Messages(Halvora::Common::LogError);
            };
            RUVAR_CHILD_CHECK(writeNoise(disk.Path() + "/finished.mp4", 160, 120, 6, 1).empty(), "the first file");
            const std::string before = ReadFile(disk.Path() + "/finished.mp4");
            RUVAR_CHILD_CHECK(FrameMd5(disk.Path() + "/finished.mp4").size() == 5, "the first file holds 5 frames");
            RUVAR_CHILD_CHECK(!writeNoise(disk.Path() + "/filling.mp4", 640, 480, 60, 2).empty(), "a full disk is logged");
            RUVAR_CHILD_CHECK(ReadFile(disk.Path() + "/finished.mp4") == before, "the finished file is unchanged");
            FillDisk(disk.Path() + "/ballast");
            const std::string refused = ThrowText([&] { writeNoise(disk.Path() + "/late.mp4", 320, 240, 10, 3); });
            RUVAR_CHILD_CHECK(refused.find("Could not open file") == 0 && refused.find("error -28") != std::string::npos,
                              "a writer on a full disk is refused: " + refused);
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(GenericVideoWriter, ExportedFunctionsAdoptBareFramesAndFailWithNull) {
    using Create = Halvora::Common::ManagedSPtr<IVideoWriter>* (*)(const wchar_t*, int, int, int);
    using Write = void (*)(Halvora::Common::ManagedSPtr<IVideoWriter>*, IDecodedFrame*);
    auto create = Exported<Create>("RuvarEduzid_CreateSharedGenericVideoWriter");
    auto write = Exported<Write>("RuvarEduzid_WriteFrameToGenericVideoWriter");
    ASSERT_TRUE(create && write);
    const std::string dir = TempDir("writer_exported");
    const std::string raw = ReadFile(ReferenceYuv());
    auto* handle = create(W(dir + "/exported.mp4").c_str(), kW, kH, 2500);
    ASSERT_NE(handle, nullptr);
    SyntheticFrame::Destroyed() = 0;
    for (int i = 0; i < 4; ++i) write(handle, new SyntheticFrame(kW, kH, i, 0));
    EXPECT_EQ(SyntheticFrame::Destroyed(), 3);  // encoded frames are released; the last one is held
    delete handle;                              // the last share: the file is finished
    EXPECT_EQ(SyntheticFrame::Destroyed(), 4);
    EXPECT_EQ(CountFrames(dir + "/exported.mp4"), 3);
    EXPECT_EQ(create(nullptr, kW, kH, 2500), nullptr);
    ScopedLogCapture capture(0);  // the logger of this program's own copy of the library
    EXPECT_EQ(RuvarEduzid_CreateSharedGenericVideoWriter(W(dir + "/missing/x.mp4").c_str(), kW, kH, 2500), nullptr);
    EXPECT_TRUE(capture.Sink().Contains("An error occured during the creation of the writer:Could not open file ", 4));
}

// ---- raw H.264 to MP4 in memory ----------------------------------------------------------------

TEST(H264Mp4Convertor, EveryPacketAtItsFrameTimeUnchanged) {
    const std::string raw = RawH264();
    const std::string dir = TempDir("convert");
    auto input = Load(raw);
    const std::string before = Md5Hex(input->GetBuffer(), input->GetSize());
    for (const auto& [fps, rate, step] : {std::tuple{25.0f, "25/1", 0.04}, std::tuple{12.5f, "25/2", 0.08}}) {
        auto output = std::make_shared<MemoryOutputStream>();
        ConvertH264_MP4(input, output, fps, cv::Size(0, 0));
        const std::string path = Save(*output, dir + "/clip" + std::to_string(static_cast<int>(fps * 10)) + ".mp4");
        EXPECT_EQ(StreamField(path, "codec_name,avg_frame_rate"), std::string("h264,") + rate);
        const auto packets = Packets(path);
        ASSERT_EQ(packets.size(), 30u);
        for (size_t i = 0; i < packets.size(); ++i) {
            EXPECT_NEAR(packets[i].ptsTime, i * step, 1e-6) << i;
            EXPECT_EQ(packets[i].key, i % 10 == 0) << i;
        }
        EXPECT_EQ(FrameMd5(path), FrameMd5(raw));  // nothing re-encoded
        // The muxer's final rewrites land in place: ftyp ... moov tile the buffer exactly.
        std::vector<std::string> boxes;
        for (size_t at = 0; at + 8 <= output->GetSize();) {
            const uint8_t* b = output->GetBuffer() + at;
            const size_t size = (size_t(b[0]) << 24) | (b[1] << 16) | (b[2] << 8) | b[3];
            boxes.emplace_back(reinterpret_cast<const char*>(b + 4), 4);
            at = size >= 8 ? at + size : output->GetSize() + 1;
            if (at == output->GetSize()) boxes.push_back("end");
        }
        EXPECT_EQ(boxes.front(), "ftyp");
        EXPECT_EQ(boxes.back(), "end");
        EXPECT_EQ(boxes[boxes.size() - 2], "moov");
    }
    EXPECT_EQ(Md5Hex(input->GetBuffer(), input->GetSize()), before);  // the input is left as it was
    // A read error mid-stream ends the input: the clip is still finished with what came before.
    ScopedLogCapture capture(0);
    auto output = std::make_shared<MemoryOutputStream>();
    int reads = 0;
    Detail::ConvertH264_MP4(input, output, 25.0f, [&](AVFormatContext* context, AVPacket* packet) {
        return ++reads <= 3 ? av_read_frame(context, packet) : reads > 100 ? AVERROR_EOF : AVERROR(EIO);
    });
    EXPECT_EQ(reads, 4);
    EXPECT_EQ(Packets(Save(*output, dir + "/three.mp4")).size(), 3u);
}

TEST(H264Mp4Convertor, BadInputsAndRatesFailBeforeAnythingIsWritten) {
    const std::string raw = RawH264();
    for (float fps : {0.0f, 0.0099f, -25.0f, std::nanf(""), INFINITY}) {
        auto output = std::make_shared<MemoryOutputStream>();
        EXPECT_EQ(ThrowText([&] { ConvertH264_MP4(Load(raw), output, fps, cv::Size()); }).find("Invalid frame rate "), 0u);
        EXPECT_EQ(output->GetSize(), 0u) << fps;
    }
    std::mt19937 random(12345);
    std::string garbage(20000, '\0');
    for (auto& b : garbage) b = static_cast<char>(random() & 0x7f);  // no start codes, no known header
    const std::string dir = TempDir("convert_bad");
    WriteFile(dir + "/garbage", garbage);
    WriteFile(dir + "/empty", "");
    // What MP4 cannot carry.
    const std::string wav = MakeFixture("convert_pcm.wav", "-f lavfi -i sine=duration=0.2 -c:a pcm_s16le -f wav");
    for (const std::string& path : {dir + "/empty", dir + "/garbage", wav}) {
        auto output = std::make_shared<MemoryOutputStream>();
        EXPECT_EQ(ThrowText([&] { ConvertH264_MP4(Load(path), output, 25.0f, cv::Size()); }).find("FFmpeg error: "), 0u);
    }
}
