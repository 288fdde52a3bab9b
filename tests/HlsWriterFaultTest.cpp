// HLS writers on a disk that fills up: errors are logged, nothing crashes or hangs, every segment
// reported as finished keeps the bytes it had when reported and decodes, and no playlist left on
// disk names a segment that is missing or cut short. Each case runs in a child process with a
// small tmpfs of its own (RuvarTest::SmallDisk).
#include "Common/Exception.h"
#include "Common/Logger.h"
#include "Common/StringUtility.h"
#include "RuvarEduzid/HlsWriter.h"
#include "RuvarEduzid/HlsWriterParams.h"
#include "RuvarEduzid/MultiStreamHlsWriter.h"
#include "RuvarEduzid/VideoWriterFactory.h"
#include "support/FaultSupport.h"
#include "support/HlsTestSupport.h"
#include "support/SyntheticFrame.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>

using Halvora::Common::CodeErrorException;
using Halvora::Common::LogError;
using Halvora::Common::ScopedLogCapture;
using Halvora::Common::StringUtility;
using Halvora::RuvarEduzid::GetTsFilePathCb;
using Halvora::RuvarEduzid::H264StreamConfig;
using Halvora::RuvarEduzid::HlsWriter;
using Halvora::RuvarEduzid::HlsWriterParams;
using Halvora::RuvarEduzid::IHlsWriter;
using Halvora::RuvarEduzid::MultiStreamHlsWriter;
using Halvora::RuvarEduzid::VideoWriterFactory;
using namespace RuvarTest;

#define CHECK RUVAR_CHILD_CHECK

namespace {

// 1 s segments of 10 frames each. Noisy pictures cannot be squeezed: a segment of 320 x 240
// takes some 400 KB, one of 160 x 120 some 70 KB.
constexpr double kFps = 10.0;
constexpr int kSegmentFrames = 10;
constexpr int kWidth = 320;
constexpr int kHeight = 240;
// A child that has not finished by then is taken for hung.
constexpr unsigned kChildSeconds = 240;

const GetTsFilePathCb kRecorder{&SegmentRecorder::Callback};
const GetTsFilePathCb kNoCallback{nullptr};

std::wstring W(const std::string& s) { return StringUtility::StringToWstring(s); }

std::string FileName(const std::string& path) { return std::filesystem::path(path).filename().string(); }

std::string Md5Of(const std::string& path) {
    const std::string bytes = ReadFile(path);
    return Md5Hex(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

HlsWriterParams TwoRenditions(const std::string& dir, double duration, bool live, GetTsFilePathCb callback) {
    HlsWriterParams params(W(dir + "/master.m3u8"), duration, kFps, callback);
    params.streams.push_back(StreamConfig(kWidth, kHeight, 1, 1, live));
    params.streams.push_back(StreamConfig(kWidth / 2, kHeight / 2, 1, 1, live));
    return params;
}

// The same presentation written to a directory with room: what every finished segment must match.
void WriteReference(const std::string& dir, int frames, bool live) {
    auto writer = VideoWriterFactory::CreateHlsWriter(TwoRenditions(dir, frames / kFps, live, kNoCallback));
    for (int i = 0; i < frames; ++i) writer->WriteFrame(MakeFrame(kWidth, kHeight, i, kFps, true));
}

// Segment names that a playlist lists (its lines that are not tags).
std::vector<std::string> ListedSegments(const std::string& playlist) {
    std::vector<std::string> names;
    for (const auto& line : Lines(ReadFile(playlist)))
        if (!line.empty() && line[0] != '#') names.push_back(line);
    return names;
}

// Every file below `dir` with its size, for the notes.
std::string Listing(const std::string& dir) {
    std::map<std::string, long long> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir))
        if (entry.is_regular_file())
            files[std::filesystem::relative(entry.path(), dir).string()] = FileSize(entry.path().string());
    std::string text;
    for (const auto& [name, size] : files) text += " " + name + "=" + std::to_string(size);
    return text;
}

bool IsPrefix(const std::vector<std::string>& prefix, const std::vector<std::string>& all) {
    return prefix.size() <= all.size() && std::equal(prefix.begin(), prefix.end(), all.begin());
}

std::string Join(const std::vector<std::string>& items) {
    std::string text;
    for (const auto& item : items) text += (text.empty() ? "" : " ") + item;
    return text;
}

// FFmpeg's own HLS reader plays `playlist` through; returns its error output.
std::string DecodeErrors(const std::string& playlist, int* rc) {
    std::string out;
    *rc = RunCommand("ffmpeg -hide_banner -nostdin -v error -i " + Quote(playlist) + " -map 0 -f null -", &out, true);
    return out;
}

// Every playlist in `dir` is whole and names only segments reported through the callback; no
// temporary list is left behind.
void CheckPlaylistsNameOnlyReported(const std::string& dir, const std::vector<SegmentReport>& reports) {
    std::set<std::string> reported;
    for (const auto& r : reports)
        if (std::filesystem::path(r.path).parent_path() == std::filesystem::path(dir)) reported.insert(FileName(r.path));
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string path = entry.path().string();
        CHECK(!EndsWith(path, ".tmp"), ("no temporary list is left: " + path).c_str());
        if (!EndsWith(path, ".m3u8")) continue;
        const std::string text = ReadFile(path);
        CHECK(text.rfind("#EXTM3U\n", 0) == 0, ("a playlist on disk is not cut short: " + path).c_str());
        for (const auto& name : ListedSegments(path))
            CHECK(reported.count(name), ("a playlist names only finished segments: " + path + " names " + name).c_str());
    }
}

