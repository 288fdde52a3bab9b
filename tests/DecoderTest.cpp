// FFMpegDecoder on files and HTTP: pictures frame for frame against FFmpeg's framemd5, frame times,
// seeking, packets against FFmpeg's own bitstream filters, damaged media, failures and a stalled
// server.
#include "Common/DateTime.h"
#include "Common/Logger.h"
#include "support/Servers.h"
#include "support/Support.h"

#include <gtest/gtest.h>

using namespace RuvarTest;
using Halvora::Common::DateTime;
using Halvora::Common::ScopedLogCapture;

namespace {

constexpr long long kFrameTicks = 400000;  // 25 frames per second
const DateTime kStart(133000000000000000LL);

std::unique_ptr<FFMpegDecoder> Open(const std::string& path, const std::vector<std::shared_ptr<DecoderParameter>>* p = nullptr,
                                    DateTime start = DateTime()) {
    auto decoder = std::make_unique<FFMpegDecoder>();
    VideoFileInfo info = InfoFor(path);
    info.startTime = start;
    EXPECT_TRUE(decoder->Initialize(info, p)) << path;
    return decoder;
}

// The first video pts of a file, as ffprobe reads it, in 100-ns ticks.
long long FirstPtsTicks(const std::string& path) {
    long long pts = 0, num = 0, den = 1;
    char slash = 0;
    std::istringstream(Probe(path, "-select_streams v:0 -show_entries stream=start_pts,time_base -of default=nw=1:nk=1")) >>
        num >> slash >> den >> pts;
    return pts * num * 10000000 / den;
}

// A Matroska file (key frames indexed) whose clock starts at 3 s.
std::string OffsetMkv() { return MakeFixture("dec_offset.mkv", "-i " + Quote(H264Mp4B()) + " -c copy -output_ts_offset 3"); }

struct Fixture {
    const char* name;
    std::string (*path)();
    const char* cliArgs;  // framemd5's layout: the decoder's own, or 4:2:0 as the CLI converts
};
const Fixture kFixtures[] = {{"H264Mp4NoB", H264Mp4NoB, ""},       {"H264Mp4B", H264Mp4B, ""},
                             {"HevcMkv", HevcMkv, ""},             {"Vp9Webm", Vp9Webm, ""},
                             {"TsVideoSecond", TsVideoSecond, ""}, {"MjpegFullRange", MjpegFullRange, ""},
                             {"Mpeg4OddSize", Mpeg4OddSize, ""},   {"H264Yuv422", H264Yuv422, "-pix_fmt yuv420p"}};
std::string FixtureName(const ::testing::TestParamInfo<Fixture>& info) { return info.param.name; }
void PrintTo(const Fixture& fixture, std::ostream* os) { *os << fixture.name; }

class DecoderFiles : public ::testing::TestWithParam<Fixture> {};

}  // namespace

// Every picture equals FFmpeg's (4:2:2 converted to 4:2:0 as the CLI converts it), the end repeats;
// four decoding threads and a copy of the file in the caller's memory give the same.
TEST_P(DecoderFiles, PicturesEqualFFmpegsFromTheFileAndFromMemory) {
    const std::string path = GetParam().path();
    const auto reference = FrameMd5(path, std::string("-fps_mode passthrough ") + GetParam().cliArgs);
    ASSERT_GT(reference.size(), 10u);
    auto decoder = Open(path);
    const Decoded decoded = DecodeAll(*decoder);
    EXPECT_EQ(decoded.endState, EndOfArchive);
    EXPECT_EQ(decoded.digests, reference);
    EXPECT_EQ(decoder->GetNextFrame()->GetDecoderState(), EndOfArchive);
    const std::vector<std::shared_ptr<DecoderParameter>> threads{std::make_shared<DecoderThreadsParameter>(4)};
    const Decoded threaded = DecodeAll(*Open(path, &threads));
    EXPECT_EQ(threaded.digests, decoded.digests);
    EXPECT_EQ(threaded.times, decoded.times);
    std::string bytes = ReadFile(path);
    FFMpegDecoder memory;
    ASSERT_TRUE(memory.Initialize(reinterpret_cast<unsigned char*>(&bytes[0]), bytes.size(), kStart));
    EXPECT_EQ(DecodeAll(memory).digests, reference);
}

