// The ruvar tool run as a user runs it: a subprocess, its exit status and its output, and what it
// writes read back by FFmpeg.
#include "support/Servers.h"
#include "support/Support.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <map>

using namespace RuvarTest;

namespace {

Json::Value ParseJson(const std::string& line) {
    Json::Value v;
    EXPECT_TRUE(Json::Reader().parse(line, v, false)) << line;
    return v;
}

std::string Clip() {
    return MakeFixture("tool_clip.mp4",
                       "-f lavfi -i testsrc2=size=176x144:rate=25:duration=2 -c:v libx264 -g 10 -bf 2 -pix_fmt yuv420p");
}
std::string RawClip() {
    return MakeFixture("tool_raw.h264", "-f lavfi -i testsrc=size=128x96:rate=25:duration=1 -c:v libx264 -bf 0 -f h264");
}

std::string Probed(const std::string& file, const std::string& entries) {
    std::string out = Probe(file, "-select_streams v:0 -count_frames -show_entries " + entries + " -of csv=p=0");
    while (!out.empty() && (out.back() == '\n' || out.back() == ',')) out.pop_back();
    return out;
}

}  // namespace

// One row per way of calling the tool: exit status, a text the output (stdout and stderr) must hold
// and one it must not. {clip} (2 s, a key frame every 10, B-frames), {one} (one group of pictures
// with B-frames), {raw} (raw H.264), {dir} (a fresh folder holding "existing.mp4"), {udp} (a live
// RTSP stream served over UDP only) and {silent} (a port that accepts connections and never
// answers) are filled in.
TEST(RuvarTool, CommandLineRows) {
    struct Row {
        const char* args;
        int code;
        const char* holds;
        const char* lacks;
    };
    const Row rows[] = {
        {"--help", 0, "Commands:", "Try"},
        {"", 2, "Usage: ruvar", ""},
        {"probe {clip}", 0,
         "container:  mov,mp4,m4a,3gp,3g2,mj2\ncodec:      h264\nsize:       176x144\nframe rate: 25.000\nduration:   00:00:02.000",
         ""},
        {"--json probe {clip}", 0, "\"codec\":\"h264\",\"container\":\"mov,mp4,m4a,3gp,3g2,mj2\",\"duration_seconds\":2.0", "codec_id"},
        {"probe --json {raw}", 0, "\"duration_seconds\":null", "codec_id"},
        {"--quiet decode --frames 1 {clip}", 0, "0 Ok 1970-01-01T00:00:00.0000000Z 176x144", "ended with"},
        {"decode --frames 3 --start-time 2024-05-01T12:00:00.5Z {clip}", 0,
         "0 Ok 2024-05-01T12:00:00.5000000Z 176x144\n1 Ok 2024-05-01T12:00:00.5400000Z 176x144\n"
         "2 Ok 2024-05-01T12:00:00.5800000Z 176x144\n", "3 Ok"},
        // Every key frame, 0.4 s apart, the last ones too (the decoder is drained at the end).
        {"decode --keyframes --start-time 2024-05-01T12:00:00Z {clip}", 0,
         "3 Ok 2024-05-01T12:00:01.2000000Z 176x144\n4 Ok 2024-05-01T12:00:01.6000000Z 176x144\n", "5 Ok"},
        // Frame threads hold key frames back, yet lose none.
        {"decode --keyframes --threads 3 --start-time 2024-05-01T12:00:00Z {clip}", 0,
         "3 Ok 2024-05-01T12:00:01.2000000Z 176x144\n4 Ok 2024-05-01T12:00:01.6000000Z 176x144\n", "5 Ok"},
        {"decode --keyframes {one}", 0, "0 Ok 1970-01-01T00:00:00.0000000Z", ""},
        {"decode --live-chunks 3000 --frames 1 {clip}", 0, "0 Ok 20", "1601-"},
        {"decode --vms generic --options '{\"RtspConnectionTimeout\":\"3000\"}' --frames 3 {clip}", 0, "2 Ok 1970", "3 Ok"},
        {"decode /nonexistent/clip.mp4", 1, "ruvar: error: cannot open '/nonexistent/clip.mp4': No such file or directory\n", ""},
        {"decode http://127.0.0.1:9/none.mp4 --quiet", 1, "ruvar: error: cannot open 'http://127.0.0.1:9/none.mp4'", ""},
        {"decode {clip} --bogus", 2, "unknown option --bogus", ""},
        {"decode --utc-offset 2 --start-time 2024-05-01T12:00:00Z {clip}", 2, "--utc-offset does not apply", ""},
        {"decode --vms generic --options '{bad json' {clip}", 2, "--options: '{bad json' is not a JSON object", ""},
        {"decode --vms generic --options '{\"RtspTimeout\":1}' {clip}", 2, "--options: unknown member 'RtspTimeout'", ""},
        {"decode --timeout 2 {clip}", 2, "--timeout applies to network sources only", ""},
        {"mp4 {clip} {dir}/odd.mp4 --size 321x241", 2, "--size: 321x241 is not an even width and height", ""},
        {"mp4 {clip} /nonexistent/out.mp4", 1, "ruvar: error: cannot write '/nonexistent/out.mp4': No such file or directory", "-2"},
        {"mp4 {clip} {dir}/existing.mp4", 1, "existing.mp4' already exists (give -y to replace it)", ""},
        {"mp4 -y {clip} {dir}/existing.mp4 --frames 2", 0, "wrote ", ""},
        {"convert {raw} {dir}/x.mp4", 2, "--fps is required", ""},
        {"decode --log-level 0 'rtsp://admin:pa/ss?#@127.0.0.1:9/x'", 1, "admin:***@127.0.0.1:9/x", "pa/ss"},
        {"decode --transport udp --frames 3 {udp}", 0, "2 Ok ", ""},
        {"decode --timeout 0.5 --log-level 3 rtsp://127.0.0.1:{silent}/x", 1, "network timeout: 500 ms", ""},
    };
    const std::string dir = TempDir("tool_rows");
    WriteFile(dir + "/existing.mp4", "keep");
    GstServer udp(GstLiveLaunch(), "--protocols udp", 120);
    ASSERT_GT(udp.Port(), 0);
    HttpServer silent("", 0);  // accepts and never answers
    ASSERT_GT(silent.Port(), 0);
    const std::string one = MakeFixture("tool_one_group.mp4", "-f lavfi -i testsrc2=size=176x144:rate=25:duration=0.32 "
                                                              "-c:v libx264 -g 100 -bf 2 -pix_fmt yuv420p");
    const std::map<std::string, std::string> fill = {{"{clip}", Quote(Clip())}, {"{one}", Quote(one)},
                                                     {"{raw}", Quote(RawClip())}, {"{dir}", Quote(dir)},
                                                     {"{udp}", udp.Url()},        {"{silent}", std::to_string(silent.Port())}};
    for (const auto& row : rows) {
        std::string args = row.args;
        for (const auto& [key, value] : fill)
            for (size_t at = args.find(key); at != std::string::npos; at = args.find(key, at + value.size()))
                args.replace(at, key.size(), value);
        std::string out;
        EXPECT_EQ(RunRuvar(args, &out), row.code) << args << "\n" << out;
        EXPECT_NE(out.find(row.holds), std::string::npos) << args << "\n" << out;
        if (*row.lacks) { EXPECT_EQ(out.find(row.lacks), std::string::npos) << args << "\n" << out; }
    }
    EXPECT_EQ(ReadFile(dir + "/odd.mp4"), "");
}

