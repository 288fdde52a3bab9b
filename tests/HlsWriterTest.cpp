// One HLS rendition: set-up arithmetic, the advance playlist, the frame path, segment
// notifications, the bit-rate estimate, live mode and the finishing steps.
#include "Common/Exception.h"
#include "Common/Logger.h"
#include "Common/StringUtility.h"
#include "RuvarEduzid/HlsWriter.h"
#include "support/HlsTestSupport.h"
#include "support/SyntheticFrame.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

using Halvora::Common::CodeErrorException;
using Halvora::Common::DateTime;
using Halvora::Common::ScopedLogCapture;
using Halvora::Common::StringUtility;
using Halvora::RuvarEduzid::GetTsFilePathCb;
using Halvora::RuvarEduzid::H264StreamConfig;
using Halvora::RuvarEduzid::HlsWriter;
using namespace Halvora::RuvarEduzid::HlsWriterInternals;
using namespace RuvarTest;

namespace {

constexpr int kW = 160;
constexpr int kH = 120;
// Noisy pictures of this size make packets of some 30 KB.
constexpr int kBigW = 320;
constexpr int kBigH = 240;

std::wstring W(const std::string& s) { return StringUtility::StringToWstring(s); }

// Runs `body`, expects a CodeErrorException and returns its message.
template <typename F>
std::string ThrownMessage(F body) {
    try {
        body();
    } catch (const CodeErrorException& e) {
        return e.Message();
    }
    ADD_FAILURE() << "no CodeErrorException";
    return std::string();
}

void WriteFrames(HlsWriter& writer, int from, int to, double fps, int width = kW, int height = kH) {
    for (int i = from; i < to; ++i) writer.WriteFrame(MakeFrame(width, height, i, fps));
}

std::string SegmentName(const std::string& dir, int index) {
    char name[32];
    std::snprintf(name, sizeof name, "/out%03d.ts", index);
    return dir + name;
}

const GetTsFilePathCb kRecorder{&SegmentRecorder::Callback};
const GetTsFilePathCb kNoCallback{nullptr};

}  // namespace

// ---- arithmetic -------------------------------------------------------------------

TEST(HlsTiming, GivenFrameRateSetsHundredthsTimeBaseGopAndChunk) {
    auto t = ComputeTiming(25.0, 0, 6, 3);
    EXPECT_EQ(t.frameRate, 25.0);
    EXPECT_EQ(t.timeBaseNum, 100);
    EXPECT_EQ(t.timeBaseDen, 2500);
    EXPECT_EQ(t.gopSize, 50);
    EXPECT_EQ(t.chunk, 6);

    t = ComputeTiming(29.97, 0, 6, 3);
    EXPECT_EQ(t.timeBaseNum, 100);
    EXPECT_EQ(t.timeBaseDen, 2997);
    EXPECT_EQ(t.gopSize, 59);  // 6 x 29.97 / 3 = 59.94
    EXPECT_EQ(t.chunk, 6);     // 3 x 59 / 29.97 = 5.9 -> 6
}

TEST(HlsTiming, ZeroFrameRateIsDerivedFromTheFrameIntervalAsAWholeNumber) {
    auto t = ComputeTiming(0.0, 400000, 6, 3);  // 40 ms
    EXPECT_EQ(t.frameRate, 25.0);
    EXPECT_EQ(t.timeBaseNum, 1);
    EXPECT_EQ(t.timeBaseDen, 25);
    EXPECT_EQ(t.gopSize, 50);
    t = ComputeTiming(0.0, 333667, 2, 1);  // 29.97 frames/s rounds to 30
    EXPECT_EQ(t.frameRate, 30.0);
    EXPECT_EQ(t.gopSize, 60);
    EXPECT_EQ(t.chunk, 2);
}

TEST(HlsTiming, UnusableValuesFailInsteadOfGoingOnWithZeroOrInfinity) {
    ScopedLogCapture capture(4);
    EXPECT_THROW(ComputeTiming(0.0, 0, 6, 3), CodeErrorException);
    EXPECT_THROW(ComputeTiming(0.0, -400000, 6, 3), CodeErrorException);
    EXPECT_THROW(ComputeTiming(0.0, 300000000, 6, 3), CodeErrorException);  // 30 s apart: 0 frames/s
    EXPECT_THROW(ComputeTiming(25.0, 0, 0, 3), CodeErrorException);
    EXPECT_THROW(ComputeTiming(25.0, 0, 6, 0), CodeErrorException);
    EXPECT_THROW(ComputeTiming(25.0, 0, 1, 50), CodeErrorException);  // GOP size 0
    EXPECT_THROW(ComputeTiming(-25.0, 0, 6, 3), CodeErrorException);
    EXPECT_THROW(ComputeTiming(0.001, 0, 6, 3), CodeErrorException);
    EXPECT_TRUE(capture.Sink().Contains("Throw: ", 4));
}

