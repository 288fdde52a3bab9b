// The HLS writers, read back by ffprobe and FFmpeg's HLS reader: one rendition (advance playlist or
// live), several under a master playlist, the segment notifications, failures, a disk that fills
// up, and the exported functions.
#include "Common/Logger.h"
#include "Common/ManagedObject.h"
#include "RuvarEduzid/HlsWriter.h"
#include "RuvarEduzid/HlsWriterParams.h"
#include "RuvarEduzid/MultiStreamHlsWriter.h"
#include "RuvarEduzid/VideoWriterFactory.h"
#include "support/Pictures.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <filesystem>
#include <set>
#include <thread>

using namespace RuvarTest;
using namespace Halvora::RuvarEduzid;
using Halvora::Common::CodeErrorException;
using Halvora::Common::DateTime;
using Halvora::Common::LogError;
using Halvora::Common::ScopedLogCapture;

namespace {

constexpr int kW = 160, kH = 120;
const GetTsFilePathCb kRecorder{&SegmentRecorder::Callback};
const GetTsFilePathCb kNoCallback{nullptr};
const std::string kHeader =
    "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-MEDIA-SEQUENCE:0\n#EXT-X-ALLOW-CACHE:YES\n#EXT-X-TARGETDURATION:6\n";
// The entries of 6 s segments 0, 1 and 2.
const std::string kSix = "#EXTINF:6.000000,\nout000.ts\n#EXTINF:6.000000,\nout001.ts\n#EXTINF:6.000000,\nout002.ts\n";

std::string Segment(const std::string& dir, int index) {
    char name[32];
    std::snprintf(name, sizeof name, "/out%03d.ts", index);
    return dir + name;
}

std::vector<std::string> Listed(const std::string& playlist) {
    std::vector<std::string> names;
    for (const auto& line : Lines(ReadFile(playlist)))
        if (line[0] != '#') names.push_back(line);
    return names;
}

// Per packet of the first video stream: true for key frames.
std::vector<bool> KeyFlags(const std::string& path) {
    std::vector<bool> keys;
    for (const auto& p : Packets(path)) keys.push_back(p.key);
    return keys;
}

HlsWriterParams TwoRenditions(const std::string& dir, double duration, double fps, bool live, GetTsFilePathCb callback,
                              int w = 320, int h = 240) {
    HlsWriterParams params(W(dir + "/master.m3u8"), duration, fps, callback);
    params.streams.push_back(StreamConfig(w, h, 1, 1, live));
    params.streams.push_back(StreamConfig(w / 2, h / 2, 1, 1, live));
    return params;
}

}  // namespace

// ---- one rendition ---------------------------------------------------------------------------------

// A placeholder that cannot be made ends the set-up and nothing half made is left behind; values no
// encoder can run with are refused rather than divided by.
TEST(HlsWriter, AdvancePlaylistFailuresLeaveNothing) {
    const std::string dir = TempDir("hls_incomplete");
    std::filesystem::create_directory(dir + "/out002.ts");
    EXPECT_EQ(ThrowText([&] { HlsWriterInternals::WriteAdvancePlaylist(dir + "/video.m3u8", dir + "/out%03d.ts", 20.0, 6, 50); }),
              "Failed to open file " + dir + "/out002.ts");
    EXPECT_FALSE(Exists(dir + "/video.m3u8"));
    EXPECT_FALSE(Exists(Segment(dir, 0)));
    EXPECT_EQ(ThrowText([] { HlsWriterInternals::WriteAdvancePlaylist("/nonexistent/v.m3u8", "/nonexistent/o%d.ts", 20, 6, 50); }),
              "Failed to open file /nonexistent/v.m3u8");
    for (const auto& [fps, interval, seconds, gops] :
         {std::tuple{0.0, 0LL, 6, 3}, std::tuple{0.0, -400000LL, 6, 3}, std::tuple{0.0, 300000000LL, 6, 3},
          std::tuple{25.0, 0LL, 0, 3}, std::tuple{25.0, 0LL, 6, 0}, std::tuple{25.0, 0LL, 1, 50}, std::tuple{-25.0, 0LL, 6, 3},
          std::tuple{0.001, 0LL, 6, 3}})
        EXPECT_THROW(HlsWriterInternals::ComputeTiming(fps, interval, seconds, gops), CodeErrorException) << fps << seconds;
}

