// Writers on a disk that fills up: errors are logged, nothing crashes, finished files stay intact.
#include "RuvarEduzid/GenericVideoWriter.h"

#include "Common/DateTime.h"
#include "Common/Exception.h"
#include "Common/Logger.h"
#include "Common/StringUtility.h"
#include "support/FaultSupport.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>

using namespace Halvora::RuvarEduzid;
using Halvora::Common::CodeErrorException;
using Halvora::Common::DateTime;
using Halvora::Common::LogError;
using Halvora::Common::ScopedLogCapture;
using Halvora::Common::StringUtility;
using Halvora::Orvi::Yuv420PImage;

namespace {

// Pictures of random noise: the encoder cannot compress them, so every frame costs real bytes.
Yuv420PImage NoiseImage(int width, int height, std::mt19937& random) {
    Yuv420PImage image(cv::Mat_<unsigned char>(height, width), cv::Mat_<unsigned char>(height / 2, width / 2),
                       cv::Mat_<unsigned char>(height / 2, width / 2));
    for (auto* plane : {&image.yMat, &image.uMat, &image.vMat})
        for (auto& px : *plane) px = static_cast<unsigned char>(random());
    return image;
}

// Writes `frames` noise frames into `path`; returns the error records logged meanwhile.
std::vector<std::string> WriteNoise(const std::string& path, int width, int height, int frames, uint32_t seed) {
    ScopedLogCapture capture(LogError);
    std::mt19937 random(seed);
    {
        GenericVideoWriter writer(StringUtility::StringToWstring(path), width, height, 2500);
        for (int i = 0; i < frames; ++i)
            writer.WriteFrame(NoiseImage(width, height, random), DateTime(DateTime::UnixEpochTicks + i * 400000LL));
    }
    return capture.Sink().Messages(LogError);
}

}  // namespace

// A first file is finished; a second one then runs out of room. The second writer logs its
// failures and finishes without crashing; the first file is still whole and decodes.
TEST(WriterDiskFull, GenericWriterLogsErrorsAndKeepsTheFinishedFile) {
    EXPECT_EXIT(
        {
            RuvarTest::SmallDisk disk("writer_disk_full", 600 * 1024);
            const std::string finished = disk.Path() + "/finished.mp4";
            auto firstErrors = WriteNoise(finished, 160, 120, 6, 1);
            RUVAR_CHILD_CHECK(firstErrors.empty(), "the first file is written without errors");
            const std::string before = RuvarTest::ReadFile(finished);
            RUVAR_CHILD_CHECK(!before.empty(), "the first file exists");
            const auto framesBefore = RuvarTest::FrameMd5(finished);
            RUVAR_CHILD_CHECK(framesBefore.size() == 5, "the first file holds 5 frames (the last one given is held)");

            const std::string filling = disk.Path() + "/filling.mp4";
            auto errors = WriteNoise(filling, 640, 480, 60, 2);
            RuvarTest::ChildNote("writer_disk_full", disk.Describe() + ": " + std::to_string(errors.size()) + " error records, first: " +
                                         (errors.empty() ? "-" : errors.front()) + ", last: " +
                                         (errors.empty() ? "-" : errors.back()));
            RUVAR_CHILD_CHECK(!errors.empty(), "a full disk is reported in the log");

            RUVAR_CHILD_CHECK(RuvarTest::ReadFile(finished) == before, "the finished file is unchanged");
            RUVAR_CHILD_CHECK(RuvarTest::FrameMd5(finished) == framesBefore, "the finished file still decodes");
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    RuvarTest::PrintChildNotes("writer_disk_full");
    RuvarTest::UnmountSmallDisks("writer_disk_full");
}

// A writer whose file cannot even be created on the full disk throws a clear error and leaves
// nothing open.
TEST(WriterDiskFull, WriterOnAFullDiskFailsCleanly) {
    EXPECT_EXIT(
        {
            RuvarTest::SmallDisk disk("writer_disk_full_setup", 64 * 1024);
            // Fill the disk (or reach the file-size limit) first.
            {
                FILE* f = std::fopen((disk.Path() + "/ballast").c_str(), "wb");
                RUVAR_CHILD_CHECK(f != nullptr, "the ballast file opens");
                std::string block(4096, 'x');
                for (int i = 0; i < 64; ++i)
                    if (std::fwrite(block.data(), 1, block.size(), f) != block.size()) break;
                std::fclose(f);
            }
            bool threwOrWrote = false;
            try {
                auto errors = WriteNoise(disk.Path() + "/late.mp4", 320, 240, 10, 3);
                threwOrWrote = true;
                RuvarTest::ChildNote("writer_full_setup", disk.Describe() + ": writer constructed, " + std::to_string(errors.size()) +
                                              " error records, first: " + (errors.empty() ? "-" : errors.front()));
                if (disk.Mounted()) RUVAR_CHILD_CHECK(!errors.empty(), "writing onto a full disk is reported");
            } catch (const CodeErrorException& e) {
                threwOrWrote = true;
                RuvarTest::ChildNote("writer_full_setup", disk.Describe() + ": refused: " + e.what());
            }
            RUVAR_CHILD_CHECK(threwOrWrote, "the writer either refuses or reports");
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    RuvarTest::PrintChildNotes("writer_full_setup");
    RuvarTest::UnmountSmallDisks("writer_disk_full_setup");
}