TEST(HlsBitrate, FollowsTheFormulaOverOneSegmentOfPackets) {
    // GOP 50, 3 GOPs per segment, 25 frames/s, 100000 bytes over the first 100 packets.
    EXPECT_EQ(EstimateBitrate(25.0, 150, 100000, 50, 3, true), 175000);  // 100000 x 10.5 / (150 / 25)
    EXPECT_EQ(EstimateBitrate(25.0, 400, 100000, 50, 3, true), 175000);  // n is capped at one segment
    EXPECT_EQ(EstimateBitrate(25.0, 149, 100000, 50, 3, true), 0);       // no full segment yet
    EXPECT_EQ(EstimateBitrate(25.0, 75, 100000, 50, 3, false), 350000);  // finished: what was written counts
    EXPECT_EQ(EstimateBitrate(0.0, 150, 100000, 50, 3, true), 0);
    EXPECT_EQ(EstimateBitrate(25.0, 0, 0, 50, 3, false), 0);
    EXPECT_EQ(EstimateBitrate(25.0, 10, 0, 50, 3, false), 0);
}

TEST(HlsSegmentNames, PatternBesideThePlaylistAndPercentSignsKeptLiteral) {
    EXPECT_EQ(MakeSegmentPattern("/data/x/video.m3u8"), "/data/x/out%03d.ts");
    EXPECT_EQ(FormatSegmentName("/data/x/out%03d.ts", 7), "/data/x/out007.ts");
    EXPECT_EQ(FormatSegmentName("/data/x/out%03d.ts", 1234), "/data/x/out1234.ts");
    EXPECT_EQ(MakeSegmentPattern("video.m3u8"), "./out%03d.ts");
    const std::string pattern = MakeSegmentPattern("/data/100%d/video.m3u8");
    EXPECT_EQ(FormatSegmentName(pattern, 2), "/data/100%d/out002.ts");
}

// ---- advance playlist ------------------------------------------------------------

TEST(HlsAdvancePlaylist, TwentySecondsInChunksOfSixByteForByteWithFourPlaceholders) {
    const std::string dir = TempDir("hls_adv20");
    ScopedLogCapture capture(2);
    int64_t expected = WriteAdvancePlaylist(dir + "/video.m3u8", dir + "/out%03d.ts", 20.0, 6, 50);
    EXPECT_EQ(expected, 5);
    EXPECT_EQ(ReadFile(dir + "/video.m3u8"),
              "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-MEDIA-SEQUENCE:0\n#EXT-X-ALLOW-CACHE:YES\n"
              "#EXT-X-TARGETDURATION:6\n#EXTINF:6.000000,\nout000.ts\n#EXTINF:6.000000,\nout001.ts\n"
              "#EXTINF:6.000000,\nout002.ts\n#EXTINF:2.000000,\nout003.ts\n#EXT-X-ENDLIST\n");
    for (int i = 0; i < 4; ++i) EXPECT_EQ(FileSize(dir + "/out00" + std::to_string(i) + ".ts"), 0) << i;
    EXPECT_FALSE(Exists(dir + "/out004.ts"));
    EXPECT_TRUE(capture.Sink().Contains("GOP:50 lastFileDuration 2 files 4 realChunckDuration 6", 2));
}

TEST(HlsAdvancePlaylist, EighteenSecondsHaveNoShortEntry) {
    const std::string dir = TempDir("hls_adv18");
    EXPECT_EQ(WriteAdvancePlaylist(dir + "/video.m3u8", dir + "/out%03d.ts", 18.0, 6, 50), 4);
    auto lines = Lines(ReadFile(dir + "/video.m3u8"));
    ASSERT_EQ(lines.size(), 12u);
    EXPECT_EQ(lines[10], "out002.ts");
    EXPECT_EQ(lines[11], "#EXT-X-ENDLIST");
    EXPECT_TRUE(Exists(dir + "/out002.ts"));
    EXPECT_FALSE(Exists(dir + "/out003.ts"));
}