struct RenditionOutcome {
    std::vector<std::string> reported;  // segment file names, in the order reported
    std::vector<std::string> listed;    // what the media playlist on disk names
    size_t referenceSegments = 0;
};

// The checks of one rendition directory after the disk filled:
// - every segment reported through the callback still holds the bytes it held when reported, is
//   whole TS packets and decodes to the same pictures as the same segment written with room;
// - no segment that came out whole (byte for byte the reference's) went unreported;
// - every playlist in the directory names only reported segments, and FFmpeg's HLS reader plays a
//   finished media playlist through without an error;
// - no temporary list is left behind.
RenditionOutcome CheckRendition(const std::string& dir, const std::string& referenceDir,
                                const std::vector<SegmentReport>& reports) {
    RenditionOutcome outcome;
    std::set<std::string> reported;
    for (const auto& r : reports) {
        if (std::filesystem::path(r.path).parent_path() != std::filesystem::path(dir)) continue;
        const std::string name = FileName(r.path);
        CHECK(reported.insert(name).second, ("reported once: " + r.path).c_str());
        outcome.reported.push_back(name);
        CHECK(Md5Of(r.path) == r.md5, ("a reported segment keeps its bytes: " + r.path).c_str());
        CHECK(r.size > 0 && r.size % 188 == 0, ("a reported segment is whole TS packets: " + r.path).c_str());
        const auto frames = FrameMd5(r.path);
        CHECK(frames.size() == static_cast<size_t>(kSegmentFrames), ("a reported segment holds its frames: " + r.path).c_str());
        CHECK(frames == FrameMd5(referenceDir + "/" + name),
              ("a reported segment shows what it shows when written with room: " + r.path).c_str());
    }
    for (int k = 0;; ++k) {
        char name[32];
        std::snprintf(name, sizeof name, "out%03d.ts", k);
        const std::string reference = referenceDir + "/" + name;
        if (!Exists(reference)) break;
        ++outcome.referenceSegments;
        const std::string path = dir + "/" + name;
        if (Exists(path) && Md5Of(path) == Md5Of(reference))
            CHECK(reported.count(name), ("a whole segment is reported: " + path).c_str());
    }
    CheckPlaylistsNameOnlyReported(dir, reports);
    const std::string playlist = dir + "/video.m3u8";
    if (Exists(playlist)) {
        outcome.listed = ListedSegments(playlist);
        if (!outcome.listed.empty() && ReadFile(playlist).find("#EXT-X-ENDLIST") != std::string::npos) {
            int rc = 0;
            const std::string errors = DecodeErrors(playlist, &rc);
            CHECK(rc == 0 && errors.empty(), ("the playlist plays through: " + errors).c_str());
            CHECK(CountFrames(playlist) == static_cast<int>(outcome.listed.size()) * kSegmentFrames,
                  "the playlist plays every frame of the segments it names");
        }
    }
    return outcome;
}

