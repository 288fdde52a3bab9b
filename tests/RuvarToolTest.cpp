// The ruvar tool run as a user runs it: a subprocess, its exit code and its output.
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <sstream>

using RuvarTest::Quote;
using RuvarTest::RunCommand;

namespace {

const std::string kRuvar = std::string(RUVAR_BINARY_DIR) + "/bin/ruvar";

struct Result {
    int code;
    std::string out;
};

// Runs ruvar with `args`; stdout only unless `withStderr`.
Result Ruvar(const std::string& args, bool withStderr = false) {
    Result r;
    r.code = RunCommand("ASAN_OPTIONS=detect_leaks=1 " + Quote(kRuvar) + " " + args + (withStderr ? "" : " 2>/dev/null"), &r.out,
                        withStderr);
    return r;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty()) lines.push_back(line);
    return lines;
}

Json::Value ParseJson(const std::string& line) {
    Json::Value v;
    Json::CharReaderBuilder b;
    std::string errors;
    std::istringstream in(line);
    EXPECT_TRUE(Json::parseFromStream(b, in, &v, &errors)) << line << errors;
    return v;
}

std::string Clip() {
    return RuvarTest::MakeFixture("tool_clip.mp4",
                                  "-f lavfi -i testsrc2=size=176x144:rate=25:duration=2 -c:v libx264 -g 10 -bf 2 -pix_fmt yuv420p");
}

std::string Probe(const std::string& file, const std::string& entries) {
    std::string out;
    RunCommand("ffprobe -v error -select_streams v:0 -count_frames -show_entries " + entries + " -of csv=p=0 " + Quote(file), &out);
    while (!out.empty() && (out.back() == '\n' || out.back() == ',')) out.pop_back();
    return out;
}

}  // namespace

TEST(RuvarTool, HelpAndUsageErrors) {
    auto help = Ruvar("--help");
    EXPECT_EQ(help.code, 0);
    EXPECT_NE(help.out.find("Commands:"), std::string::npos);
    EXPECT_NE(help.out.find("demo"), std::string::npos);
    auto decodeHelp = Ruvar("decode --help");
    EXPECT_EQ(decodeHelp.code, 0);
    EXPECT_NE(decodeHelp.out.find("--live-chunks BYTES"), std::string::npos);

    auto none = Ruvar("", true);
    EXPECT_EQ(none.code, 2);
    auto unknown = Ruvar("transmogrify x", true);
    EXPECT_EQ(unknown.code, 2);
    EXPECT_NE(unknown.out.find("unknown command 'transmogrify'"), std::string::npos) << unknown.out;
    auto badOption = Ruvar("decode " + Quote(Clip()) + " --bogus", true);
    EXPECT_EQ(badOption.code, 2);
    EXPECT_NE(badOption.out.find("unknown option --bogus"), std::string::npos) << badOption.out;
    auto badNumber = Ruvar("decode " + Quote(Clip()) + " --frames many", true);
    EXPECT_EQ(badNumber.code, 2);
    EXPECT_NE(badNumber.out.find("--frames: 'many' is not an integer"), std::string::npos) << badNumber.out;
    auto badDecoder = Ruvar("decode " + Quote(Clip()) + " --decoder quantum", true);
    EXPECT_EQ(badDecoder.code, 2);
}

TEST(RuvarTool, MissingFileAndUnreachableAddressFailWithOneClearLine) {
    auto missing = Ruvar("decode /nonexistent/clip.mp4", true);
    EXPECT_EQ(missing.code, 1);
    EXPECT_EQ(missing.out, "ruvar: error: cannot open '/nonexistent/clip.mp4': No such file or directory\n");
    auto probeMissing = Ruvar("probe /nonexistent/clip.mp4", true);
    EXPECT_EQ(probeMissing.code, 1);
    // Nothing listens on port 9 of the loopback address: the connection is refused at once.
    auto unreachable = Ruvar("decode http://127.0.0.1:9/none.mp4 --quiet", true);
    EXPECT_EQ(unreachable.code, 1);
    EXPECT_EQ(Lines(unreachable.out).size(), 1u) << unreachable.out;
    EXPECT_EQ(unreachable.out.rfind("ruvar: error: ", 0), 0u) << unreachable.out;
    auto garbage = RuvarTest::TempDir("tool_garbage") + "/garbage.mp4";
    RuvarTest::WriteFile(garbage, std::string(4096, 'x'));
    auto bad = Ruvar("decode " + Quote(garbage), true);
    EXPECT_EQ(bad.code, 1);
    EXPECT_NE(bad.out.find("ruvar: error: "), std::string::npos) << bad.out;
}