// Damaged copies (cut anywhere, bits flipped past the header), from the file and from memory: each
// ends in EndOfArchive or Error within a bounded number of pictures; nothing crashes or hangs.
TEST_P(DecoderFiles, DamagedCopiesEndCleanly) {
    const std::string original = ReadFile(GetParam().path());
    const std::string dir = TempDir(std::string("damaged_") + GetParam().name);
    std::vector<std::string> copies;
    for (double fraction : {0.0, 0.02, 0.1, 0.5, 0.9, 0.999}) copies.push_back(original.substr(0, original.size() * fraction));
    for (uint32_t seed = 1; seed <= 4; ++seed)
        for (unsigned flips : {1u, 16u, 256u})
            copies.push_back(BitFlipped(original, flips, seed, std::min<size_t>(1024, original.size() / 8)));
    for (size_t i = 0; i < copies.size(); ++i) {
        const std::string path = dir + "/" + std::to_string(i);
        WriteFile(path, copies[i]);
        FFMpegDecoder file, memory;
        for (FFMpegDecoder* decoder : {&file, &memory}) {
            // Initialize may refuse the damaged input: a clear failure.
            unsigned char* data = reinterpret_cast<unsigned char*>(&copies[i][0]);
            if (decoder == &file ? !decoder->Initialize(InfoFor(path), nullptr)
                                 : !decoder->Initialize(data, copies[i].size(), kStart))
                continue;
            // Corruption may split frames; a bound far above the count catches a loop.
            const Decoded d = DecodeAll(*decoder, 500);
            EXPECT_TRUE(d.endState == EndOfArchive || d.endState == Error) << "copy " << i << ": " << d.endState;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, DecoderFiles, ::testing::ValuesIn(kFixtures), FixtureName);

// ---- times and seeking ---------------------------------------------------------------------------

TEST(DecoderTimes, FromTheStartTimeOrTheStreamClockWithTheUtcOffset) {
    struct Row {
        std::string path;
        DateTime start;
        float utcOffset;  // 0: none
        long long first;
    } rows[] = {
        {H264Mp4B(), kStart, 0, kStart.GetFileTime()},
        {TsVideoSecond(), kStart, 0, kStart.GetFileTime()},  // the stream's start time is taken off
        {TsVideoSecond(), DateTime(), 0, DateTime::UnixEpochTicks + FirstPtsTicks(TsVideoSecond())},
        {H264Mp4NoB(), DateTime(), 2.5f, DateTime::UnixEpochTicks + 150LL * 60 * 10000000},  // whole minutes
        {H264Mp4NoB(), DateTime(), -3.0f, DateTime::UnixEpochTicks},                       // not below 0
    };
    for (const Row& row : rows) {
        std::vector<std::shared_ptr<DecoderParameter>> params;
        if (row.utcOffset) params.push_back(std::make_shared<UtcOffsetParameter>(row.utcOffset));
        const Decoded decoded = DecodeAll(*Open(row.path, &params, row.start));
        ASSERT_EQ(decoded.times.size(), 50u) << row.path;
        for (size_t i = 0; i < decoded.times.size(); ++i)
            EXPECT_EQ(decoded.times[i], row.first + static_cast<long long>(i) * kFrameTicks) << row.path << " frame " << i;
    }
}

TEST(DecoderSeek, GetFrameAtAndGetFrameLandOnTheirFrameAndDecodingGoesOnFromThere) {
    const auto reference = FrameMd5(H264Mp4B(), "-fps_mode passthrough");
    auto decoder = Open(H264Mp4B(), nullptr, kStart);
    EXPECT_EQ(PlanesMd5(*decoder->GetFrameAt(kStart.GetFileTime())), reference[0]);  // where decoding stands
    for (int index : {23, 5, 40, 1}) {
        auto frame = decoder->GetFrameAt(kStart.GetFileTime() + index * kFrameTicks);
        ASSERT_EQ(frame->GetDecoderState(), Ok) << index;
        EXPECT_EQ(frame->GetFileTimeUtc(), kStart.GetFileTime() + index * kFrameTicks);
        EXPECT_EQ(PlanesMd5(*frame), reference[index]) << index;
        EXPECT_EQ(PlanesMd5(*decoder->GetNextFrame()), reference[index + 1]) << index;
    }
    // A clock that starts at 3 s: with a start time counted from the stream's start, without one
    // on the stream clock.
    const auto offset = FrameMd5(OffsetMkv(), "-fps_mode passthrough");
    const long long clock = DateTime::UnixEpochTicks + FirstPtsTicks(OffsetMkv());
    for (const auto& [start, base] :
         {std::pair<DateTime, long long>(kStart, kStart.GetFileTime()), std::pair<DateTime, long long>(DateTime(), clock)}) {
        auto frame = Open(OffsetMkv(), nullptr, start)->GetFrameAt(base + 17 * kFrameTicks);
        EXPECT_EQ(frame->GetFileTimeUtc(), base + 17 * kFrameTicks);
        EXPECT_EQ(PlanesMd5(*frame), offset[17]);
    }
    // GetFrame counts from one, also on Matroska, which states no frame count, and after the end.
    const auto noB = FrameMd5(H264Mp4NoB(), "-fps_mode passthrough");
    auto byNumber = Open(H264Mp4NoB());
    for (int n : {21, 1, 0, 50}) EXPECT_EQ(PlanesMd5(*byNumber->GetFrame(n)), noB[n ? n - 1 : 0]) << n;
    DecodeAll(*byNumber);
    EXPECT_EQ(PlanesMd5(*byNumber->GetFrame(11)), noB[10]);
    EXPECT_EQ(PlanesMd5(*Open(HevcMkv())->GetFrame(13)), FrameMd5(HevcMkv(), "-fps_mode passthrough")[12]);
}

// ---- packets ---------------------------------------------------------------------------------------

TEST(DecoderPackets, AnnexBExactlyAsFFmpegsOwnFiltersGiveIt) {
    const std::pair<std::string, const char*> rows[] = {{H264Mp4B(), "-bsf:v h264_mp4toannexb -f h264"},
                                                        {HevcMkv(), "-bsf:v hevc_mp4toannexb -f hevc"},
                                                        {TsVideoSecond(), "-f h264"}};  // passed as they are
    for (const auto& [path, args] : rows) {
        auto decoder = Open(path);
        std::string bytes;
        size_t count = 0;
        for (auto packet = decoder->GetNextPacket(); packet->GetDemuxerState() == Ok;
             packet = decoder->GetNextPacket(), ++count) {
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(packet->ImageData()), 3), std::string("\0\0\0", 3)) << count;
            bytes.append(reinterpret_cast<const char*>(packet->ImageData()), packet->DataSize());
        }
        const std::string es = TempDir("es") + "/out.es";
        ASSERT_EQ(RunCommand("ffmpeg -v error -i " + Quote(path) + " -map 0:v -c copy " + args + " " + Quote(es)), 0);
        EXPECT_EQ(bytes, ReadFile(es)) << path;
        EXPECT_EQ(std::to_string(count), StreamField(path, "nb_read_packets -count_packets")) << path;
        EXPECT_EQ(decoder->GetNextPacket()->GetDemuxerState(), EndOfArchive);
    }
    // Packets and pictures share the input: after the first group as packets, frame 10 decodes.
    auto decoder = Open(H264Mp4NoB());
    for (int i = 0; i < 10; ++i) ASSERT_EQ(decoder->GetNextPacket()->GetDemuxerState(), Ok);
    EXPECT_EQ(PlanesMd5(*decoder->GetNextFrame()), FrameMd5(H264Mp4NoB())[10]);
    decoder->Interrupt();
    EXPECT_EQ(decoder->GetNextPacket()->GetDemuxerState(), NotAvailable);
    EXPECT_EQ(decoder->GetNextFrame()->GetDecoderState(), NotAvailable);
}