// The master playlist, when there is one, is whole and names rendition playlists that exist.
void CheckMaster(const std::string& dir) {
    const std::string master = dir + "/master.m3u8";
    CHECK(!Exists(master + ".tmp"), "no temporary master playlist is left");
    if (!Exists(master)) return;
    const auto lines = Lines(ReadFile(master));
    CHECK(lines.size() == 5 && lines[0] == "#EXTM3U", "the master playlist is whole");
    CHECK(lines[2] == "0/video.m3u8" && lines[4] == "1/video.m3u8", "the master playlist names both renditions");
    CHECK(Exists(dir + "/0/video.m3u8") && Exists(dir + "/1/video.m3u8"), "the renditions it names exist");
}

std::string FirstErrors(const std::vector<std::string>& errors, size_t count) {
    std::set<std::string> seen;
    std::string text;
    for (const auto& e : errors) {
        // One of each kind: the text up to the first path.
        const std::string kind = e.substr(0, e.find('/'));
        if (seen.insert(kind).second && seen.size() <= count) text += "\n    " + e;
    }
    return text;
}

// Two renditions fill a small disk while writing 6 s of video. Then every rendition's reported
// segments, playlists and the master playlist are checked.
void MultiStreamFillsTheDisk(const std::string& test, bool live) {
    alarm(kChildSeconds);
    SmallDisk disk(test, 1500 * 1024);  // first, before the writers start threads
    const int frames = 60;
    const std::string reference = TempDir(test + "_reference");
    WriteReference(reference, frames, live);

    SegmentRecorder::Instance().Clear();
    ScopedLogCapture capture(3);
    bool masterFlushed = false;
    {
        auto writer = VideoWriterFactory::CreateHlsWriter(TwoRenditions(disk.Path(), frames / kFps, live, kRecorder));
        for (int i = 0; i < frames; ++i) writer->WriteFrame(MakeFrame(kWidth, kHeight, i, kFps, true));
        masterFlushed = writer->IsMasterFileFlushed();
    }
    const auto reports = SegmentRecorder::Instance().Reports();
    const auto errors = capture.Sink().Messages(LogError);
    const auto r0 = CheckRendition(disk.Path() + "/0", reference + "/0", reports);
    const auto r1 = CheckRendition(disk.Path() + "/1", reference + "/1", reports);
    CheckMaster(disk.Path());
    CHECK(masterFlushed == Exists(disk.Path() + "/master.m3u8"), "the master is flushed exactly when it is on disk");

    ChildNote(test, disk.Describe() + (live ? ", live" : ", advance") + ": " + std::to_string(errors.size()) +
                        " error records" + FirstErrors(errors, 8));
    ChildNote(test, "  rendition 0 reported [" + Join(r0.reported) + "] of " + std::to_string(r0.referenceSegments) +
                        ", playlist names [" + Join(r0.listed) + "]");
    ChildNote(test, "  rendition 1 reported [" + Join(r1.reported) + "] of " + std::to_string(r1.referenceSegments) +
                        ", playlist names [" + Join(r1.listed) + "]");
    ChildNote(test, "  files:" + Listing(disk.Path()));
    if (disk.Mounted()) {
        // The disk filled mid-run: some segments were finished before, some were lost.
        CHECK(!r0.reported.empty() && !r1.reported.empty(), "segments are finished before the disk fills");
        CHECK(r0.reported.size() < r0.referenceSegments, "the disk fills before the end");
        CHECK(!errors.empty(), "the full disk is reported at error level");
        CHECK(capture.Sink().Contains("No space left on device", LogError), "the errors say why");
        // An advance playlist ends before the first lost segment. A live one is the last list that
        // the segmenter could write whole, so it may stop earlier.
        for (const auto* r : {&r0, &r1})
            CHECK(live ? IsPrefix(r->listed, r->reported) : r->listed == r->reported,
                  "the playlist names the segments finished before the first loss");
    }
    std::_Exit(0);
}

}  // namespace