// Ctrl-C (SIGINT) while writing a live stream: the tool finishes what it wrote and says so with
// 128 + 2. The MP4 holds every frame the tool counted; the HLS presentation names only whole
// segments and FFmpeg reads it through.
TEST(RuvarTool, InterruptedWritingKeepsWhatWasWritten) {
    GstServer server(GstLiveLaunch(), "", 120);
    ASSERT_GT(server.Port(), 0);
    const std::string dir = TempDir("tool_interrupt");
    for (const bool hls : {false, true}) {
        const std::string target = dir + (hls ? "/master.m3u8" : "/out.mp4");
        const std::string log = dir + (hls ? "/hls.log" : "/mp4.log");
        const std::string command = (hls ? "hls --json --segment 1 --gops 1 --duration 60 --rendition 160x120 " : "mp4 --json ") +
                                    server.Url() + " " + Quote(target);
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::execl("/bin/sh", "sh", "-c",
                    ("exec env ASAN_OPTIONS=detect_leaks=1 " + Quote(std::string(RUVAR_BINARY_DIR) + "/bin/ruvar") + " " +
                     command + " >" + Quote(log) + " 2>&1")
                        .c_str(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        // Written frames show as a finished segment, or as MP4 data past the file's header.
        const bool wrote = WaitUntil([&] {
            return hls ? ReadFile(log).find("\"segment\"") != std::string::npos : ReadFile(target).size() > 4096;
        }, 90);
        ::kill(pid, SIGINT);
        int status = 0;
        if (!WaitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 90)) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
        }
        ASSERT_TRUE(wrote) << ReadFile(log);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << ReadFile(log);
        const auto lines = Lines(ReadFile(log));
        ASSERT_FALSE(lines.empty());
        const int64_t frames = ParseJson(lines.back())["frames"].asInt64();
        EXPECT_GT(frames, 0) << lines.back();
        EXPECT_EQ(PlayErrors(target), "");
        // (HLS lists its stream once in its program and once on its own.)
        EXPECT_EQ(Lines(Probed(target, "stream=nb_read_frames")).back(), std::to_string(frames)) << command;
        if (hls) {
            const std::string playlist = ReadFile(dir + "/0/video.m3u8");
            ASSERT_GE(playlist.size(), 15u);
            EXPECT_EQ(playlist.substr(playlist.size() - 15), "#EXT-X-ENDLIST\n") << playlist;
            for (const auto& line : Lines(playlist))
                if (line[0] != '#') { EXPECT_GT(FileSize(dir + "/0/" + line), 0) << line; }
        }
    }
}