TEST(HlsAdvancePlaylist, AShortRestIsListedWithoutPlaceholder) {
    const std::string dir = TempDir("hls_adv183");
    EXPECT_EQ(WriteAdvancePlaylist(dir + "/video.m3u8", dir + "/out%03d.ts", 18.3, 6, 50), 4);
    auto lines = Lines(ReadFile(dir + "/video.m3u8"));
    ASSERT_EQ(lines.size(), 14u);
    EXPECT_EQ(lines[11], "#EXTINF:0.300000,");
    EXPECT_EQ(lines[12], "out003.ts");
    EXPECT_EQ(lines[13], "#EXT-X-ENDLIST");
    EXPECT_FALSE(Exists(dir + "/out003.ts"));
}

TEST(HlsAdvancePlaylist, ZeroDurationGivesHeaderAndEndOnly) {
    const std::string dir = TempDir("hls_adv0");
    EXPECT_EQ(WriteAdvancePlaylist(dir + "/video.m3u8", dir + "/out%03d.ts", 0.0, 6, 50), 1);
    EXPECT_EQ(ReadFile(dir + "/video.m3u8"),
              "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-MEDIA-SEQUENCE:0\n#EXT-X-ALLOW-CACHE:YES\n"
              "#EXT-X-TARGETDURATION:6\n#EXT-X-ENDLIST\n");
    EXPECT_FALSE(Exists(dir + "/out000.ts"));
}

TEST(HlsAdvancePlaylist, UnwritablePlaylistFails) {
    ScopedLogCapture capture(4);
    EXPECT_EQ(ThrownMessage([] { WriteAdvancePlaylist("/nonexistent/dir/video.m3u8", "/nonexistent/dir/out%03d.ts", 20.0, 6, 50); }),
              "Failed to open file /nonexistent/dir/video.m3u8");
}

// A placeholder that cannot be made ends the set-up; the half-written playlist and the
// placeholders made before are not left behind.
TEST(HlsAdvancePlaylist, APlaylistThatCannotBeCompletedIsRemovedWithItsPlaceholders) {
    const std::string dir = TempDir("hls_adv_incomplete");
    std::filesystem::create_directory(dir + "/out002.ts");  // taken by a folder
    ScopedLogCapture capture(4);
    EXPECT_EQ(ThrownMessage([&] { WriteAdvancePlaylist(dir + "/video.m3u8", dir + "/out%03d.ts", 20.0, 6, 50); }),
              "Failed to open file " + dir + "/out002.ts");
    EXPECT_FALSE(Exists(dir + "/video.m3u8"));
    EXPECT_FALSE(Exists(dir + "/out000.ts"));
    EXPECT_FALSE(Exists(dir + "/out001.ts"));
    EXPECT_TRUE(std::filesystem::is_directory(dir + "/out002.ts"));
}

// After a lost segment the advance playlist ends before it; entries before it stay byte for byte.
TEST(HlsAdvancePlaylist, EndingBeforeASegmentKeepsTheEntriesBeforeIt) {
    const std::string dir = TempDir("hls_adv_end");
    const std::string playlist = dir + "/video.m3u8";
    const std::string header =
        "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-MEDIA-SEQUENCE:0\n#EXT-X-ALLOW-CACHE:YES\n#EXT-X-TARGETDURATION:6\n";
    WriteAdvancePlaylist(playlist, dir + "/out%03d.ts", 20.0, 6, 50);
    const std::string full = ReadFile(playlist);

    EXPECT_EQ(EndPlaylistBefore(playlist, "out004.ts"), PlaylistCut::NotNamed);
    EXPECT_EQ(ReadFile(playlist), full);
    EXPECT_EQ(EndPlaylistBefore(playlist, "out002.ts"), PlaylistCut::Cut);
    EXPECT_EQ(ReadFile(playlist),
              header + "#EXTINF:6.000000,\nout000.ts\n#EXTINF:6.000000,\nout001.ts\n#EXT-X-ENDLIST\n");
    EXPECT_EQ(EndPlaylistBefore(playlist, "out000.ts"), PlaylistCut::Cut);
    EXPECT_EQ(ReadFile(playlist), header + "#EXT-X-ENDLIST\n");
    EXPECT_EQ(EndPlaylistBefore(dir + "/missing.m3u8", "out000.ts"), PlaylistCut::Failed);
    EXPECT_FALSE(Exists(dir + "/missing.m3u8"));
}

// ---- construction and set-up failures -----------------------------------------------

