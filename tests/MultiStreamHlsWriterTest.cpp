// Several renditions under one master playlist, the factory and the exported plain functions.
#include "Common/Exception.h"
#include "Common/Logger.h"
#include "Common/ManagedObject.h"
#include "Common/StringUtility.h"
#include "RuvarEduzid/HlsWriterParams.h"
#include "RuvarEduzid/MultiStreamHlsWriter.h"
#include "RuvarEduzid/VideoWriterFactory.h"
#include "support/HlsTestSupport.h"
#include "support/SyntheticFrame.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <filesystem>
#include <set>

using Halvora::Common::CodeErrorException;
using Halvora::Common::DateTime;
using Halvora::Common::ManagedSPtr;
using Halvora::Common::ScopedLogCapture;
using Halvora::Common::StringUtility;
using Halvora::RuvarEduzid::GetTsFilePathCb;
using Halvora::RuvarEduzid::H264StreamConfig;
using Halvora::RuvarEduzid::HlsWriterParams;
using Halvora::RuvarEduzid::IHlsWriter;
using Halvora::RuvarEduzid::MultiStreamHlsWriter;
using Halvora::RuvarEduzid::VideoWriterFactory;
using Halvora::Video::Native::IDecodedFrame;
using namespace RuvarTest;

namespace {

std::wstring W(const std::string& s) { return StringUtility::StringToWstring(s); }

const GetTsFilePathCb kRecorder{&SegmentRecorder::Callback};
const GetTsFilePathCb kNoCallback{nullptr};

std::string MasterLine(int bandwidth, int width, int height) {
    return "#EXT-X-STREAM-INF:PROGRAM-ID=1,BANDWIDTH=" + std::to_string(bandwidth) + ",RESOLUTION=" +
           std::to_string(width) + "x" + std::to_string(height);
}

// FFmpeg's own HLS reader decodes everything the playlist names; returns its error output.
std::string DecodeErrors(const std::string& playlist, int* rc) {
    std::string out;
    *rc = RunCommand("ffmpeg -hide_banner -nostdin -v error -i " + Quote(playlist) + " -map 0 -f null -", &out, true);
    return out;
}

}  // namespace

TEST(VideoWriterFactory, NoStreamNoWriter) {
    ScopedLogCapture capture(4);
    HlsWriterParams params(L"/tmp/none/master.m3u8", 10.0, 25.0, kNoCallback);
    try {
        VideoWriterFactory::CreateHlsWriter(params);
        FAIL() << "no exception";
    } catch (const CodeErrorException& e) {
        EXPECT_EQ(e.Message(), "Stream list is empty!");
    }
    EXPECT_TRUE(capture.Sink().Contains("Throw: Stream list is empty!", 4));
}

TEST(VideoWriterFactory, ARenditionThatCannotBeMadeFailsTheWholeWriter) {
    const std::string dir = TempDir("mhls_bad");
    ScopedLogCapture capture(4);
    HlsWriterParams params(W(dir + "/master.m3u8"), -1.0, 25.0, kNoCallback);
    params.streams.push_back(StreamConfig(320, 240, 2, 1));
    EXPECT_THROW(VideoWriterFactory::CreateHlsWriter(params), CodeErrorException);

    // The rendition folder cannot be made below a regular file.
    WriteFile(dir + "/plain", "x");
    HlsWriterParams below(W(dir + "/plain/master.m3u8"), 10.0, 25.0, kNoCallback);
    below.streams.push_back(StreamConfig(320, 240, 2, 1));
    EXPECT_THROW(VideoWriterFactory::CreateHlsWriter(below), std::filesystem::filesystem_error);
}