// 20 s at 25 frames/s (the rate taken from the frame times) in 6 s segments: each segment reported
// once, when complete, as soon as the segmenter has put bytes into the next one (the destructor
// reports the rest); the playlist stays as written; FFmpeg reads every frame, a key frame every 50.
TEST(HlsWriter, AdvanceModeReportsEachSegmentOnceWhenComplete) {
    const std::string dir = TempDir("hls_advance_run");
    SegmentRecorder::Instance().Clear();
    std::vector<std::string> whileWriting;
    size_t successors = 0;
    {
        HlsWriter writer(W(dir + "/video.m3u8"), 20.0, StreamConfig(320, 240, 6, 3), 0.0, kRecorder);
        writer.WriteFrame(MakeFrame(320, 240, 0, 25.0, true));
        writer.WriteFrame(MakeFrame(320, 240, 1, 25.0, true));
        EXPECT_EQ(writer.GetGopSize(), 50);
        EXPECT_EQ(Listed(dir + "/video.m3u8").size(), 4u);  // listed before any segment has content
        EXPECT_EQ(FileSize(Segment(dir, 3)), 0);
        EXPECT_FALSE(writer.IsMasterFileFlushed());
        for (int i = 2; i < 500; ++i) writer.WriteFrame(MakeFrame(320, 240, i, 25.0, true));
        EXPECT_TRUE(writer.IsMasterFileFlushed());
        EXPECT_GT(writer.GetEstimatedBitrate(), 0);
        whileWriting = SegmentRecorder::Instance().Paths();
        for (int k = 1; k <= 3 && FileSize(Segment(dir, k)) > 0; ++k) ++successors;
    }
    ASSERT_GE(successors, 2u);
    ASSERT_EQ(whileWriting.size(), successors);
    const auto reports = SegmentRecorder::Instance().Reports();
    ASSERT_EQ(reports.size(), 4u);
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(reports[k].path, Segment(dir, k));
        // Complete when reported: what it held then is what it holds now, in whole TS packets.
        const std::string bytes = ReadFile(reports[k].path);
        EXPECT_EQ(reports[k].md5, Md5Hex(bytes.data(), bytes.size())) << k;
        EXPECT_EQ(bytes.size() % 188, 0u) << k;
        EXPECT_EQ(CountFrames(reports[k].path), k < 3 ? 150 : 50) << k;
    }
    EXPECT_FALSE(Exists(Segment(dir, 4)));
    EXPECT_EQ(ReadFile(dir + "/video.m3u8"), kHeader + kSix + "#EXTINF:2.000000,\nout003.ts\n#EXT-X-ENDLIST\n");
    EXPECT_EQ(PlayErrors(dir + "/video.m3u8"), "");
    const auto keys = KeyFlags(dir + "/video.m3u8");
    ASSERT_EQ(keys.size(), 500u);
    for (int i = 0; i < 500; ++i) EXPECT_EQ(keys[i], i % 50 == 0) << i;
}

TEST(HlsWriter, EncoderOptionsImagesOfOtherSizesAndOddFolderNames) {
    const std::string dir = TempDir("hls_options") + "/r\u00e9 100%d";  // used as it is
    std::filesystem::create_directories(dir);
    H264StreamConfig config = StreamConfig(kW, kH, 2, 2);
    config.crf = 30;
    config.maxRate = 500000;
    config.level = H264Level31;
    config.profile = H264ProfileHigh;
    {
        HlsWriter writer(W(dir + "/video.m3u8"), 2.0, config, 29.97, kNoCallback);
        for (int i = 0; i < 30; ++i) {
            const int scale = i % 2 ? 2 : 1;  // every other image twice the size: scaled
            writer.WriteFrame(MakeImage(kW * scale, kH * scale, i), DateTime(FrameTime(i, 29.97)));
        }
    }
    // x264 states its settings in the stream.
    const std::string ts = ReadFile(Segment(dir, 0));
    EXPECT_NE(ts.find("crf=30.0"), std::string::npos);
    EXPECT_NE(ts.find("vbv_maxrate=500 vbv_bufsize=1000"), std::string::npos);
    EXPECT_NE(ts.find("keyint=29 "), std::string::npos);  // 2 s x 29.97 frames/s / 2 GOPs
    EXPECT_EQ(StreamField(Segment(dir, 0), "width,height,level"), "160,120,31");
    const auto pts = Lines(Probe(Segment(dir, 0), "-select_streams v:0 -show_entries packet=pts -of csv=p=0"));
    ASSERT_GE(pts.size(), 3u);
    EXPECT_EQ(std::stoll(pts[2]) - std::stoll(pts[1]), 3003);  // 100/2997 s at 90 kHz
    EXPECT_EQ(CountFrames(dir + "/video.m3u8"), 30);
}