TEST(HlsWriterSetup, ConstructionChecksPathAndDurationAndLogsTheRequest) {
    ScopedLogCapture capture(0);
    EXPECT_EQ(ThrownMessage([] { HlsWriter w(L"", 10.0, StreamConfig(kW, kH, 6, 3), 25.0, kNoCallback); }),
              "Invalid file path.");
    EXPECT_EQ(ThrownMessage([] { HlsWriter w(L"/tmp/x/video.m3u8", -0.5, StreamConfig(kW, kH, 6, 3), 25.0, kNoCallback); }),
              "Invalid duration.");
    EXPECT_TRUE(capture.Sink().Contains("Throw: Invalid file path.", 4));
    capture.Sink().Clear();
    HlsWriter ok(L"/tmp/x/video.m3u8", 0.0, StreamConfig(640, 360, 6, 3, true), 12.5, kNoCallback);
    EXPECT_TRUE(capture.Sink().Contains("CreateHlsVideoExporter, width: 640 height: 360 filePath: /tmp/x/video.m3u8 "
                                        "video duration: 0 sec, Live generation: 1, FPS=12.5",
                                        2));
    EXPECT_FALSE(ok.IsEncoderReady());
}

TEST(HlsWriterSetup, PathWithoutM3u8FailsOnTheSecondFrameAndIsTriedAgain) {
    const std::string dir = TempDir("hls_badpath");
    const std::string path = dir + "/video.mp4";
    ScopedLogCapture capture(0);
    HlsWriter writer(W(path), 10.0, StreamConfig(kW, kH, 6, 3), 25.0, kNoCallback);
    writer.WriteFrame(MakeFrame(kW, kH, 0, 25.0));
    EXPECT_EQ(ThrownMessage([&] { writer.WriteFrame(MakeFrame(kW, kH, 1, 25.0)); }),
              "filePath: " + path + " not valid for HLS");
    // No output context was made, so the next frame tries the set-up again.
    EXPECT_EQ(ThrownMessage([&] { writer.WriteFrame(MakeFrame(kW, kH, 2, 25.0)); }),
              "filePath: " + path + " not valid for HLS");
    EXPECT_FALSE(writer.IsEncoderReady());
    writer.FlushVideoFile();
    EXPECT_EQ(ReadFile(dir + "/video.mp4"), "");
    EXPECT_FALSE(Exists(dir + "/out000.ts"));
    EXPECT_EQ(ThrownMessage([] { HlsWriter w(L"m3u", 1.0, StreamConfig(kW, kH, 6, 3), 25.0, kNoCallback);
                                 w.WriteFrame(MakeFrame(kW, kH, 0, 25.0));
                                 w.WriteFrame(MakeFrame(kW, kH, 1, 25.0)); }),
              "filePath: m3u not valid for HLS");
}

TEST(HlsWriterSetup, APathLongerThan1023BytesIsRefused) {
    const std::string path = "/tmp/" + std::string(1010, 'd') + "/video.m3u8";
    ScopedLogCapture capture(4);
    HlsWriter writer(W(path), 10.0, StreamConfig(kW, kH, 6, 3), 25.0, kNoCallback);
    writer.WriteFrame(MakeFrame(kW, kH, 0, 25.0));
    EXPECT_EQ(ThrownMessage([&] { writer.WriteFrame(MakeFrame(kW, kH, 1, 25.0)); }),
              "filePath: " + path + " is longer than 1023 bytes");
}

TEST(HlsWriterSetup, FailureAfterTheOutputContextIsNotRetriedAndLaterFramesAreDropped) {
    const std::string dir = TempDir("hls_zero_interval");
    ScopedLogCapture capture(0);
    {
        HlsWriter writer(W(dir + "/video.m3u8"), 10.0, StreamConfig(kW, kH, 6, 3), 0.0, kNoCallback);
        writer.WriteFrame(std::make_shared<SyntheticFrame>(kW, kH, 0, 1000));
        // Two frames with the same time: no frame rate can be derived.
        EXPECT_THROW(writer.WriteFrame(std::make_shared<SyntheticFrame>(kW, kH, 1, 1000)), CodeErrorException);
        writer.WriteFrame(std::make_shared<SyntheticFrame>(kW, kH, 2, 400000));
        EXPECT_FALSE(writer.IsEncoderReady());
    }
    int starts = 0;
    for (const auto& m : capture.Sink().Messages(2))
        if (m.rfind("Hls encoder init start for ", 0) == 0) ++starts;
    EXPECT_EQ(starts, 1);
    EXPECT_TRUE(capture.Sink().Contains("Decoder terminated/not initialized, skip frame encoding!!!", 4));
    EXPECT_FALSE(Exists(dir + "/video.m3u8"));
    EXPECT_FALSE(Exists(dir + "/out000.ts"));
}

// ---- frames, segments and notifications ---------------------------------------------