// ---- failures --------------------------------------------------------------------------------------

TEST(DecoderFailures, BrokenInputsAreClearErrors) {
    ScopedLogCapture capture(0);
    FFMpegDecoder missing;
    EXPECT_FALSE(missing.Initialize(InfoFor("/nonexistent/x.mp4"), nullptr));
    EXPECT_TRUE(capture.Sink().Contains(
        "FFMpegDecoder::Initialize error: Can't open image file: /nonexistent/x.mp4 Err: No such file or directory", 4));
    EXPECT_EQ(missing.GetNextFrame()->GetDecoderState(), Error);
    EXPECT_EQ(missing.GetNextPacket()->GetDemuxerState(), Error);

    // An MP4 whose header is whole and whose media data is cut off.
    std::string bytes = ReadFile(MakeFixture("dec_faststart.mp4", "-f lavfi -i testsrc2=size=320x240:rate=25 -t 1 "
                                                                  "-c:v libx264 -preset ultrafast -movflags +faststart"));
    const std::string dir = TempDir("broken");
    WriteFile(dir + "/cut.mp4", bytes.substr(0, bytes.find("mdat") + 4));
    EXPECT_EQ(Open(dir + "/cut.mp4")->GetNextFrame()->GetDecoderState(), Error);

    // A Matroska track of a codec FFmpeg does not know.
    bytes = ReadFile(MakeFixture("dec_h264.mkv", "-i " + Quote(H264Mp4NoB()) + " -c copy"));
    bytes.replace(bytes.find("V_MPEG4/ISO/AVC"), 7, "V_QQQQQ");
    WriteFile(dir + "/unknown.mkv", bytes);
    EXPECT_EQ(ThrowText([&] { Open(dir + "/unknown.mkv")->GetNextFrame(); }),
              "Can't find decoder. File: " + dir + "/unknown.mkv, hwAccel: 0");

    // 72000 one-sample audio packets before the first picture: a warning, then the picture.
    const std::string audio =
        MakeFixture("dec_audio_9s.mkv", "-f lavfi -i anullsrc=r=8000:cl=mono:nb_samples=1 -t 9 -c:a pcm_s16le");
    const std::string video = MakeFixture("dec_tiny_mjpeg.mkv", "-f lavfi -i testsrc2=size=64x48:rate=25 -frames:v 3 -c:v mjpeg");
    const std::string late = MakeFixture("dec_late_video.mkv", "-i " + Quote(audio) + " -itsoffset 9 -i " + Quote(video) +
                                                                   " -map 0:a -map 1:v -c copy");
    EXPECT_EQ(Open(late)->GetNextFrame()->GetDecoderState(), Ok);
    EXPECT_TRUE(capture.Sink().Contains("Too many decoding warnings, count = 65537", 3));
}