TEST(HlsWriter, FailedSetUpsAndFinishedWritersDropFramesAndSaySo) {
    const std::string dir = TempDir("hls_failures");
    {
        HlsWriter writer(W(dir + "/video.mp4"), 10.0, StreamConfig(kW, kH, 6, 3), 25.0, kNoCallback);
        writer.WriteFrame(MakeFrame(kW, kH, 0, 25.0));
        EXPECT_EQ(ThrowText([&] { writer.WriteFrame(MakeFrame(kW, kH, 1, 25.0)); }),
                  "filePath: " + dir + "/video.mp4 not valid for HLS");
    }
    EXPECT_EQ(ReadFile(dir + "/video.mp4"), "");
    ScopedLogCapture capture(0);
    {
        // Two frames at the same time: no frame rate; the set-up is not tried again.
        HlsWriter writer(W(dir + "/same.m3u8"), 10.0, StreamConfig(kW, kH, 6, 3), 0.0, kNoCallback);
        writer.WriteFrame(std::make_shared<SyntheticFrame>(kW, kH, 0, 1000));
        EXPECT_THROW(writer.WriteFrame(std::make_shared<SyntheticFrame>(kW, kH, 1, 1000)), CodeErrorException);
        writer.WriteFrame(std::make_shared<SyntheticFrame>(kW, kH, 2, 400000));
    }
    EXPECT_EQ(CountOf(LogText(capture), "Hls encoder init start for "), 1);
    EXPECT_TRUE(capture.Sink().Contains("Decoder terminated/not initialized, skip frame encoding!!!", 4));
    EXPECT_FALSE(Exists(dir + "/same.m3u8"));
    // A flushed writer finishes once and drops what comes after.
    HlsWriter writer(W(dir + "/flushed.m3u8"), 1.0, StreamConfig(kW, kH, 1, 1), 10.0, kNoCallback);
    for (int i = 0; i < 10; ++i) writer.WriteFrame(MakeFrame(kW, kH, i, 10.0));
    writer.FlushVideoFile();
    writer.FlushVideoFile();
    writer.WriteFrame(MakeFrame(kW, kH, 10, 10.0));
    writer.WriteFrame(MakeFrame(kW, kH, 11, 10.0));
    EXPECT_EQ(writer.GetPacketsWritten(), 10);
    EXPECT_EQ(CountFrames(dir + "/flushed.m3u8"), 10);
}

// Live: the segmenter writes the playlist as segments appear, without an end until the flush;
// every segment is reported once.
TEST(HlsWriter, LivePlaylistsGrowAndEndAtTheFlush) {
    const std::string dir = TempDir("hls_live");
    const std::string playlist = dir + "/video.m3u8";
    SegmentRecorder::Instance().Clear();
    int total = 0;
    {
        HlsWriter writer(W(playlist), 0.0, StreamConfig(kW, kH, 1, 1, true), 10.0, kRecorder);
        int written = 0;
        while (written < 300 && ReadFile(playlist).find("out001.ts") == std::string::npos)
            writer.WriteFrame(MakeFrame(kW, kH, written++, 10.0));
        EXPECT_EQ(ReadFile(playlist).find("#EXT-X-ENDLIST"), std::string::npos);
        total = (written / 10 + 1) * 10 + 5;  // then a shorter last segment
        for (int i = written; i < total; ++i) writer.WriteFrame(MakeFrame(kW, kH, i, 10.0));
        writer.FlushVideoFile();
        EXPECT_NE(ReadFile(playlist).find("#EXT-X-ENDLIST"), std::string::npos);
    }
    const int segments = (total + 9) / 10;
    EXPECT_EQ(CountFrames(playlist), total);
    EXPECT_EQ(CountFrames(Segment(dir, segments - 1)), 5);
    std::vector<std::string> expected;
    for (int k = 0; k < segments; ++k) expected.push_back(Segment(dir, k));
    EXPECT_EQ(SegmentRecorder::Instance().Paths(), expected);
}