// 20 s at 25 frames/s in 6 s segments: three full segments reported while writing, the short last
// one by the destructor, the indices past it tried and skipped.
TEST(HlsWriterFramePath, AdvanceModeWritesEveryFrameAndReportsEachSegmentOnceWhenComplete) {
    const std::string dir = TempDir("hls_advance_run");
    const std::string playlist = dir + "/video.m3u8";
    SegmentRecorder::Instance().Clear();
    ScopedLogCapture capture(2);
    const int frames = 500;
    std::vector<std::string> reportedWhileWriting;
    size_t successorsWithBytes = 0;
    {
        HlsWriter writer(W(playlist), 20.0, StreamConfig(kBigW, kBigH, 6, 3), 0.0, kRecorder);
        writer.WriteFrame(MakeFrame(kBigW, kBigH, 0, 25.0, true));
        EXPECT_FALSE(writer.IsMasterFileFlushed());
        writer.WriteFrame(MakeFrame(kBigW, kBigH, 1, 25.0, true));
        EXPECT_FALSE(writer.IsMasterFileFlushed());
        ASSERT_TRUE(writer.IsEncoderReady());
        EXPECT_EQ(writer.GetFrameRate(), 25.0);  // from frames 40 ms apart
        EXPECT_EQ(writer.GetGopSize(), 50);
        EXPECT_EQ(writer.GetExpectedSegmentCount(), 5);
        // The complete playlist and the placeholders exist before any segment has content.
        EXPECT_EQ(Lines(ReadFile(playlist)).size(), 14u);
        EXPECT_EQ(FileSize(dir + "/out003.ts"), 0);
        writer.WriteFrame(MakeFrame(kBigW, kBigH, 2, 25.0, true));
        EXPECT_TRUE(writer.IsMasterFileFlushed());
        for (int i = 3; i < frames; ++i) {
            writer.WriteFrame(MakeFrame(kBigW, kBigH, i, 25.0, true));
            const int expect = EstimateBitrate(25.0, writer.GetPacketsWritten(), writer.GetBytesCounted(), 50, 3, true);
            ASSERT_EQ(writer.GetEstimatedBitrate(), expect);
            if (writer.GetPacketsWritten() < 150) {
                ASSERT_EQ(writer.GetEstimatedBitrate(), 0);
            }
        }
        EXPECT_GT(writer.GetEstimatedBitrate(), 0);
        reportedWhileWriting = SegmentRecorder::Instance().Paths();
        for (int k = 1; k <= 3 && FileSize(SegmentName(dir, k)) > 0; ++k) ++successorsWithBytes;
    }
    // Segment k is reported while writing as soon as the segmenter has put bytes into segment
    // k + 1. The encoder keeps a few frames in flight and the segmenter buffers its output, so
    // the last boundary may be seen only at the flush; then the destructor reports segment 2 too.
    ASSERT_GE(successorsWithBytes, 2u);
    ASSERT_EQ(reportedWhileWriting.size(), successorsWithBytes) << ::testing::PrintToString(reportedWhileWriting);
    for (size_t k = 0; k < successorsWithBytes; ++k)
        EXPECT_EQ(reportedWhileWriting[k], SegmentName(dir, static_cast<int>(k)));
    // The rest, up to the short last segment, by the destructor; no index twice.
    auto reports = SegmentRecorder::Instance().Reports();
    ASSERT_EQ(reports.size(), 4u);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(reports[k].path, SegmentName(dir, k));
    EXPECT_FALSE(Exists(dir + "/out004.ts"));
    for (const auto& r : reports) {
        // Complete when reported: what it held then is what it holds now, in whole TS packets.
        EXPECT_GT(r.size, 0) << r.path;
        EXPECT_EQ(r.size, FileSize(r.path)) << r.path;
        EXPECT_EQ(r.size % 188, 0) << r.path;
    }
    for (size_t k = 0; k < successorsWithBytes; ++k) EXPECT_GT(reports[k].successorSize, 0) << k;

    // The advance playlist stays as written; FFmpeg reads it and finds every frame.
    EXPECT_EQ(ReadFile(playlist),
              "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-MEDIA-SEQUENCE:0\n#EXT-X-ALLOW-CACHE:YES\n"
              "#EXT-X-TARGETDURATION:6\n#EXTINF:6.000000,\nout000.ts\n#EXTINF:6.000000,\nout001.ts\n"
              "#EXTINF:6.000000,\nout002.ts\n#EXTINF:2.000000,\nout003.ts\n#EXT-X-ENDLIST\n");
    EXPECT_TRUE(Exists(dir + "/ffmpegGenerated.m3u8"));
    EXPECT_EQ(CountFrames(playlist), frames);
    EXPECT_EQ(CountFrames(dir + "/out000.ts"), 150);
    EXPECT_EQ(CountFrames(dir + "/out001.ts"), 150);
    EXPECT_EQ(CountFrames(dir + "/out002.ts"), 150);
    EXPECT_EQ(CountFrames(dir + "/out003.ts"), 50);
    auto keys = KeyFlags(playlist);
    ASSERT_EQ(keys.size(), static_cast<size_t>(frames));
    for (int i = 0; i < frames; ++i) EXPECT_EQ(keys[i], i % 50 == 0) << i;
    EXPECT_EQ(StreamSize(dir + "/out000.ts"), "320x240");
    // 500 frames at 25 frames/s match the declared 20 s.
    EXPECT_FALSE(capture.Sink().Contains("Written Video Duration", 3));
}