// 1280 x 720 and 640 x 360 from one 1280 x 720 source at 5 frames/s in 2 s segments.
TEST(MultiStreamHlsWriter, TwoRenditionsUnderOneMasterPlaylist) {
    const std::string dir = TempDir("mhls_two");
    const std::string master = dir + "/master.m3u8";
    SegmentRecorder::Instance().Clear();
    const int frames = 30;
    HlsWriterParams params(W(master), 6.0, 5.0, kRecorder);
    params.streams.push_back(StreamConfig(1280, 720, 2, 1));
    params.streams.push_back(StreamConfig(640, 360, 2, 1));
    std::string masterText;
    {
        auto writer = VideoWriterFactory::CreateHlsWriter(params);
        auto* multi = dynamic_cast<MultiStreamHlsWriter*>(writer.get());
        ASSERT_NE(multi, nullptr);
        EXPECT_TRUE(std::filesystem::is_directory(dir + "/0"));
        EXPECT_TRUE(std::filesystem::is_directory(dir + "/1"));
        ASSERT_EQ(multi->GetRenditions().size(), 2u);
        EXPECT_EQ(multi->GetRenditions()[1].first.relativePath, L"1/video.m3u8");
        EXPECT_EQ(multi->GetRenditions()[1].first.filePath, W(dir + "/1/video.m3u8"));

        for (int i = 0; i < frames; ++i) {
            writer->WriteFrame(MakeFrame(1280, 720, i, 5.0));
            const auto& r = multi->GetRenditions();
            const int b0 = r[0].second->GetEstimatedBitrate(), b1 = r[1].second->GetEstimatedBitrate();
            if (masterText.empty() && writer->IsMasterFileFlushed()) {
                // Written on the first call after which every rendition has an estimate.
                ASSERT_GE(b0, 1);
                ASSERT_GE(b1, 1);
                masterText = ReadFile(master);
                EXPECT_EQ(Lines(masterText), (std::vector<std::string>{"#EXTM3U", MasterLine(b0, 1280, 720), "0/video.m3u8",
                                                                       MasterLine(b1, 640, 360), "1/video.m3u8"}));
                // Marked, to show below that it is never written again.
                WriteFile(master, masterText + "#X-WRITTEN-ONCE\n");
            } else if (!writer->IsMasterFileFlushed()) {
                EXPECT_TRUE(b0 < 1 || b1 < 1) << i;
                EXPECT_FALSE(Exists(master)) << i;
            }
        }
        EXPECT_TRUE(writer->IsMasterFileFlushed());
    }
    ASSERT_FALSE(masterText.empty());
    EXPECT_EQ(ReadFile(master), masterText + "#X-WRITTEN-ONCE\n");

    int rc = 0;
    EXPECT_EQ(DecodeErrors(master, &rc), "");
    EXPECT_EQ(rc, 0);
    const char* sizes[] = {"1280x720", "640x360"};
    for (int r = 0; r < 2; ++r) {
        const std::string sub = dir + "/" + std::to_string(r);
        EXPECT_EQ(DecodeErrors(sub + "/video.m3u8", &rc), "");
        EXPECT_EQ(CountFrames(sub + "/video.m3u8"), frames) << r;
        EXPECT_EQ(StreamSize(sub + "/out000.ts"), sizes[r]);
        // 2 s segments of 10 frames, each opening with a key frame.
        for (int s = 0; s < 3; ++s) {
            const std::string segment = sub + "/out00" + std::to_string(s) + ".ts";
            EXPECT_EQ(CountFrames(segment), 10) << segment;
            auto keys = KeyFlags(segment);
            ASSERT_FALSE(keys.empty());
            EXPECT_TRUE(keys[0]) << segment;
        }
        EXPECT_FALSE(Exists(sub + "/out003.ts"));
    }
    // Every segment of both renditions reported once, from whichever thread wrote it.
    auto paths = SegmentRecorder::Instance().Paths();
    EXPECT_EQ(std::set<std::string>(paths.begin(), paths.end()).size(), paths.size());
    EXPECT_EQ(std::set<std::string>(paths.begin(), paths.end()),
              (std::set<std::string>{dir + "/0/out000.ts", dir + "/0/out001.ts", dir + "/0/out002.ts",
                                     dir + "/1/out000.ts", dir + "/1/out001.ts", dir + "/1/out002.ts"}));
}