// ---- several renditions ----------------------------------------------------------------------------

// 1280x720 and 640x360 from one source at 5 frames/s in 2 s segments: the master playlist is written
// once, on the first frame after which every rendition has a bit rate; FFmpeg reads it all.
TEST(MultiStreamHlsWriter, TwoRenditionsUnderOneMasterPlaylist) {
    const std::string dir = TempDir("mhls_two");
    const std::string master = dir + "/master.m3u8";
    SegmentRecorder::Instance().Clear();
    HlsWriterParams params(W(master), 6.0, 5.0, kRecorder);
    params.streams.push_back(StreamConfig(1280, 720, 2, 1));
    params.streams.push_back(StreamConfig(640, 360, 2, 1));
    std::string written;
    {
        auto writer = VideoWriterFactory::CreateHlsWriter(params);
        const auto& renditions = dynamic_cast<MultiStreamHlsWriter&>(*writer).GetRenditions();
        for (int i = 0; i < 30; ++i) {
            writer->WriteFrame(MakeFrame(1280, 720, i, 5.0));
            const int b0 = renditions[0].second->GetEstimatedBitrate(), b1 = renditions[1].second->GetEstimatedBitrate();
            ASSERT_EQ(writer->IsMasterFileFlushed(), Exists(master)) << i;
            if (!written.empty() || !writer->IsMasterFileFlushed()) {
                EXPECT_TRUE(!written.empty() || b0 < 1 || b1 < 1) << i;
                continue;
            }
            written = ReadFile(master);
            const std::string entry = "#EXT-X-STREAM-INF:PROGRAM-ID=1,BANDWIDTH=";
            EXPECT_EQ(written, "#EXTM3U\n" + entry + std::to_string(b0) + ",RESOLUTION=1280x720\n0/video.m3u8\n" + entry +
                                   std::to_string(b1) + ",RESOLUTION=640x360\n1/video.m3u8\n");
            WriteFile(master, written + "#X-WRITTEN-ONCE\n");  // to show that it is never written again
        }
    }
    EXPECT_EQ(ReadFile(master), written + "#X-WRITTEN-ONCE\n");
    EXPECT_EQ(PlayErrors(master), "");
    std::set<std::string> expected;
    for (const std::string r : {"0", "1"}) {
        EXPECT_EQ(CountFrames(dir + "/" + r + "/video.m3u8"), 30) << r;
        for (int s = 0; s < 3; ++s) {
            const auto keys = KeyFlags(Segment(dir + "/" + r, s));  // 10 frames, a key frame first
            ASSERT_EQ(keys.size(), 10u);
            EXPECT_TRUE(keys[0]);
            expected.insert(Segment(dir + "/" + r, s));
        }
    }
    EXPECT_EQ(StreamField(Segment(dir + "/1", 0), "width,height"), "640,360");
    const auto paths = SegmentRecorder::Instance().Paths();
    EXPECT_EQ(paths.size(), 6u);  // each once, from whichever thread wrote it
    EXPECT_EQ(std::set<std::string>(paths.begin(), paths.end()), expected);
}

