// Raw H.264 held in memory becomes an MP4 held in memory; ffprobe reads the result.
#include "RuvarEduzid/H264_MP4Convertor.h"

#include "Common/Exception.h"
#include "Common/Logger.h"
#include "support/MediaProbe.h"
#include "support/TestSupport.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>

using namespace Halvora::RuvarEduzid;
using Halvora::IO::MemoryOutputStream;
using Halvora::IO::MemoryInputStream;
using Halvora::Common::CodeErrorException;
using Halvora::Common::ScopedLogCapture;
using Halvora::Common::LogError;

namespace {

std::string RawClip() {
    return RuvarTest::MakeFixture(
        "convert30.h264",
        "-f lavfi -i testsrc=size=320x240:rate=25 -frames:v 30 -c:v libx264 -bf 0 -g 10 -pix_fmt yuv420p -f h264");
}

std::shared_ptr<MemoryOutputStream> Load(const std::string& path) {
    auto stream = std::make_shared<MemoryOutputStream>();
    std::string bytes = RuvarTest::ReadFile(path);
    stream->Write(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    return stream;
}

std::string Save(const MemoryOutputStream& stream, const std::string& name) {
    std::string path = RuvarTest::TempDir("H264Mp4Convertor") + "/" + name;
    RuvarTest::WriteFile(path, std::string(reinterpret_cast<const char*>(stream.GetBuffer()), stream.GetSize()));
    return path;
}

std::string ErrText(int code) {
    char text[1024] = {0};
    av_strerror(code, text, sizeof text);
    return text;
}

uint64_t BigEndian(const uint8_t* p, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v = (v << 8) | p[i];
    return v;
}

// Names of the top-level boxes when they tile the buffer exactly; empty when they do not.
std::vector<std::string> TopLevelBoxes(const MemoryOutputStream& stream) {
    std::vector<std::string> names;
    const uint8_t* data = stream.GetBuffer();
    size_t at = 0;
    const size_t size = stream.GetSize();
    while (at + 8 <= size) {
        uint64_t boxSize = BigEndian(data + at, 4);
        if (boxSize == 1 && at + 16 <= size) boxSize = BigEndian(data + at + 8, 8);
        if (boxSize < 8 || at + boxSize > size) return {};
        names.emplace_back(reinterpret_cast<const char*>(data + at + 4), 4);
        at += boxSize;
    }
    if (at != size) return {};
    return names;
}

}  // namespace

TEST(H264Mp4Convertor, RawStreamBecomesMp4WithOnePacketPerFrameTime) {
    auto input = Load(RawClip());
    auto output = std::make_shared<MemoryOutputStream>();
    ConvertH264_MP4(input, output, 25.0f, cv::Size(0, 0));
    ASSERT_GT(output->GetSize(), 1000u);
    std::string path = Save(*output, "clip25.mp4");

    EXPECT_EQ(RuvarTest::ProbeFormatName(path), "mov,mp4,m4a,3gp,3g2,mj2");
    EXPECT_EQ(RuvarTest::ProbeStreamField(path, "codec_name"), "h264");
    EXPECT_EQ(RuvarTest::ProbeStreamField(path, "width,height"), "320,240");
    EXPECT_EQ(RuvarTest::ProbeStreamField(path, "avg_frame_rate"), "25/1");
    EXPECT_EQ(RuvarTest::ProbeFrameCount(path), 30);
    auto packets = RuvarTest::ProbeVideoPackets(path);
    ASSERT_EQ(packets.size(), 30u);
    for (size_t i = 0; i < packets.size(); ++i) {
        EXPECT_NEAR(packets[i].ptsTime, i * 0.04, 1e-6) << "packet " << i;
        EXPECT_EQ(packets[i].key, i % 10 == 0) << "packet " << i;
    }
    EXPECT_NEAR(packets[10].ptsTime, 0.4, 1e-6);
    // Decoded pictures are those of the raw stream: nothing was re-encoded.
    EXPECT_EQ(RuvarTest::FrameMd5(path), RuvarTest::FrameMd5(RawClip()));
}

TEST(H264Mp4Convertor, FractionalFrameRateUsesHundredthsOfAFrame) {
    auto output = std::make_shared<MemoryOutputStream>();
    ConvertH264_MP4(Load(RawClip()), output, 12.5f, cv::Size(640, 480));
    std::string path = Save(*output, "clip12_5.mp4");
    EXPECT_EQ(RuvarTest::ProbeStreamField(path, "avg_frame_rate"), "25/2");
    auto packets = RuvarTest::ProbeVideoPackets(path);
    ASSERT_EQ(packets.size(), 30u);
    EXPECT_NEAR(packets[29].ptsTime, 29 * 0.08, 1e-6);
}

TEST(H264Mp4Convertor, FinalRewritesOverwriteInsteadOfAppending) {
    auto output = std::make_shared<MemoryOutputStream>();
    ConvertH264_MP4(Load(RawClip()), output, 25.0f, cv::Size());
    // The muxer writes the media data's size into its box header at the end: when that rewrite
    // lands in place, ftyp, free, mdat and moov tile the buffer exactly.
    auto boxes = TopLevelBoxes(*output);
    ASSERT_FALSE(boxes.empty());
    EXPECT_EQ(boxes.front(), "ftyp");
    EXPECT_NE(std::find(boxes.begin(), boxes.end(), "mdat"), boxes.end());
    EXPECT_EQ(boxes.back(), "moov");
    EXPECT_EQ(output->GetPosition(), output->GetSize());
}

TEST(H264Mp4Convertor, InputIsLeftUnchanged) {
    auto input = Load(RawClip());
    const std::string before = RuvarTest::Md5Hex(input->GetBuffer(), input->GetSize());
    auto output = std::make_shared<MemoryOutputStream>();
    ConvertH264_MP4(input, output, 30.0f, cv::Size());
    EXPECT_EQ(RuvarTest::Md5Hex(input->GetBuffer(), input->GetSize()), before);
}

TEST(H264Mp4Convertor, EmptyInputFailsWithFFmpegError) {
    ScopedLogCapture capture(0);
    auto output = std::make_shared<MemoryOutputStream>();
    try {
        ConvertH264_MP4(std::make_shared<MemoryOutputStream>(), output, 25.0f, cv::Size());
        FAIL() << "no exception";
    } catch (const CodeErrorException& e) {
        EXPECT_EQ(std::string(e.what()).rfind("FFmpeg error: ", 0), 0u) << e.what();
        EXPECT_GT(std::string(e.what()).size(), std::string("FFmpeg error: ").size());
        EXPECT_TRUE(capture.Sink().Contains(std::string("Throw: ") + e.what(), LogError));
    }
    EXPECT_EQ(output->GetSize(), 0u);
}

TEST(H264Mp4Convertor, FrameRatesBelowAHundredthAreRefusedBeforeAnythingIsWritten) {
    ScopedLogCapture capture(0);
    for (float fps : {0.0f, 0.0099f, -25.0f, std::nanf(""), INFINITY}) {
        auto output = std::make_shared<MemoryOutputStream>();
        try {
            ConvertH264_MP4(Load(RawClip()), output, fps, cv::Size());
            ADD_FAILURE() << "no exception for " << fps;
        } catch (const CodeErrorException& e) {
            EXPECT_EQ(std::string(e.what()).rfind("Invalid frame rate ", 0), 0u) << e.what();
            EXPECT_TRUE(capture.Sink().Contains(std::string("Throw: ") + e.what(), LogError));
        }
        EXPECT_EQ(output->GetSize(), 0u) << fps;
    }
}

TEST(H264Mp4Convertor, GarbageInputFailsWithFFmpegError) {
    auto input = std::make_shared<MemoryOutputStream>();
    std::mt19937 random(12345);
    std::vector<uint8_t> bytes(20000);
    for (auto& b : bytes) b = static_cast<uint8_t>(random() & 0x7f);  // no start codes, no known header
    input->Write(bytes.data(), bytes.size());
    auto output = std::make_shared<MemoryOutputStream>();
    try {
        ConvertH264_MP4(input, output, 25.0f, cv::Size());
        FAIL() << "no exception";
    } catch (const CodeErrorException& e) {
        EXPECT_EQ(std::string(e.what()).rfind("FFmpeg error: ", 0), 0u) << e.what();
    }
}

TEST(H264Mp4Convertor, StreamTheMp4MuxerRefusesFailsAtTheHeader) {
    // Probed input with a codec MP4 cannot carry: the header write fails.
    std::string wav = RuvarTest::MakeFixture("convert_pcm.wav", "-f lavfi -i sine=duration=0.2 -c:a pcm_s16le -f wav");
    ScopedLogCapture capture(0);
    auto output = std::make_shared<MemoryOutputStream>();
    try {
        ConvertH264_MP4(Load(wav), output, 25.0f, cv::Size());
        FAIL() << "no exception";
    } catch (const CodeErrorException& e) {
        EXPECT_EQ(std::string(e.what()), "FFmpeg error: " + ErrText(AVERROR(EINVAL)));
    }
}

TEST(H264Mp4Convertor, ReadErrorEndsTheLoopAndTheClipIsStillFinished) {
    ScopedLogCapture capture(0);
    auto output = std::make_shared<MemoryOutputStream>();
    int reads = 0;
    Detail::ConvertH264_MP4(Load(RawClip()), output, 25.0f, [&](AVFormatContext* context, AVPacket* packet) {
        ++reads;
        if (reads > 100) return AVERROR_EOF;  // keeps a broken loop finite
        if (reads <= 3) return av_read_frame(context, packet);
        return AVERROR(EIO);
    });
    EXPECT_EQ(reads, 4);
    EXPECT_TRUE(capture.Sink().Contains("Error reading packet 3: " + ErrText(AVERROR(EIO)), LogError));
    std::string path = Save(*output, "three.mp4");
    EXPECT_EQ(RuvarTest::ProbeVideoPackets(path).size(), 3u);
}

TEST(H264Mp4Convertor, SeekCallbackMovesTheOutputAndRefusesUnknownOrigins) {
    MemoryOutputStream stream;
    uint8_t bytes[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    EXPECT_EQ(AVIOWriteMemoryOutputStream(&stream, bytes, 10), 10);
    EXPECT_EQ(AVIOSeekMemoryOutputStream(&stream, 2, SEEK_SET), 2);
    uint8_t patch[2] = {42, 43};
    EXPECT_EQ(AVIOWriteMemoryOutputStream(&stream, patch, 2), 2);
    EXPECT_EQ(stream.GetSize(), 10u);
    EXPECT_EQ(stream.GetBuffer()[2], 42);
    EXPECT_EQ(stream.GetBuffer()[3], 43);
    EXPECT_EQ(stream.GetBuffer()[4], 5);
    EXPECT_EQ(AVIOSeekMemoryOutputStream(&stream, 1, SEEK_CUR), 1);
    EXPECT_EQ(stream.GetPosition(), 5u);
    EXPECT_EQ(AVIOSeekMemoryOutputStream(&stream, -1, SEEK_END), -1);
    EXPECT_EQ(stream.GetPosition(), 9u);

    ScopedLogCapture capture(0);
    try {
        AVIOSeekMemoryOutputStream(&stream, 0, AVSEEK_SIZE);
        FAIL() << "no exception";
    } catch (const CodeErrorException& e) {
        EXPECT_EQ(std::string(e.what()), "invalid seek origin " + std::to_string(AVSEEK_SIZE));
        EXPECT_TRUE(capture.Sink().Contains("Throw: invalid seek origin " + std::to_string(AVSEEK_SIZE), LogError));
    }
    EXPECT_EQ(stream.GetPosition(), 9u);
}

TEST(H264Mp4Convertor, ReadCallbackCopiesWhatIsLeft) {
    const uint8_t data[5] = {1, 2, 3, 4, 5};
    MemoryInputStream stream(data, sizeof data);
    uint8_t buffer[8] = {};
    EXPECT_EQ(AVIOReadMemoryInputStream(&stream, buffer, 3), 3);
    EXPECT_EQ(AVIOReadMemoryInputStream(&stream, buffer, 8), 2);
    EXPECT_EQ(buffer[0], 4);
    EXPECT_EQ(buffer[1], 5);
    EXPECT_EQ(AVIOReadMemoryInputStream(&stream, buffer, 8), 0);
}