TEST(MultiStreamHlsWriter, ConfiguredSizeIsAnnouncedWhileTheEncoderCapsIt) {
    const std::string dir = TempDir("mhls_4k");
    const std::string master = dir + "/master.m3u8";
    HlsWriterParams params(W(master), 4.0, 2.0, kNoCallback);
    params.streams.push_back(StreamConfig(4096, 2160, 1, 1));
    {
        auto writer = VideoWriterFactory::CreateHlsWriter(params);
        for (int i = 0; i < 8; ++i) writer->WriteFrame(MakeImage(320, 180, i), DateTime(FrameTime(i, 2.0)));
    }
    auto lines = Lines(ReadFile(master));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[1].find(",RESOLUTION=4096x2160"), std::string::npos);
    EXPECT_EQ(StreamSize(dir + "/0/out000.ts"), "3840x2160");
    EXPECT_EQ(CountFrames(dir + "/0/video.m3u8"), 8);
}

TEST(MultiStreamHlsWriter, AShortVideoStillGetsItsMasterAtDestruction) {
    const std::string dir = TempDir("mhls_short");
    const std::string master = dir + "/master.m3u8";
    HlsWriterParams params(W(master), 10.0, 5.0, kNoCallback);
    params.streams.push_back(StreamConfig(320, 240, 10, 1));  // 50 frames a segment
    params.streams.push_back(StreamConfig(160, 120, 10, 1));
    ScopedLogCapture capture(3);
    {
        auto writer = VideoWriterFactory::CreateHlsWriter(params);
        for (int i = 0; i < 8; ++i) writer->WriteFrame(MakeFrame(320, 240, i, 5.0));
        EXPECT_FALSE(writer->IsMasterFileFlushed());
        EXPECT_FALSE(Exists(master));
    }
    auto lines = Lines(ReadFile(master));
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_NE(lines[1].find(",RESOLUTION=320x240"), std::string::npos);
    EXPECT_EQ(lines[4], "1/video.m3u8");
    EXPECT_FALSE(capture.Sink().Contains("Unable to flush the master index!!!"));
    EXPECT_EQ(CountFrames(dir + "/1/video.m3u8"), 8);
}

TEST(MultiStreamHlsWriter, TooFewFramesLeaveNoMasterAndSaySo) {
    const std::string dir = TempDir("mhls_one_frame");
    HlsWriterParams params(W(dir + "/master.m3u8"), 10.0, 5.0, kNoCallback);
    params.streams.push_back(StreamConfig(320, 240, 2, 1));
    ScopedLogCapture capture(4);
    {
        auto writer = VideoWriterFactory::CreateHlsWriter(params);
        writer->WriteFrame(MakeFrame(320, 240, 0, 5.0));
    }
    EXPECT_TRUE(capture.Sink().Contains("Unable to flush the master index!!!", 4));
    EXPECT_FALSE(Exists(dir + "/master.m3u8"));
}

TEST(MultiStreamHlsWriter, ASetupFailureInOneRenditionLeavesWriteFrame) {
    const std::string dir = TempDir("mhls_setup_fail");
    HlsWriterParams params(W(dir + "/master.m3u8"), 10.0, 5.0, kNoCallback);
    params.streams.push_back(StreamConfig(320, 240, 2, 1));
    params.streams.push_back(StreamConfig(320, 240, 0, 1));  // no segment length
    ScopedLogCapture capture(4);
    auto writer = VideoWriterFactory::CreateHlsWriter(params);
    writer->WriteFrame(MakeFrame(320, 240, 0, 5.0));
    EXPECT_THROW(writer->WriteFrame(MakeFrame(320, 240, 1, 5.0)), CodeErrorException);
    EXPECT_FALSE(writer->IsMasterFileFlushed());
    for (int i = 2; i < 15; ++i) writer->WriteFrame(MakeFrame(320, 240, i, 5.0));
    EXPECT_FALSE(writer->IsMasterFileFlushed());  // the broken rendition never has a bit rate
    writer.reset();
    EXPECT_TRUE(capture.Sink().Contains("Unable to flush the master index!!!", 4));
    EXPECT_EQ(CountFrames(dir + "/0/video.m3u8"), 15);
}