// Also: a folder name with non-ASCII letters and a printf directive is used as it is.
TEST(HlsWriterFramePath, NoCallbackMeansNoNotificationsAndAShortVideoStillHoldsEveryFrame) {
    const std::string dir = TempDir("hls_nocb") + "/r\u00e9 100%d";
    std::filesystem::create_directories(dir);
    SegmentRecorder::Instance().Clear();
    {
        // 2.3 s: two full segments and a short third one in the playlist.
        HlsWriter writer(W(dir + "/video.m3u8"), 2.3, StreamConfig(kW, kH, 1, 1), 10.0, kNoCallback);
        WriteFrames(writer, 0, 23, 10.0);
    }
    EXPECT_TRUE(SegmentRecorder::Instance().Reports().empty());
    EXPECT_EQ(CountFrames(dir + "/video.m3u8"), 23);
    EXPECT_EQ(CountFrames(dir + "/out002.ts"), 3);
}

TEST(HlsWriterFramePath, ImagesEncodeLikeFramesAndOtherSizesAreScaled) {
    const std::string dir = TempDir("hls_images");
    {
        HlsWriter writer(W(dir + "/video.m3u8"), 2.0, StreamConfig(kW, kH, 1, 1), 10.0, kNoCallback);
        for (int i = 0; i < 12; ++i) {
            // Every other image comes in twice the size.
            const int scale = i % 2 ? 2 : 1;
            writer.WriteFrame(MakeImage(kW * scale, kH * scale, i), DateTime(FrameTime(i, 10.0)));
        }
    }
    EXPECT_EQ(CountFrames(dir + "/video.m3u8"), 12);
    EXPECT_EQ(StreamSize(dir + "/out000.ts"), "160x120");
    // crf 23 and no rate limit: x264 states no VBV settings.
    const std::string ts = ReadFile(dir + "/out000.ts");
    EXPECT_NE(ts.find("crf=23.0"), std::string::npos);
    EXPECT_EQ(ts.find("vbv_maxrate"), std::string::npos);
}

TEST(HlsWriterFramePath, ASingleFrameNeverSetsUp) {
    const std::string dir = TempDir("hls_single");
    SegmentRecorder::Instance().Clear();
    {
        HlsWriter writer(W(dir + "/video.m3u8"), 2.0, StreamConfig(kW, kH, 1, 1), 10.0, kRecorder);
        writer.WriteFrame(MakeFrame(kW, kH, 0, 10.0));
        writer.FlushVideoFile();
        EXPECT_FALSE(writer.IsMasterFileFlushed());
        EXPECT_EQ(writer.GetEstimatedBitrate(), 0);
    }
    EXPECT_FALSE(Exists(dir + "/video.m3u8"));
    EXPECT_FALSE(Exists(dir + "/out000.ts"));
    EXPECT_TRUE(SegmentRecorder::Instance().Reports().empty());
}

TEST(HlsWriterFramePath, FlushFinishesOnceAndLaterFramesAreDropped) {
    const std::string dir = TempDir("hls_flush_twice");
    ScopedLogCapture capture(0);
    HlsWriter writer(W(dir + "/video.m3u8"), 1.0, StreamConfig(kW, kH, 1, 1), 10.0, kNoCallback);
    WriteFrames(writer, 0, 10, 10.0);
    writer.FlushVideoFile();
    EXPECT_FALSE(writer.IsEncoderReady());
    const int packets = writer.GetPacketsWritten();
    EXPECT_EQ(packets, 10);
    // Finished: the estimate covers what was written, not ready any more.
    EXPECT_EQ(writer.GetEstimatedBitrate(),
              EstimateBitrate(10.0, packets, writer.GetBytesCounted(), writer.GetGopSize(), 1, false));
    capture.Sink().Clear();
    writer.FlushVideoFile();
    EXPECT_FALSE(capture.Sink().Contains("Flush the end of the video to the file"));
    writer.WriteFrame(MakeFrame(kW, kH, 10, 10.0));
    writer.WriteFrame(MakeFrame(kW, kH, 11, 10.0));
    EXPECT_TRUE(capture.Sink().Contains("Decoder terminated/not initialized, skip frame encoding!!!", 4));
    EXPECT_FALSE(capture.Sink().Contains("Hls encoder init start"));
    EXPECT_EQ(writer.GetPacketsWritten(), packets);
    EXPECT_EQ(CountFrames(dir + "/video.m3u8"), 10);
}