TEST(HlsDiskFull, MultiStreamAdvancePlaylistsKeepOnlyFinishedSegments) {
    EXPECT_EXIT(MultiStreamFillsTheDisk("hls_full_advance", false), ::testing::ExitedWithCode(0), "");
    PrintChildNotes("hls_full_advance");
    UnmountSmallDisks("hls_full_advance");
}

TEST(HlsDiskFull, MultiStreamLivePlaylistsKeepTheirLastGoodVersion) {
    EXPECT_EXIT(MultiStreamFillsTheDisk("hls_full_live", true), ::testing::ExitedWithCode(0), "");
    PrintChildNotes("hls_full_live");
    UnmountSmallDisks("hls_full_live");
}

// One rendition loses a few segments while the disk is full and goes on once room is made again.
// The segments after the gap are reported as they are finished; the lost ones never are; the
// playlist ends before the first lost segment.
TEST(HlsDiskFull, SingleWriterSkipsLostSegmentsAndReportsThoseAfterTheDiskHasRoomAgain) {
    const std::string test = "hls_full_recover";
    EXPECT_EXIT(
        {
            alarm(kChildSeconds);
            SmallDisk disk(test, 2560 * 1024);  // first, before the writers start threads
            const int frames = 80;
            const std::string reference = TempDir(test + "_reference");
            {
                HlsWriter writer(W(reference + "/video.m3u8"), frames / kFps, StreamConfig(kWidth, kHeight, 1, 1), kFps,
                                 kNoCallback);
                for (int i = 0; i < frames; ++i) writer.WriteFrame(MakeFrame(kWidth, kHeight, i, kFps, true));
            }
            SegmentRecorder::Instance().Clear();
            ScopedLogCapture capture(3);
            std::vector<std::string> reportedWhileWriting;
            uint64_t ballast = 0;
            {
                HlsWriter writer(W(disk.Path() + "/video.m3u8"), frames / kFps, StreamConfig(kWidth, kHeight, 1, 1), kFps,
                                 kRecorder);
                for (int i = 0; i < frames; ++i) {
                    if (i == 25) ballast = FillDisk(disk.Path() + "/ballast");
                    if (i == 45) std::filesystem::remove(disk.Path() + "/ballast");
                    writer.WriteFrame(MakeFrame(kWidth, kHeight, i, kFps, true));
                }
                for (const auto& r : SegmentRecorder::Instance().Reports()) reportedWhileWriting.push_back(FileName(r.path));
            }
            const auto errors = capture.Sink().Messages(LogError);
            const auto outcome = CheckRendition(disk.Path(), reference, SegmentRecorder::Instance().Reports());
            ChildNote(test, disk.Describe() + ", ballast " + std::to_string(ballast) + " bytes at frame 25, removed at 45: " +
                                std::to_string(errors.size()) + " error records" + FirstErrors(errors, 8));
            ChildNote(test, "  reported while writing [" + Join(reportedWhileWriting) + "], in all [" +
                                Join(outcome.reported) + "] of " + std::to_string(outcome.referenceSegments) +
                                ", playlist names [" + Join(outcome.listed) + "]");
            ChildNote(test, "  files:" + Listing(disk.Path()));
            if (disk.Mounted()) {
                // The playlist names the segments before the first lost one; more are reported after the gap.
                const size_t kept = outcome.listed.size();
                CHECK(kept >= 1 && IsPrefix(outcome.listed, outcome.reported), "the playlist ends at the first lost segment");
                CHECK(outcome.reported.size() > kept, "segments after the gap are reported");
                CHECK(outcome.reported.size() < outcome.referenceSegments, "segments are lost while the disk is full");
                // The first segment after the gap is reported while writing, once its successor has bytes.
                CHECK(reportedWhileWriting.size() > kept, "reports go on while writing after the gap");
                CHECK(capture.Sink().Contains("No space left on device", LogError), "the errors say why");
            }
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    PrintChildNotes(test);
    UnmountSmallDisks(test);
}

// A presentation started on a disk that is already full: the set-up of the renditions fails on
// the playlist that cannot be written, WriteFrame throws that error once, later frames are
// dropped with the usual error, and nothing is left that names a segment.
TEST(HlsDiskFull, MultiStreamWriterOnAFullDiskFailsAtSetUpAndLeavesNoPlaylist) {
    const std::string test = "hls_full_start";
    EXPECT_EXIT(
        {
            alarm(kChildSeconds);
            SmallDisk disk(test, 256 * 1024);
            const uint64_t ballast = FillDisk(disk.Path() + "/ballast");
            SegmentRecorder::Instance().Clear();
            ScopedLogCapture capture(3);
            std::vector<std::string> thrown;
            bool masterFlushed = true;
            {
                auto writer = VideoWriterFactory::CreateHlsWriter(TwoRenditions(disk.Path(), 3.0, false, kRecorder));
                for (int i = 0; i < 30; ++i) {
                    try {
                        writer->WriteFrame(MakeFrame(kWidth, kHeight, i, kFps, true));
                    } catch (const CodeErrorException& e) {
                        thrown.push_back(std::to_string(i) + ": " + e.Message());
                    }
                }
                masterFlushed = writer->IsMasterFileFlushed();
            }
            const auto errors = capture.Sink().Messages(LogError);
            ChildNote(test, disk.Describe() + ", ballast " + std::to_string(ballast) + " bytes; thrown [" + Join(thrown) +
                                "]; " + std::to_string(errors.size()) + " error records" + FirstErrors(errors, 8));
            ChildNote(test, "  files:" + Listing(disk.Path()));
            for (const char* rendition : {"/0", "/1"})
                CheckPlaylistsNameOnlyReported(disk.Path() + rendition, SegmentRecorder::Instance().Reports());
            CheckMaster(disk.Path());
            if (disk.Mounted()) {
                CHECK(SegmentRecorder::Instance().Reports().empty(), "nothing is reported");
                CHECK(!masterFlushed, "the master playlist is not taken as written");
                // A failing rendition ends the parallel loop: the other one may fail at its own set-up
                // on the next frame, whichever ran first.
                bool setUpFailures = !thrown.empty() && thrown.size() <= 2 && thrown[0].rfind("1: ", 0) == 0;
                for (const std::string& t : thrown)
                    setUpFailures = setUpFailures && t.find(": Failed to write file " + disk.Path() + "/") != std::string::npos &&
                                    EndsWith(t, "/video.m3u8: No space left on device");
                CHECK(setUpFailures, "the set-up on the second frame fails on the playlist");
                CHECK(capture.Sink().Contains("Decoder terminated/not initialized, skip frame encoding!!!", LogError),
                      "later frames are dropped");
                CHECK(capture.Sink().Contains("Unable to flush the master index!!!", LogError), "no master playlist");
                // The placeholders made for the playlists are gone with them.
                for (const auto& entry : std::filesystem::recursive_directory_iterator(disk.Path()))
                    CHECK(entry.is_directory() || entry.path().filename() == "ballast",
                          ("nothing is left but the folders: " + entry.path().string()).c_str());
            }
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    PrintChildNotes(test);
    UnmountSmallDisks(test);
}

// A live rendition has no playlist to write at set-up; on a full disk it starts, loses every
// segment, reports none and leaves no playlist at all (none that names a lost segment).
TEST(HlsDiskFull, LiveWriterOnAFullDiskReportsNothingAndLeavesNoPlaylist) {
    const std::string test = "hls_full_start_live";
    EXPECT_EXIT(
        {
            alarm(kChildSeconds);
            SmallDisk disk(test, 256 * 1024);
            const uint64_t ballast = FillDisk(disk.Path() + "/ballast");
            SegmentRecorder::Instance().Clear();
            ScopedLogCapture capture(3);
            {
                HlsWriter writer(W(disk.Path() + "/video.m3u8"), 3.0, StreamConfig(kWidth, kHeight, 1, 1, true), kFps,
                                 kRecorder);
                for (int i = 0; i < 30; ++i) writer.WriteFrame(MakeFrame(kWidth, kHeight, i, kFps, true));
            }
            const auto errors = capture.Sink().Messages(LogError);
            ChildNote(test, disk.Describe() + ", ballast " + std::to_string(ballast) + " bytes; " +
                                std::to_string(errors.size()) + " error records" + FirstErrors(errors, 8));
            ChildNote(test, "  files:" + Listing(disk.Path()));
            CheckPlaylistsNameOnlyReported(disk.Path(), SegmentRecorder::Instance().Reports());
            if (disk.Mounted()) {
                CHECK(SegmentRecorder::Instance().Reports().empty(), "nothing is reported");
                CHECK(!Exists(disk.Path() + "/video.m3u8"), "no playlist is left");
                CHECK(capture.Sink().Contains("No space left on device", LogError), "the full disk is reported");
            }
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    PrintChildNotes(test);
    UnmountSmallDisks(test);
}

// The master playlist is due while the disk is full: it is not taken as written (no empty or
// half file appears), it is tried again with every frame, and written once there is room.
TEST(HlsDiskFull, MasterPlaylistThatCannotBeWrittenIsNotTakenAsWritten) {
    const std::string test = "hls_full_master";
    EXPECT_EXIT(
        {
            alarm(kChildSeconds);
            SmallDisk disk(test, 2048 * 1024);
            const std::string master = disk.Path() + "/master.m3u8";
            SegmentRecorder::Instance().Clear();
            ScopedLogCapture capture(3);
            auto writer = VideoWriterFactory::CreateHlsWriter(TwoRenditions(disk.Path(), 6.0, false, kNoCallback));
            auto* multi = dynamic_cast<MultiStreamHlsWriter*>(writer.get());
            CHECK(multi != nullptr, "the factory makes a MultiStreamHlsWriter");
            writer->WriteFrame(MakeFrame(kWidth, kHeight, 0, kFps, true));
            writer->WriteFrame(MakeFrame(kWidth, kHeight, 1, kFps, true));  // set-up: playlists written
            const uint64_t ballast = FillDisk(disk.Path() + "/ballast");
            int i = 2;
            auto due = [&] {
                for (const auto& r : multi->GetRenditions())
                    if (r.second->GetEstimatedBitrate() < 1) return false;
                return true;
            };
            for (; i < 40 && !due(); ++i) writer->WriteFrame(MakeFrame(kWidth, kHeight, i, kFps, true));
            CHECK(due(), "every rendition has a bit rate");
            const int dueAt = i;
            for (const int end = i + 5; i < end; ++i) writer->WriteFrame(MakeFrame(kWidth, kHeight, i, kFps, true));
            const bool flushedWhileFull = writer->IsMasterFileFlushed();
            const bool onDiskWhileFull = Exists(master) || Exists(master + ".tmp");
            const auto failures = capture.Sink().Messages(LogError);
            const auto reported = std::count_if(failures.begin(), failures.end(), [](const std::string& m) {
                return m.rfind("Cannot write the master playlist ", 0) == 0;
            });
            std::filesystem::remove(disk.Path() + "/ballast");
            writer->WriteFrame(MakeFrame(kWidth, kHeight, i++, kFps, true));
            const bool flushedWithRoom = writer->IsMasterFileFlushed();
            const std::string text = ReadFile(master);
            ChildNote(test, disk.Describe() + ", ballast " + std::to_string(ballast) + " bytes after frame 2: due after frame " +
                                std::to_string(dueAt) + "; while full: flushed " + std::to_string(flushedWhileFull) +
                                ", files " + std::to_string(onDiskWhileFull) + ", " + std::to_string(reported) +
                                " error record(s) about it; with room: flushed " + std::to_string(flushedWithRoom) +
                                ", master of " + std::to_string(Lines(text).size()) + " lines");
            if (disk.Mounted()) {
                CHECK(!flushedWhileFull, "a master playlist that could not be written is not taken as written");
                CHECK(!onDiskWhileFull, "no empty or half master playlist appears");
                CHECK(reported == 1, "the failure is logged once, not with every frame");
            }
            CHECK(flushedWithRoom, "written once there is room again");
            CheckMaster(disk.Path());
            CHECK(Exists(master), "the master playlist is on disk");
            writer.reset();
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    PrintChildNotes(test);
    UnmountSmallDisks(test);
}