TEST(MultiStreamHlsWriter, AHostWritesAPresentationThroughTheExportedFunctions) {
    using Params = Halvora::Common::ManagedSPtr<HlsWriterParams>;
    using Writer = Halvora::Common::ManagedSPtr<IHlsWriter>;
    auto createParams =
        Exported<Params* (*)(const wchar_t*, double, double, GetTsFilePathCb)>("HlsWriterParams_CreateParams");
    auto addStream = Exported<void (*)(Params*, const H264StreamConfig*)>("HlsWriterParams_AddStream");
    auto createWriter = Exported<Writer* (*)(Params*)>("VideoWriterFactory_CreateHlsWriter");
    auto writeFrame = Exported<void (*)(Writer*, IDecodedFrame*)>("IHlsExporter_WriteFrame");
    auto isFlushed = Exported<bool (*)(Writer*)>("IHlsExporter_IsMasterFileFlushed");
    ASSERT_TRUE(createParams && addStream && createWriter && writeFrame && isFlushed);
    const std::string dir = TempDir("mhls_c");
    auto* params = createParams(W(dir + "/master.m3u8").c_str(), 2.4, 5.0, kRecorder);
    try {  // without a stream the factory refuses, and the exception reaches the caller
        createWriter(params);
        ADD_FAILURE() << "no exception";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "Stream list is empty!");
    }
    const H264StreamConfig a = StreamConfig(320, 240, 1, 1), b = StreamConfig(160, 120, 1, 1);
    addStream(params, &a);
    addStream(params, &b);
    auto* writer = createWriter(params);
    ASSERT_NE(writer, nullptr);
    delete params;  // the writer does not need the parameters any more
    SyntheticFrame::Destroyed() = 0;
    for (int i = 0; i < 12; ++i) writeFrame(writer, new SyntheticFrame(320, 240, i, FrameTime(i, 5.0)));  // adopted
    EXPECT_TRUE(isFlushed(writer));
    EXPECT_EQ(SyntheticFrame::Destroyed(), 11);  // the last one is still held
    delete writer;                               // the last share: renditions and master finished
    EXPECT_EQ(SyntheticFrame::Destroyed(), 12);
    EXPECT_EQ(CountFrames(dir + "/1/video.m3u8"), 12);
}

// ---- a disk that fills up ---------------------------------------------------------------------------
// Each case runs in a child process with a small tmpfs of its own: errors are logged, nothing crashes
// or hangs, every reported segment keeps the bytes it had when reported and shows what it shows when
// written with room, and no playlist names a segment that is missing or cut short.

namespace {

constexpr double kFps = 10.0;  // 1 s segments of 10 noisy frames: some 400 KB each at 320x240

// The checks of one rendition folder after the disk filled; the segment names reported, in order.
std::vector<std::string> CheckRendition(const std::string& dir, const std::string& referenceDir) {
    std::vector<std::string> reported;
    for (const auto& r : SegmentRecorder::Instance().Reports()) {
        if (std::filesystem::path(r.path).parent_path() != std::filesystem::path(dir)) continue;
        const std::string name = std::filesystem::path(r.path).filename();
        const std::string bytes = ReadFile(r.path);
        RUVAR_CHILD_CHECK(std::find(reported.begin(), reported.end(), name) == reported.end(), "reported once: " + r.path);
        RUVAR_CHILD_CHECK(Md5Hex(bytes.data(), bytes.size()) == r.md5, "a reported segment keeps its bytes: " + r.path);
        RUVAR_CHILD_CHECK(FrameMd5(r.path) == FrameMd5(referenceDir + "/" + name) && FrameMd5(r.path).size() == 10,
                          "a reported segment shows what it shows when written with room: " + r.path);
        reported.push_back(name);
    }
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string path = entry.path();
        RUVAR_CHILD_CHECK(path.size() < 4 || path.substr(path.size() - 4) != ".tmp", "no temporary list is left: " + path);
        if (path.size() < 5 || path.substr(path.size() - 5) != ".m3u8") continue;
        RUVAR_CHILD_CHECK(ReadFile(path).rfind("#EXTM3U\n", 0) == 0, "a playlist is not cut short: " + path);
        for (const auto& name : Listed(path))
            RUVAR_CHILD_CHECK(std::find(reported.begin(), reported.end(), name) != reported.end(), path + " names " + name);
    }
    if (ReadFile(dir + "/video.m3u8").find("#EXT-X-ENDLIST") != std::string::npos && !Listed(dir + "/video.m3u8").empty())
        RUVAR_CHILD_CHECK(PlayErrors(dir + "/video.m3u8").empty(), "a finished playlist plays through");
    return reported;
}