TEST(HlsWriterFramePath, WrittenLengthIsCheckedAgainstTheDeclaredOne) {
    const std::string dir = TempDir("hls_duration_check");
    {
        ScopedLogCapture capture(3);
        std::filesystem::create_directories(dir + "/a");
        HlsWriter writer(W(dir + "/a/video.m3u8"), 10.0, StreamConfig(64, 48, 2, 1), 25.0, kNoCallback);
        WriteFrames(writer, 0, 100, 25.0, 64, 48);
        writer.FlushVideoFile();
        EXPECT_TRUE(capture.Sink().Contains("Written Video Duration : 4, excpected: 10", 3));
    }
    {
        ScopedLogCapture capture(3);
        std::filesystem::create_directories(dir + "/b");
        HlsWriter writer(W(dir + "/b/video.m3u8"), 10.0, StreamConfig(64, 48, 2, 1), 25.0, kNoCallback);
        WriteFrames(writer, 0, 240, 25.0, 64, 48);
        writer.FlushVideoFile();
        EXPECT_FALSE(capture.Sink().Contains("Written Video Duration", 3));
    }
}

TEST(HlsWriterFramePath, EncoderOptionsReachTheEncoder) {
    const std::string dir = TempDir("hls_options");
    H264StreamConfig config = StreamConfig(kW, kH, 2, 2);
    config.crf = 30;
    config.maxRate = 500000;
    config.level = Halvora::RuvarEduzid::H264Level31;
    config.profile = Halvora::RuvarEduzid::H264ProfileHigh;
    ScopedLogCapture capture(2);
    {
        HlsWriter writer(W(dir + "/video.m3u8"), 2.0, config, 29.97, kNoCallback);
        WriteFrames(writer, 0, 30, 29.97);
        EXPECT_EQ(writer.GetGopSize(), 29);  // 2 x 29.97 / 2
    }
    // x264 states its settings in the stream.
    const std::string ts = ReadFile(dir + "/out000.ts");
    EXPECT_NE(ts.find("crf=30.0"), std::string::npos);
    EXPECT_NE(ts.find("vbv_maxrate=500 vbv_bufsize=1000"), std::string::npos);
    EXPECT_NE(ts.find("keyint=29 "), std::string::npos);
    const unsigned n = std::thread::hardware_concurrency();
    EXPECT_NE(ts.find("threads=" + std::to_string(2 * n) + " "), std::string::npos);
    EXPECT_TRUE(capture.Sink().Contains("Available CPU concurrency " + std::to_string(n), 2));
    EXPECT_EQ(Lines(Probe(dir + "/out000.ts", "-select_streams v:0 -show_entries stream=level -of csv=p=0"))[0], "31");
    // Frames 100/2997 s apart: 3003 ticks of the 90 kHz clock.
    auto pts = Lines(Probe(dir + "/out000.ts", "-select_streams v:0 -show_entries packet=pts -of default=nw=1:nk=1"));
    ASSERT_GE(pts.size(), 3u);
    EXPECT_EQ(std::stoll(pts[1]) - std::stoll(pts[0]), 3003);
    EXPECT_EQ(std::stoll(pts[2]) - std::stoll(pts[1]), 3003);
}

// ---- live mode ------------------------------------------------------------------------

