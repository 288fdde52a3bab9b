// FFMpegDecoder as a packet demuxer: Annex B packets checked against FFmpeg's own bitstream
// filter output, unfiltered packets, codec id, end of input and interruption.
#include "Common/Logger.h"
#include "DecoderTestHelpers.h"
#include "RuvarEduzid/EncodedAvPacket.h"

#include <gtest/gtest.h>

using namespace DecoderTest;
using Halvora::Common::ScopedLogCapture;

namespace {

struct PacketRun {
    std::string bytes;  // every packet, one after the other
    size_t count = 0;
    bool allStartWithStartCode = true;
    DemuxerState endState = Ok;
};

bool StartsWithStartCode(const IEncodedPacket& p) {
    const unsigned char* d = p.ImageData();
    int n = p.DataSize();
    return (n >= 4 && d[0] == 0 && d[1] == 0 && d[2] == 0 && d[3] == 1) || (n >= 3 && d[0] == 0 && d[1] == 0 && d[2] == 1);
}

PacketRun ReadAllPackets(FFMpegDecoder& decoder) {
    PacketRun run;
    for (int i = 0; i < 100000; ++i) {
        auto packet = decoder.GetNextPacket();
        if (packet->GetDemuxerState() != Ok) {
            run.endState = packet->GetDemuxerState();
            break;
        }
        EXPECT_EQ(packet->GetFileTimeUtc(), 0);
        run.allStartWithStartCode = run.allStartWithStartCode && StartsWithStartCode(*packet);
        run.bytes.append(reinterpret_cast<const char*>(packet->ImageData()), packet->DataSize());
        ++run.count;
    }
    return run;
}

// What FFmpeg's CLI writes for the video stream copied as a raw elementary stream.
std::string CliElementaryStream(const std::string& path, const std::string& args) {
    std::string out = RuvarTest::TempDir("es") + "/out.es";
    EXPECT_EQ(RuvarTest::RunCommand("ffmpeg -v error -i " + RuvarTest::Quote(path) + " -map 0:v -c copy " + args + " " +
                                    RuvarTest::Quote(out)),
              0);
    return RuvarTest::ReadFile(out);
}

size_t CliPacketCount(const std::string& path) {
    std::string out;
    RuvarTest::RunCommand("ffprobe -v error -select_streams v:0 -count_packets -show_entries stream=nb_read_packets -of "
                          "csv=p=0 " + RuvarTest::Quote(path), &out);
    return std::stoul(out);
}

std::unique_ptr<FFMpegDecoder> Open(const std::string& path) {
    auto decoder = std::make_unique<FFMpegDecoder>();
    EXPECT_TRUE(decoder->Initialize(InfoFor(path), nullptr));
    return decoder;
}

}  // namespace

TEST(DecoderPackets, H264FromMp4BecomesAnnexBLikeFFmpegsFilter) {
    std::string path = H264Mp4B();
    auto decoder = Open(path);
    ScopedLogCapture capture(2);
    auto run = ReadAllPackets(*decoder);
    EXPECT_EQ(run.endState, EndOfArchive);
    EXPECT_EQ(run.count, CliPacketCount(path));
    EXPECT_TRUE(run.allStartWithStartCode);
    EXPECT_EQ(run.bytes, CliElementaryStream(path, "-bsf:v h264_mp4toannexb -f h264"));
    EXPECT_TRUE(capture.Sink().Contains("Input format: mov,mp4,m4a,3gp,3g2,mj2 (QuickTime / MOV), BSF: h264_mp4toannexb", 2));
    // End of archive repeats.
    EXPECT_EQ(decoder->GetNextPacket()->GetDemuxerState(), EndOfArchive);
}

TEST(DecoderPackets, HevcFromMatroskaBecomesAnnexB) {
    std::string path = HevcMkv();
    auto decoder = Open(path);
    auto run = ReadAllPackets(*decoder);
    EXPECT_TRUE(run.allStartWithStartCode);
    EXPECT_EQ(run.bytes, CliElementaryStream(path, "-bsf:v hevc_mp4toannexb -f hevc"));
    EXPECT_EQ(decoder->GetCodecId(), 173);
}