TEST(RuvarTool, ProbeShowsContainerCodecSizeRateAndDuration) {
    auto r = Ruvar("probe " + Quote(Clip()));
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_NE(r.out.find("container:  mov,mp4,m4a,3gp,3g2,mj2"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("codec:      h264"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("size:       176x144"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("frame rate: 25.000"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("duration:   00:00:02.000"), std::string::npos) << r.out;
    auto j = Ruvar("probe --json " + Quote(Clip()));
    ASSERT_EQ(j.code, 0);
    Json::Value v = ParseJson(Lines(j.out).at(0));
    EXPECT_EQ(v["width"].asInt(), 176);
    EXPECT_EQ(v["height"].asInt(), 144);
    EXPECT_EQ(v["codec"].asString(), "h264");
    EXPECT_DOUBLE_EQ(v["duration_seconds"].asDouble(), 2.0);
}

TEST(RuvarTool, DecodeMd5MatchesFrameMd5FrameForFrame) {
    std::string clip = Clip();
    auto reference = RuvarTest::FrameMd5(clip, "-fps_mode passthrough");
    ASSERT_EQ(reference.size(), 50u);
    auto r = Ruvar("decode --md5 --json " + Quote(clip));
    ASSERT_EQ(r.code, 0) << r.out;
    auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), reference.size() + 1);  // one per frame, then the summary
    for (size_t i = 0; i < reference.size(); ++i) {
        Json::Value v = ParseJson(lines[i]);
        EXPECT_EQ(v["md5"].asString(), reference[i]) << "frame " << i;
        EXPECT_EQ(v["index"].asInt64(), static_cast<int64_t>(i));
    }
    EXPECT_EQ(ParseJson(lines.back())["end_state"].asString(), "EndOfArchive");

    // The same digests when the file is fed through the live memory buffer in small chunks.
    auto live = Ruvar("decode --md5 --live-chunks 3000 " + Quote(clip));
    ASSERT_EQ(live.code, 0) << live.out;
    auto liveLines = Lines(live.out);
    ASSERT_EQ(liveLines.size(), reference.size());
    for (size_t i = 0; i < reference.size(); ++i)
        EXPECT_NE(liveLines[i].find(reference[i]), std::string::npos) << liveLines[i];
}

TEST(RuvarTool, DecodeTimesFollowTheStartTimeAndOptionsLimitTheFrames) {
    auto r = Ruvar("decode --frames 3 --start-time 2024-05-01T12:00:00.5Z " + Quote(Clip()));
    ASSERT_EQ(r.code, 0) << r.out;
    auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "0 Ok 2024-05-01T12:00:00.5000000Z 176x144");
    EXPECT_EQ(lines[1], "1 Ok 2024-05-01T12:00:00.5400000Z 176x144");
    EXPECT_EQ(lines[2], "2 Ok 2024-05-01T12:00:00.5800000Z 176x144");

    // 50 frames with a key frame every 10: only key frames come out, 0.4 s apart, the last ones
    // too (the decoder is drained at the end); frame threads hold them back, yet lose none.
    auto keys = Ruvar("decode --keyframes --start-time 2024-05-01T12:00:00Z " + Quote(Clip()));
    ASSERT_EQ(keys.code, 0);
    auto keyLines = Lines(keys.out);
    ASSERT_EQ(keyLines.size(), 5u);
    EXPECT_EQ(Ruvar("decode --keyframes --threads 3 --start-time 2024-05-01T12:00:00Z " + Quote(Clip())).out, keys.out);
    for (size_t i = 0; i < keyLines.size(); ++i)
        EXPECT_NE(keyLines[i].find("T12:00:0" + std::to_string(i * 4 / 10) + "." + std::to_string(i * 4 % 10) + "000000Z"),
                  std::string::npos)
            << keyLines[i];
    auto badTime = Ruvar("decode --start-time yesterday " + Quote(Clip()), true);
    EXPECT_EQ(badTime.code, 2);
}

TEST(RuvarTool, VmsStreamsOpenThroughTheWebStreamEntry) {
    // The generic family opens any address FFmpeg reads; its initialization decodes a key frame.
    auto r = Ruvar("decode --vms generic --options '{\"RtspConnectionTimeout\":\"3000\"}' --frames 3 " + Quote(Clip()));
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(Lines(r.out).size(), 3u) << r.out;
    auto unknown = Ruvar("decode --vms acme " + Quote(Clip()), true);
    EXPECT_EQ(unknown.code, 2);
    EXPECT_NE(unknown.out.find("'acme' is not one of generic, milestone, seetec, dvtel, genetec, iss, vmsagent"),
              std::string::npos)
        << unknown.out;
    auto optionsAlone = Ruvar("decode --options {} " + Quote(Clip()), true);
    EXPECT_EQ(optionsAlone.code, 2);
}

TEST(RuvarTool, PacketsWriteAPlayableAnnexBStream) {
    std::string dir = RuvarTest::TempDir("tool_packets");
    auto r = Ruvar("packets " + Quote(Clip()) + " -o " + Quote(dir + "/out.h264"));
    ASSERT_EQ(r.code, 0) << r.out;
    auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 50u);
    EXPECT_EQ(lines[0], "0 size " + std::to_string(lines[0].size() > 7 ? std::stoi(lines[0].substr(7)) : 0) + " key");
    EXPECT_EQ(lines[1].find("key"), std::string::npos) << lines[1];
    std::string raw = RuvarTest::ReadFile(dir + "/out.h264");
    ASSERT_GT(raw.size(), 4u);
    EXPECT_EQ(raw.substr(0, 4), std::string("\0\0\0\1", 4));
    EXPECT_EQ(RuvarTest::FrameMd5(dir + "/out.h264", "-fps_mode passthrough"),
              RuvarTest::FrameMd5(Clip(), "-fps_mode passthrough"));
}