bool IsPrefix(const std::vector<std::string>& prefix, const std::vector<std::string>& all) {
    return prefix.size() <= all.size() && std::equal(prefix.begin(), prefix.end(), all.begin());
}

}  // namespace

// Two renditions fill the disk while writing 6 s: some segments are finished before, some lost; an
// advance playlist ends before the first lost segment, a live one is the last list the segmenter
// could write whole.
TEST(HlsDiskFull, RenditionsKeepOnlyFinishedSegments) {
    for (const bool live : {false, true}) {
        EXPECT_EXIT(
            {
                SmallDisk disk("hls_full", 1500 * 1024);  // first, before the writers start threads
                const std::string reference = TempDir("hls_full_reference");
                {
                    auto writer = VideoWriterFactory::CreateHlsWriter(TwoRenditions(reference, 6.0, kFps, live, kNoCallback));
                    for (int i = 0; i < 60; ++i) writer->WriteFrame(MakeFrame(320, 240, i, kFps, true));
                }
                SegmentRecorder::Instance().Clear();
                ScopedLogCapture capture(3);
                bool masterFlushed = false;
                {
                    auto writer = VideoWriterFactory::CreateHlsWriter(TwoRenditions(disk.Path(), 6.0, kFps, live, kRecorder));
                    for (int i = 0; i < 60; ++i) writer->WriteFrame(MakeFrame(320, 240, i, kFps, true));
                    masterFlushed = writer->IsMasterFileFlushed();
                }
                for (const std::string r : {"/0", "/1"}) {
                    const auto reported = CheckRendition(disk.Path() + r, reference + r);
                    const auto listed = Listed(disk.Path() + r + "/video.m3u8");
                    RUVAR_CHILD_CHECK(!reported.empty() && reported.size() < 6, "the disk fills mid-run");
                    RUVAR_CHILD_CHECK(live ? IsPrefix(listed, reported) : listed == reported, "the playlist names the finished");
                }
                RUVAR_CHILD_CHECK(masterFlushed == Exists(disk.Path() + "/master.m3u8"), "the master is flushed when on disk");
                RUVAR_CHILD_CHECK(capture.Sink().Contains("No space left on device", LogError), "the errors say why");
                std::_Exit(0);
            },
            ::testing::ExitedWithCode(0), "")
            << (live ? "live" : "advance");
    }
}

// One rendition loses segments while the disk is full and goes on once there is room: the segments
// after the gap are reported as they are finished, the lost ones never; the playlist ends before the
// first lost segment.
TEST(HlsDiskFull, ASingleWriterSkipsLostSegmentsAndGoesOnWithRoom) {
    EXPECT_EXIT(
        {
            SmallDisk disk("hls_full_recover", 2560 * 1024);
            const std::string reference = TempDir("hls_full_recover_reference");
            {
                HlsWriter writer(W(reference + "/video.m3u8"), 8.0, StreamConfig(320, 240, 1, 1), kFps, kNoCallback);
                for (int i = 0; i < 80; ++i) writer.WriteFrame(MakeFrame(320, 240, i, kFps, true));
            }
            SegmentRecorder::Instance().Clear();
            size_t whileWriting = 0;
            {
                HlsWriter writer(W(disk.Path() + "/video.m3u8"), 8.0, StreamConfig(320, 240, 1, 1), kFps, kRecorder);
                for (int i = 0; i < 80; ++i) {
                    if (i == 25) FillDisk(disk.Path() + "/ballast");
                    if (i == 45) std::filesystem::remove(disk.Path() + "/ballast");
                    writer.WriteFrame(MakeFrame(320, 240, i, kFps, true));
                }
                whileWriting = SegmentRecorder::Instance().Reports().size();
            }
            const auto reported = CheckRendition(disk.Path(), reference);
            const auto listed = Listed(disk.Path() + "/video.m3u8");
            RUVAR_CHILD_CHECK(!listed.empty() && IsPrefix(listed, reported), "the playlist ends at the first lost segment");
            RUVAR_CHILD_CHECK(reported.size() > listed.size() && reported.size() < 8, "segments after the gap are reported");
            RUVAR_CHILD_CHECK(whileWriting > listed.size(), "reports go on while writing after the gap");
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}