TEST(RuvarTool, WritesWhatFFmpegReads) {
    const std::string dir = TempDir("tool_write");
    std::string out;
    ASSERT_EQ(RunRuvar("packets " + Quote(Clip()) + " -o " + Quote(dir + "/out.h264"), &out), 0) << out;
    const auto lines = Lines(out);
    EXPECT_EQ(lines[0].substr(lines[0].size() - 4), " key");
    EXPECT_EQ(lines[1].find("key"), std::string::npos);
    EXPECT_EQ(FrameMd5(dir + "/out.h264", "-fps_mode passthrough"), FrameMd5(Clip(), "-fps_mode passthrough"));
    ASSERT_EQ(RunRuvar("mp4 " + Quote(Clip()) + " " + Quote(dir + "/out.mp4") + " --size 96x64 --fps 10", &out), 0) << out;
    EXPECT_EQ(Probed(dir + "/out.mp4", "stream=codec_name,width,height,avg_frame_rate"), "h264,96,64,10/1");
    EXPECT_GE(std::stoi(Probed(dir + "/out.mp4", "stream=nb_read_frames")), 49);
    ASSERT_EQ(RunRuvar("convert " + Quote(RawClip()) + " " + Quote(dir + "/raw.mp4") + " --fps 25", &out), 0) << out;
    EXPECT_EQ(Probed(dir + "/raw.mp4", "stream=codec_name,width,height,nb_read_frames"), "h264,128,96,25");
    ASSERT_EQ(RunRuvar("hls " + Quote(Clip()) + " " + Quote(dir + "/master.m3u8") +
                           " --rendition 176x144 --rendition 88x72:crf=30:profile=baseline:level=3.0 --segment 1 --gops 1 --json",
                       &out),
              0)
        << out;
    EXPECT_GE(CountOf(out, "\"segment\""), 2);
    EXPECT_NE(ReadFile(dir + "/master.m3u8").find("RESOLUTION=88x72\n1/video.m3u8"), std::string::npos);
    EXPECT_EQ(PlayErrors(dir + "/master.m3u8"), "");
    ASSERT_EQ(RunRuvar("demo --json --output " + Quote(dir + "/demo"), &out), 0) << out;
    const Json::Value v = ParseJson(Lines(out).back());
    EXPECT_EQ(v["frames"].asInt(), 100);
    EXPECT_EQ(v["last_time"].asString(), "2025-01-01T12:00:03.9600000Z");
    EXPECT_EQ(Probed(dir + "/demo/transcoded.mp4", "stream=codec_name,width,height,nb_read_frames"), "h264,480,270,100");
    EXPECT_EQ(PlayErrors(dir + "/demo/hls/master.m3u8"), "");
}