// Without an NVIDIA GPU every hardware kind falls back to software, which decodes every picture.
TEST(DecoderFailures, HardwareKindsFallBackToSoftwareWithoutAGpu) {
    const auto reference = FrameMd5(H264Mp4B(), "-fps_mode passthrough");
    for (int type : {1, 2, 3}) {
        std::vector<std::shared_ptr<DecoderParameter>> params{
            std::make_shared<ImageFormatsParameter>(std::vector<DecodedImageFormat>{Cuda}),
            std::make_shared<CuvidDecoderParameter>(type, 0)};
        EXPECT_EQ(DecodeAll(*Open(H264Mp4B(), &params)).digests, reference) << type;
    }
}

// ---- HTTP ---------------------------------------------------------------------------------------------

TEST(DecoderHttp, SourcesDecodeLikeTheirFiles) {
    for (const std::string& path : {H264Mp4B(), TsVideoSecond()}) {
        HttpServer server(ReadFile(path));
        ASSERT_GT(server.Port(), 0);
        FFMpegDecoder decoder;
        ASSERT_TRUE(decoder.Initialize(InfoFor(server.Url("clip")), nullptr)) << path;
        const Decoded decoded = DecodeAll(decoder);
        EXPECT_EQ(decoded.endState, EndOfArchive);
        EXPECT_EQ(decoded.digests, FrameMd5(path, "-fps_mode passthrough")) << path;
        EXPECT_EQ(decoder.GetVideoFileInfo(W(server.Url("clip"))).infos.at(0)->width, 320);
    }
}

// A server that stops halfway (connection kept open): the pictures that came, then the lost source
// is an error (not the end of the stream), after the watchdog's warnings at 1, 2 and 4 times the
// get-next time-out.
TEST(DecoderHttp, StalledServerEndsWithinTheGetNextTimeout) {
    const std::string bytes = ReadFile(Ts10s());
    HttpServer server(bytes, bytes.size() / 2);
    auto params = Timeouts(5000, 1000);
    FFMpegDecoder decoder;
    ASSERT_TRUE(decoder.Initialize(InfoFor(server.Url("live.ts")), &params));
    ScopedLogCapture capture(3);
    const Decoded decoded = DecodeAll(decoder);
    EXPECT_EQ(decoded.endState, Error);
    EXPECT_GT(decoded.digests.size(), 50u);
    EXPECT_LT(decoded.digests.size(), 250u);
    std::vector<std::string> timeouts;
    for (const auto& w : capture.Sink().Messages(3))
        if (w.rfind("FFMpegDecoder network timeout: ", 0) == 0) timeouts.push_back(w);
    ASSERT_GE(timeouts.size(), 3u);
    EXPECT_EQ(timeouts[0], "FFMpegDecoder network timeout: 1000 ms");
    EXPECT_EQ(timeouts[2], "FFMpegDecoder network timeout: 4000 ms");

    // A server that never answers: the opening fails after the watchdog's third expiration.
    HttpServer silent("", 0);
    FFMpegDecoder never;
    params = Timeouts(1000, 1000);
    EXPECT_FALSE(never.Initialize(InfoFor(silent.Url("x.ts")), &params));
    EXPECT_TRUE(capture.Sink().Contains("FFMpegDecoder network timeout: 4000 ms", 3));
}