TEST(DecoderPackets, MpegTsPacketsPassUnfiltered) {
    std::string path = TsVideoSecond();
    auto decoder = Open(path);
    ScopedLogCapture capture(2);
    auto run = ReadAllPackets(*decoder);
    EXPECT_EQ(run.count, CliPacketCount(path));
    EXPECT_EQ(run.bytes, CliElementaryStream(path, "-f h264"));
    EXPECT_TRUE(capture.Sink().Contains("Input format: mpegts (MPEG-TS (MPEG-2 Transport Stream)), BSF: none", 2));
}

TEST(DecoderPackets, Vp9PacketsPassUnfiltered) {
    std::string path = Vp9Webm();
    auto decoder = Open(path);
    ScopedLogCapture capture(2);
    auto run = ReadAllPackets(*decoder);
    EXPECT_EQ(run.count, CliPacketCount(path));
    std::string sizes;
    RuvarTest::RunCommand("ffprobe -v error -select_streams v:0 -show_entries packet=size -of csv=p=0 " +
                              RuvarTest::Quote(path), &sizes);
    size_t total = 0;
    std::istringstream in(sizes);
    for (size_t s; in >> s;) total += s;
    EXPECT_EQ(run.bytes.size(), total);
    EXPECT_TRUE(capture.Sink().Contains("BSF: none", 2));
}

TEST(DecoderPackets, CodecIdIsKnownOnlyOnceTheDecoderIsOpen) {
    auto decoder = Open(H264Mp4NoB());
    ScopedLogCapture capture(3);
    EXPECT_EQ(decoder->GetCodecId(), -1);
    EXPECT_TRUE(capture.Sink().Contains("Decoder not opened yet", 3));
    EXPECT_EQ(decoder->GetNextPacket()->GetDemuxerState(), Ok);
    EXPECT_EQ(decoder->GetCodecId(), 27);
}

TEST(DecoderPackets, PacketTimeIsZeroUntilSet) {
    auto decoder = Open(H264Mp4NoB());
    auto packet = decoder->GetNextPacket();
    ASSERT_EQ(packet->GetDemuxerState(), Ok);
    EXPECT_EQ(packet->GetFileTimeUtc(), 0);
    auto* encoded = dynamic_cast<Halvora::RuvarEduzid::EncodedAvPacket*>(packet.get());
    ASSERT_NE(encoded, nullptr);
    encoded->SetFileTimeUtc(1234);
    EXPECT_EQ(packet->GetFileTimeUtc(), 1234);
}

TEST(DecoderPackets, PacketsAndFramesShareTheInput) {
    std::string path = H264Mp4NoB();
    auto reference = RuvarTest::FrameMd5(path, "-fps_mode passthrough");
    auto decoder = Open(path);
    // Key frames every 10 frames: take the first group as packets, then decode from frame 10.
    for (int i = 0; i < 10; ++i) ASSERT_EQ(decoder->GetNextPacket()->GetDemuxerState(), Ok);
    auto frame = decoder->GetNextFrame();
    ASSERT_EQ(frame->GetDecoderState(), Ok);
    EXPECT_EQ(PlanesMd5(*frame), reference[10]);
}

TEST(DecoderPackets, InterruptStopsThePacketLoop) {
    auto decoder = Open(H264Mp4NoB());
    EXPECT_EQ(decoder->GetNextPacket()->GetDemuxerState(), Ok);
    decoder->Interrupt();
    EXPECT_EQ(decoder->GetNextPacket()->GetDemuxerState(), NotAvailable);
    EXPECT_EQ(decoder->GetNextPacket()->GetDemuxerState(), NotAvailable);
    EXPECT_EQ(decoder->GetNextFrame()->GetDecoderState(), NotAvailable);
}

TEST(DecoderPackets, WithoutInputIsAnError) {
    FFMpegDecoder decoder;
    EXPECT_EQ(decoder.GetNextPacket()->GetDemuxerState(), Error);
}