TEST(RuvarTool, Mp4TranscodesAtTheChosenSizeAndRate) {
    std::string dir = RuvarTest::TempDir("tool_mp4");
    auto r = Ruvar("mp4 " + Quote(Clip()) + " " + Quote(dir + "/out.mp4") + " --size 96x64 --fps 10");
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(Probe(dir + "/out.mp4", "stream=codec_name,width,height,avg_frame_rate"), "h264,96,64,10/1");
    std::string frames = Probe(dir + "/out.mp4", "stream=nb_read_frames");
    EXPECT_GE(std::stoi(frames), 49);
}

TEST(RuvarTool, HlsWritesRenditionsAndReportsSegments) {
    std::string dir = RuvarTest::TempDir("tool_hls");
    auto r = Ruvar("hls " + Quote(Clip()) + " " + Quote(dir + "/master.m3u8") +
                   " --rendition 176x144 --rendition 88x72:crf=30:profile=baseline:level=3.0 --segment 1 --gops 1 --json");
    ASSERT_EQ(r.code, 0) << r.out;
    int segments = 0;
    for (const auto& line : Lines(r.out))
        if (ParseJson(line).isMember("segment")) ++segments;
    EXPECT_GE(segments, 2);
    std::string master = RuvarTest::ReadFile(dir + "/master.m3u8");
    EXPECT_NE(master.find("RESOLUTION=176x144\n0/video.m3u8"), std::string::npos) << master;
    EXPECT_NE(master.find("RESOLUTION=88x72\n1/video.m3u8"), std::string::npos) << master;
    std::string out;
    EXPECT_EQ(RunCommand("ffmpeg -v error -i " + Quote(dir + "/master.m3u8") + " -map 0:v:0 -f null -", &out, true), 0) << out;
    auto bad = Ruvar("hls " + Quote(Clip()) + " " + Quote(dir + "/m.m3u8") + " --rendition 100", true);
    EXPECT_EQ(bad.code, 2);
}

TEST(RuvarTool, ConvertWrapsRawH264IntoMp4) {
    std::string raw = RuvarTest::MakeFixture("tool_raw.h264", "-f lavfi -i testsrc=size=128x96:rate=25:duration=1 -c:v libx264 -bf 0 -f h264");
    std::string dir = RuvarTest::TempDir("tool_convert");
    auto r = Ruvar("convert " + Quote(raw) + " " + Quote(dir + "/out.mp4") + " --fps 25");
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(Probe(dir + "/out.mp4", "stream=codec_name,width,height,nb_read_frames"), "h264,128,96,25");
    auto missingFps = Ruvar("convert " + Quote(raw) + " " + Quote(dir + "/x.mp4"), true);
    EXPECT_EQ(missingFps.code, 2);
    EXPECT_NE(missingFps.out.find("--fps is required"), std::string::npos);
}

TEST(RuvarTool, DemoWritesPlayableMp4AndHls) {
    std::string dir = RuvarTest::TempDir("tool_demo");
    auto r = Ruvar("demo --json --output " + Quote(dir));
    ASSERT_EQ(r.code, 0) << r.out;
    Json::Value v = ParseJson(Lines(r.out).back());
    EXPECT_EQ(v["frames"].asInt(), 100);
    EXPECT_EQ(v["first_time"].asString(), "2025-01-01T12:00:00.0000000Z");
    EXPECT_EQ(v["last_time"].asString(), "2025-01-01T12:00:03.9600000Z");
    EXPECT_EQ(Probe(dir + "/transcoded.mp4", "stream=codec_name,width,height,nb_read_frames"), "h264,480,270,100");
    std::string out;
    EXPECT_EQ(RunCommand("ffmpeg -v error -i " + Quote(dir + "/hls/master.m3u8") + " -map 0:v:0 -f null -", &out, true), 0) << out;
    EXPECT_EQ(RunCommand("test -s " + Quote(dir + "/hls/1/video.m3u8")), 0);
}