TEST(HlsWriterLive, TheSegmenterWritesThePlaylistAsSegmentsAppear) {
    const std::string dir = TempDir("hls_live");
    const std::string playlist = dir + "/video.m3u8";
    SegmentRecorder::Instance().Clear();
    int total = 0;
    {
        HlsWriter writer(W(playlist), 0.0, StreamConfig(kW, kH, 1, 1, true), 10.0, kRecorder);
        // Write until the segmenter has closed two segments (the encoder keeps a few frames in flight).
        int written = 0;
        while (written < 300 && ReadFile(playlist).find("out001.ts") == std::string::npos)
            writer.WriteFrame(MakeFrame(kW, kH, written++, 10.0));
        const std::string during = ReadFile(playlist);
        EXPECT_NE(during.find("out000.ts"), std::string::npos);
        EXPECT_NE(during.find("out001.ts"), std::string::npos);
        EXPECT_EQ(during.find("#EXT-X-ENDLIST"), std::string::npos);
        EXPECT_FALSE(Exists(dir + "/ffmpegGenerated.m3u8"));
        EXPECT_EQ(writer.GetExpectedSegmentCount(), 0);
        // Then a last, shorter segment.
        total = (written / 10 + 1) * 10 + 5;
        WriteFrames(writer, written, total, 10.0);
        writer.FlushVideoFile();
        EXPECT_NE(ReadFile(playlist).find("#EXT-X-ENDLIST"), std::string::npos);
    }
    const int segments = (total + 9) / 10;
    EXPECT_EQ(CountFrames(playlist), total);
    EXPECT_EQ(CountFrames(SegmentName(dir, segments - 1)), 5);
    // Every segment is reported once; those the segmenter closed last when the writer is destroyed.
    std::vector<std::string> expected;
    for (int k = 0; k < segments; ++k) expected.push_back(SegmentName(dir, k));
    EXPECT_EQ(SegmentRecorder::Instance().Paths(), expected);
    EXPECT_FALSE(Exists(SegmentName(dir, segments)));
}

// While the playlist name is taken (here by a directory, as a player may hold the file elsewhere)
// the segmenter leaves its list as ".tmp"; the flush renames it once the name is free.
TEST(HlsWriterLive, ALeftoverTemporaryListIsRenamedAtFlush) {
    const std::string dir = TempDir("hls_live_tmp");
    const std::string playlist = dir + "/video.m3u8";
    std::filesystem::create_directory(playlist);
    ScopedLogCapture capture(2);
    HlsWriter writer(W(playlist), 0.0, StreamConfig(kW, kH, 1, 1, true), 10.0, kNoCallback);
    int written = 0;
    while (written < 300 && !Exists(playlist + ".tmp")) writer.WriteFrame(MakeFrame(kW, kH, written++, 10.0));
    ASSERT_TRUE(Exists(playlist + ".tmp"));
    std::thread freeName([&] {
        for (int i = 0; i < 500 && !capture.Sink().Contains("Reanme error code returns: "); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::filesystem::remove(playlist);
    });
    writer.FlushVideoFile();
    freeName.join();
    EXPECT_FALSE(Exists(playlist + ".tmp"));
    EXPECT_TRUE(std::filesystem::is_regular_file(playlist));
    EXPECT_NE(ReadFile(playlist).find("#EXT-X-ENDLIST"), std::string::npos);
    EXPECT_TRUE(capture.Sink().Contains("Hls temp file detected, manually renaming: \"" + playlist + ".tmp\"to: " +
                                        playlist, 2));
    EXPECT_TRUE(capture.Sink().Contains("Reanme error code returns: Success", 2));
    EXPECT_EQ(CountFrames(playlist), written);
}

TEST(HlsWriterLive, ARenameThatKeepsFailingEndsTheFlushAndTheWriterStaysClosed) {
    const std::string dir = TempDir("hls_live_tmp_fail");
    const std::string playlist = dir + "/video.m3u8";
    std::filesystem::create_directories(playlist + "/blocked");  // a non-empty directory is never replaced
    ScopedLogCapture capture(2);
    {
        HlsWriter writer(W(playlist), 0.0, StreamConfig(kW, kH, 1, 1, true), 10.0, kNoCallback);
        WriteFrames(writer, 0, 12, 10.0);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(ThrownMessage([&] { writer.FlushVideoFile(); }),
                  "Cannot rename hls temp file, live playing cannot be stopped!!!");
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
        EXPECT_FALSE(writer.IsEncoderReady());
        capture.Sink().Clear();
        writer.FlushVideoFile();  // the FFmpeg objects are gone: nothing happens
        writer.WriteFrame(MakeFrame(kW, kH, 12, 10.0));
        EXPECT_FALSE(capture.Sink().Contains("Flush the end of the video"));
    }
    EXPECT_TRUE(Exists(playlist + ".tmp"));
    // The segmenter's list is intact under its temporary name.
    const std::string list = ReadFile(playlist + ".tmp");
    EXPECT_NE(list.find("out000.ts"), std::string::npos);
    EXPECT_NE(list.find("#EXT-X-ENDLIST"), std::string::npos);
}