// ---- the exported plain functions, as a host reaches them -------------------------------

namespace {
using CreateParamsFn = ManagedSPtr<HlsWriterParams>* (*)(const wchar_t*, double, double, GetTsFilePathCb);
using AddStreamFn = void (*)(ManagedSPtr<HlsWriterParams>*, const H264StreamConfig*);
using CreateWriterFn = ManagedSPtr<IHlsWriter>* (*)(ManagedSPtr<HlsWriterParams>*);
using WriteFrameFn = void (*)(ManagedSPtr<IHlsWriter>*, IDecodedFrame*);
using IsFlushedFn = bool (*)(ManagedSPtr<IHlsWriter>*);

struct Library {
    Library() : handle(dlopen(RUVAR_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL)) {}
    ~Library() {
        if (handle) dlclose(handle);
    }
    template <typename F>
    F Get(const char* name) {
        return reinterpret_cast<F>(dlsym(handle, name));
    }
    void* handle;
};
}  // namespace

TEST(HlsExportedFunctions, AHostWritesAPresentationThroughTheCNames) {
    Library lib;
    ASSERT_NE(lib.handle, nullptr) << dlerror();
    auto createParams = lib.Get<CreateParamsFn>("HlsWriterParams_CreateParams");
    auto addStream = lib.Get<AddStreamFn>("HlsWriterParams_AddStream");
    auto createWriter = lib.Get<CreateWriterFn>("VideoWriterFactory_CreateHlsWriter");
    auto writeFrame = lib.Get<WriteFrameFn>("IHlsExporter_WriteFrame");
    auto isFlushed = lib.Get<IsFlushedFn>("IHlsExporter_IsMasterFileFlushed");
    ASSERT_TRUE(createParams && addStream && createWriter && writeFrame && isFlushed);

    const std::string dir = TempDir("mhls_c");
    const std::string master = dir + "/master.m3u8";
    SegmentRecorder::Instance().Clear();
    auto* params = createParams(W(master).c_str(), 2.4, 5.0, kRecorder);  // 12 frames
    ASSERT_NE(params, nullptr);

    // Without a stream the factory refuses, and the exception reaches the caller.
    try {
        createWriter(params);
        ADD_FAILURE() << "no exception";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "Stream list is empty!");
    }

    const H264StreamConfig a = StreamConfig(320, 240, 1, 1), b = StreamConfig(160, 120, 1, 1);
    addStream(params, &a);
    addStream(params, &b);
    EXPECT_EQ((*params)->streams.size(), 2u);
    auto* writer = createWriter(params);
    ASSERT_NE(writer, nullptr);
    delete params;  // the writer does not need the parameters any more

    SyntheticFrame::Destroyed() = 0;
    bool flushed = false;
    const int frames = 12;
    for (int i = 0; i < frames; ++i) {
        // A bare frame: the library adopts it and frees it.
        writeFrame(writer, new SyntheticFrame(320, 240, i, FrameTime(i, 5.0)));
        flushed = isFlushed(writer);
    }
    EXPECT_TRUE(flushed);
    EXPECT_EQ(SyntheticFrame::Destroyed(), frames - 1);  // the last one is still held
    delete writer;  // the last share: renditions and master finished
    EXPECT_EQ(SyntheticFrame::Destroyed(), frames);

    EXPECT_EQ(Lines(ReadFile(master)).size(), 5u);
    EXPECT_EQ(CountFrames(dir + "/0/video.m3u8"), frames);
    EXPECT_EQ(CountFrames(dir + "/1/video.m3u8"), frames);
    EXPECT_FALSE(SegmentRecorder::Instance().Reports().empty());
}
