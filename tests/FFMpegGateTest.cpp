// The FFmpeg gateway: the log bridge, the input dump layout and the H.264 option texts.
#include "Common/Logger.h"
#include "RuvarEduzid/FFMpegGate.h"
#include "RuvarEduzid/FfmpegPtr.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/log.h>
}

#include <thread>

using namespace Halvora::RuvarEduzid;
using namespace Halvora::RuvarEduzid::FFMpegGate;
using Halvora::Common::ScopedLogCapture;

TEST(FFMpegGate, LevelMapping) {
    EXPECT_EQ(Detail::MapLevel(0), 4);
    EXPECT_EQ(Detail::MapLevel(8), 4);
    EXPECT_EQ(Detail::MapLevel(16), 4);
    EXPECT_EQ(Detail::MapLevel(24), 3);
    EXPECT_EQ(Detail::MapLevel(32), 2);
    EXPECT_EQ(Detail::MapLevel(40), 2);
    EXPECT_EQ(Detail::MapLevel(48), 0);
    EXPECT_EQ(Detail::MapLevel(56), 0);
}

// Each case runs in a child process: initialization is once per process.
TEST(FFMpegGateDeathTest, BridgeForwardsUpToTheThresholdWithMappedLevels) {
    EXPECT_EXIT(
        {
            ScopedLogCapture capture(0);
            EnsureInitialization(Trace);
            av_log(nullptr, AV_LOG_DEBUG, "dbg %d\n", 1);
            av_log(nullptr, AV_LOG_TRACE, "trc\n");
            av_log(nullptr, AV_LOG_VERBOSE, "verbose\n");
            av_log(nullptr, AV_LOG_WARNING, "warn\n");
            av_log(nullptr, AV_LOG_ERROR, "err\n");
            av_log(nullptr, AV_LOG_FATAL, "fatal\n");
            auto r = capture.Sink().Records();
            bool ok = r.size() == 6 && r[0].message == "dbg 1" && r[0].level == 0 && r[1].level == 0 &&
                      r[2].message == "verbose" && r[2].level == 2 && r[3].level == 3 && r[4].level == 4 &&
                      r[5].level == 4 && r[0].file.empty() && r[0].function.empty() && r[0].logger == "root" &&
                      av_log_get_level() == 56;
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(FFMpegGateDeathTest, ThresholdDropsMessagesWhateverTheRootLevel) {
    EXPECT_EXIT(
        {
            ScopedLogCapture capture(0);
            EnsureInitialization(Error);
            av_log(nullptr, AV_LOG_WARNING, "warn\n");
            av_log(nullptr, AV_LOG_ERROR, "err\n");
            auto m = capture.Sink().Messages();
            std::exit(m == std::vector<std::string>{"err"} ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(FFMpegGateDeathTest, SecondInitializationChangesNothing) {
    EXPECT_EXIT(
        {
            EnsureInitialization(Fatal);
            EnsureInitialization(Trace);
            std::exit(av_log_get_level() == 8 && Detail::Threshold() == 8 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(FFMpegGateDeathTest, ConcurrentInitializationSetsOneLevel) {
    EXPECT_EXIT(
        {
            std::vector<std::thread> threads;
            for (int i = 0; i < 8; ++i)
                threads.emplace_back([i] { EnsureInitialization(i % 2 ? Warning : Info); });
            for (auto& t : threads) t.join();
            int level = av_log_get_level();
            std::exit((level == 24 || level == 32) && Detail::Threshold() == level ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(FFMpegGateDeathTest, RootLevelFiltersForwardedMessages) {
    EXPECT_EXIT(
        {
            ScopedLogCapture capture(3);
            EnsureInitialization(Trace);
            av_log(nullptr, AV_LOG_INFO, "info\n");
            av_log(nullptr, AV_LOG_DEBUG, "debug\n");
            av_log(nullptr, AV_LOG_WARNING, "warning\n");
            std::exit(capture.Sink().Messages() == std::vector<std::string>{"warning"} ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(FFMpegGate, DumpPieces) {
    EXPECT_EQ(Detail::FormatDuration(3723456789LL), "01:02:03.46");
    EXPECT_EQ(Detail::FormatDuration(AV_NOPTS_VALUE), "N/A");
    EXPECT_EQ(Detail::FormatDuration(INT64_MAX - 100), Detail::FormatDuration(INT64_MAX - 100));  // no overflow
    EXPECT_EQ(Detail::FormatStart(-1500000), "-1.500000");
    EXPECT_EQ(Detail::FormatStart(0), "0.000000");
    EXPECT_EQ(Detail::FormatStart(1234567), "1.234567");
    EXPECT_EQ(Detail::FormatBitrate(1234567), "1234  kb/s");
    EXPECT_EQ(Detail::FormatBitrate(0), "N/A");
    EXPECT_EQ(Detail::FormatRate(25, "fps, "), "25 fps, ");
    EXPECT_EQ(Detail::FormatRate(29.97, "fps"), "29.97 fps");
    EXPECT_EQ(Detail::FormatRate(90000, "tbn"), "90k tbn");
    EXPECT_EQ(Detail::FormatRate(0.00001, "tbc"), "0.0000 tbc");
}

TEST(FFMpegGate, MetadataRule) {
    AVDictionary* m = nullptr;
    av_dict_set(&m, "language", "eng", 0);
    EXPECT_EQ(Detail::FormatMetadata(m, "  "), "");
    EXPECT_EQ(Detail::FormatMetadata(nullptr, "  "), "");
    av_dict_set(&m, "title", "a\r\nb", 0);
    EXPECT_EQ(Detail::FormatMetadata(m, "    "), "    Metadata:\n      title           : a \n      " +
                                                      std::string(16, ' ') + ": b\n");
    av_dict_free(&m);
}

TEST(FFMpegGate, DumpOfARealInput) {
    std::string path = RuvarTest::MakeFixture(
        "gate_dump.mp4",
        "-f lavfi -i testsrc=size=64x48:rate=25:duration=2 -metadata title=Gate -c:v libx264 -pix_fmt yuv420p");
    AVFormatContext* raw = nullptr;
    ASSERT_EQ(avformat_open_input(&raw, path.c_str(), nullptr, nullptr), 0);
    AVInputFormatContextPtr input(raw);
    ASSERT_GE(avformat_find_stream_info(input.get(), nullptr), 0);
    AVCodecContextPtr decoder(avcodec_alloc_context3(nullptr));
    ASSERT_GE(avcodec_parameters_to_context(decoder.get(), input->streams[0]->codecpar), 0);
    decoder->time_base = {1, 50};

    std::string dump = Detail::BuildInputDump(input.get(), decoder.get());
    EXPECT_EQ(dump.rfind("Input: mov,mp4,m4a,3gp,3g2,mj2  Metadata:\n", 0), 0u) << dump;
    EXPECT_NE(dump.find("    title           : Gate\n"), std::string::npos) << dump;
    EXPECT_NE(dump.find("  Duration: 00:00:02.00, start: 0.000000, bitrate: "), std::string::npos) << dump;
    // MP4 shows stream ids; the frame count of the header follows.
    EXPECT_NE(dump.find("  kb/s\n    Stream #0:0[0x1](und), 50, 1/12800: Video: h264"), std::string::npos) << dump;
    EXPECT_NE(dump.find("64x48"), std::string::npos) << dump;
    EXPECT_NE(dump.find(", 25 fps, 25 tbr, 12800 tbn, 50 tbc\n    Metadata:\n      handler_name    : VideoHandler\n"), std::string::npos) << dump;

    // The dump goes to the log only at debug level or lower, as one record.
    {
        ScopedLogCapture capture(2);
        DumpInputVideo(input.get(), decoder.get());
        EXPECT_TRUE(capture.Sink().Records().empty());
    }
    ScopedLogCapture capture(1);
    DumpInputVideo(input.get(), decoder.get());
    auto records = capture.Sink().Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].message, dump);
    EXPECT_EQ(records[0].level, 1);
    EXPECT_EQ(records[0].file, "RuvarEduzid/FFMpegGate");
    EXPECT_EQ(records[0].line, 244);
    EXPECT_EQ(records[0].function, "Halvora::RuvarEduzid::FFMpegGate::DumpInputVideo");
}

TEST(FFMpegGate, ProfileAndLevelTexts) {
    EXPECT_STREQ(ToFFmpegString(H264ProfileBaseline), "baseline");
    EXPECT_STREQ(ToFFmpegString(H264ProfileHigh444), "high444");
    EXPECT_STREQ(ToFFmpegString(static_cast<H264Profile>(0)), "");
    EXPECT_STREQ(ToFFmpegString(static_cast<H264Profile>(7)), "");
    const int levels[] = {10, 11, 12, 13, 20, 21, 22, 30, 31, 32, 40, 41, 42, 50, 51, 52};
    for (int l : levels) {
        std::string expected = std::to_string(l / 10) + "." + std::to_string(l % 10);
        EXPECT_EQ(ToFFmpegString(static_cast<H264Level>(l)), expected);
    }
    EXPECT_STREQ(ToFFmpegString(static_cast<H264Level>(-1)), "");
    EXPECT_STREQ(ToFFmpegString(static_cast<H264Level>(14)), "");
    EXPECT_STREQ(ToFFmpegString(static_cast<H264Level>(60)), "");
}
