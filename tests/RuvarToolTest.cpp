// The ruvar tool run as a user runs it: a subprocess, its exit code and its output.
#include "support/RtspTestServer.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <arpa/inet.h>
#include <csignal>
#include <functional>
#include <map>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using RuvarTest::Quote;
using RuvarTest::RtspTestServer;
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

std::string OneGroupClip() {
    return RuvarTest::MakeFixture("tool_one_group.mp4",
                                  "-f lavfi -i testsrc2=size=176x144:rate=25:duration=0.32 -c:v libx264 -g 100 -bf 2 -pix_fmt yuv420p");
}

std::string RawClip() {
    return RuvarTest::MakeFixture("tool_raw.h264", "-f lavfi -i testsrc=size=128x96:rate=25:duration=1 -c:v libx264 -bf 0 -f h264");
}

// A camera that never stops: GStreamer's test pattern, encoded as it plays.
std::string LiveLaunch() {
    return "( videotestsrc is-live=true ! video/x-raw,width=320,height=240,framerate=25/1 ! "
           "x264enc tune=zerolatency key-int-max=25 ! rtph264pay name=pay0 pt=96 )";
}

// A port on 127.0.0.1 whose connections the kernel accepts and nobody answers.
struct SilentPort {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    int port = 0;
    SilentPort() {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 && ::listen(fd, 8) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            port = ntohs(address.sin_port);
    }
    ~SilentPort() { ::close(fd); }
};

// Waits, within a generous bound, until `ready`.
bool WaitUntil(const std::function<bool()>& ready) {
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
         std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(std::chrono::milliseconds(20)))
        if (ready()) return true;
    return false;
}

// The exit status of `pid`, or -1 when it ended otherwise or not within the bound (it is then killed).
int WaitForExit(pid_t pid) {
    int status = 0;
    if (!WaitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; })) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Probe(const std::string& file, const std::string& entries) {
    std::string out;
    RunCommand("ffprobe -v error -select_streams v:0 -count_frames -show_entries " + entries + " -of csv=p=0 " + Quote(file), &out);
    while (!out.empty() && (out.back() == '\n' || out.back() == ',')) out.pop_back();
    return out;
}

}  // namespace

// One row per way of calling the tool: exit status, a text the output (stdout and stderr) must
// hold and one it must not. {clip}, {one} (one group of pictures with B-frames), {raw} (raw
// H.264), {dir} (a fresh folder holding "existing.mp4"), {udp} (a live RTSP stream served over
// UDP only) and {silent} (a port that accepts connections and never answers) are filled in.
TEST(RuvarTool, CommandLineRows) {
    struct Row {
        const char* args;
        int code;
        const char* holds;
        const char* lacks;
    };
    const Row rows[] = {
        {"--help", 0, "Commands:", "Try"},
        {"decode --help", 0, "--live-chunks BYTES", "Try"},
        {"", 2, "Usage: ruvar", ""},
        {"transmogrify x", 2, "unknown command 'transmogrify'", ""},
        {"frob", 2, "ruvar: unknown command 'frob' (commands: probe, decode,", "ruvar frob --help"},
        {"--json probe {clip}", 0, "\"codec\":\"h264\"", "codec_id"},
        {"--quiet decode --frames 1 {clip}", 0, "0 Ok 1970-01-01T00:00:00.0000000Z 176x144", "ended with"},
        {"probe --json {raw}", 0, "\"duration_seconds\":null", "codec_id"},
        {"probe {raw}", 0, "duration:   N/A", ""},
        {"decode /nonexistent/clip.mp4", 1, "ruvar: error: cannot open '/nonexistent/clip.mp4': No such file or directory\n", ""},
        {"probe /nonexistent/clip.mp4", 1, "ruvar: error: cannot open", ""},
        {"decode http://127.0.0.1:9/none.mp4 --quiet", 1, "ruvar: error: cannot open 'http://127.0.0.1:9/none.mp4'", ""},
        {"decode {dir}/existing.mp4", 1, "ruvar: error: cannot open", ""},
        {"decode {clip} --bogus", 2, "unknown option --bogus", ""},
        {"decode {clip} --frames many", 2, "--frames: 'many' is not an integer", ""},
        {"decode {clip} --decoder quantum", 2, "--decoder: 'quantum'", ""},
        {"decode --start-time yesterday {clip}", 2, "--start-time: 'yesterday'", ""},
        {"decode --keyframes {one}", 0, "0 Ok 1970-01-01T00:00:00.0000000Z", ""},
        {"decode --live-chunks 3000 --frames 1 {clip}", 0, "0 Ok 20", "1601-"},
        {"decode --utc-offset -3 {clip}", 2, "--utc-offset: -3", ""},
        {"decode --utc-offset 2 --start-time 2024-05-01T12:00:00Z {clip}", 2, "--utc-offset does not apply", ""},
        {"decode --vms generic --options '{bad json' {clip}", 2, "--options: '{bad json' is not a JSON object", ""},
        {"decode --vms generic --options '{\"RtspTimeout\":1}' {clip}", 2, "--options: unknown member 'RtspTimeout'", ""},
        {"decode --vms acme {clip}", 2, "'acme' is not one of generic, milestone, seetec, dvtel, genetec, iss, vmsagent, camera", ""},
        {"decode --options {} {clip}", 2, "--options needs --vms", ""},
        {"decode --timeout 2 {clip}", 2, "--timeout applies to network sources only", ""},
        {"mp4 {clip} {dir}/odd.mp4 --size 321x241", 2, "--size: 321x241 is not an even width and height", ""},
        {"mp4 {clip} /nonexistent/out.mp4", 1, "ruvar: error: cannot write '/nonexistent/out.mp4': No such file or directory", "-2"},
        {"mp4 {clip} {dir}/existing.mp4", 1, "existing.mp4' already exists (give -y to replace it)", ""},
        {"mp4 -y {clip} {dir}/existing.mp4 --frames 2", 0, "wrote ", ""},
        {"hls {clip} {dir}/m.m3u8 --rendition 100", 2, "--rendition: '100' is not a size", ""},
        {"hls {clip} {dir}/m.m3u8 --rendition 99x64", 2, "--rendition: 99x64 is not an even", ""},
        {"convert {raw} {dir}/x.mp4", 2, "--fps is required", ""},
        {"decode --log-level 0 'rtsp://admin:pa/ss?#@127.0.0.1:9/x'", 1, "admin:***@127.0.0.1:9/x", "pa/ss"},
        {"decode --transport udp --frames 3 {udp}", 0, "2 Ok ", ""},
        {"decode --transport tls {udp}", 2, "--transport: 'tls' is not one of tcp, udp, prefer-tcp, multicast", ""},
        {"decode --timeout 0.5 --log-level 3 rtsp://127.0.0.1:{silent}/x", 1, "network timeout: 500 ms", ""},
    };
    const std::string dir = RuvarTest::TempDir("tool_rows");
    RuvarTest::WriteFile(dir + "/existing.mp4", "keep");
    RtspTestServer udp;
    ASSERT_TRUE(udp.StartGStreamer(LiveLaunch(), "--protocols udp", 120));
    SilentPort silent;
    ASSERT_GT(silent.port, 0);
    const std::map<std::string, std::string> fill = {
        {"{clip}", Quote(Clip())}, {"{one}", Quote(OneGroupClip())}, {"{raw}", Quote(RawClip())},
        {"{dir}", Quote(dir)},     {"{udp}", udp.Url()},            {"{silent}", std::to_string(silent.port)}};
    for (const auto& row : rows) {
        std::string args = row.args;
        for (const auto& f : fill)
            for (size_t at = args.find(f.first); at != std::string::npos; at = args.find(f.first, at + f.second.size()))
                args.replace(at, f.first.size(), f.second);
        auto r = Ruvar(args, true);
        EXPECT_EQ(r.code, row.code) << args << "\n" << r.out;
        EXPECT_NE(r.out.find(row.holds), std::string::npos) << args << "\n" << r.out;
        if (*row.lacks) {
            EXPECT_EQ(r.out.find(row.lacks), std::string::npos) << args << "\n" << r.out;
        }
    }
    EXPECT_EQ(RuvarTest::ReadFile(dir + "/odd.mp4"), "");
}

// Ctrl-C (SIGINT) while writing a live stream: the tool finishes what it wrote and says so with
// 128 + 2. The MP4 holds every frame the tool counted; the HLS presentation names only whole
// segments and FFmpeg reads it through.
TEST(RuvarTool, InterruptedWritingKeepsWhatWasWritten) {
    RtspTestServer server;
    ASSERT_TRUE(server.StartGStreamer(LiveLaunch(), "", 120));
    const std::string dir = RuvarTest::TempDir("tool_interrupt");
    for (const bool hls : {false, true}) {
        const std::string target = dir + (hls ? "/master.m3u8" : "/out.mp4");
        const std::string log = dir + (hls ? "/hls.log" : "/mp4.log");
        const std::string command =
            (hls ? "hls --json --segment 1 --gops 1 --duration 60 --rendition 160x120 " : "mp4 --json ") +
            server.Url() + " " + Quote(target);
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::execl("/bin/sh", "sh", "-c",
                    ("exec env ASAN_OPTIONS=detect_leaks=1 " + Quote(kRuvar) + " " + command + " >" + Quote(log) + " 2>&1").c_str(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        // Written frames show as a finished segment, or as MP4 data past the file's header.
        const bool wrote = WaitUntil([&] {
            return hls ? RuvarTest::ReadFile(log).find("\"segment\"") != std::string::npos
                       : RuvarTest::ReadFile(target).size() > 4096;
        });
        ::kill(pid, SIGINT);
        const int status = WaitForExit(pid);
        ASSERT_TRUE(wrote) << RuvarTest::ReadFile(log);
        EXPECT_EQ(status, 130) << RuvarTest::ReadFile(log);
        const auto lines = Lines(RuvarTest::ReadFile(log));
        ASSERT_FALSE(lines.empty());
        const int64_t frames = ParseJson(lines.back())["frames"].asInt64();
        EXPECT_GT(frames, 0) << lines.back();
        std::string out;
        EXPECT_EQ(RunCommand("ffmpeg -v error -i " + Quote(target) + " -map 0:v:0 -f null -", &out, true), 0) << out;
        EXPECT_EQ(out, "");
        // (HLS lists its stream once in its program and once on its own.)
        EXPECT_EQ(Lines(Probe(target, "stream=nb_read_frames")).back(), std::to_string(frames)) << command;
        if (hls) {
            const std::string playlist = RuvarTest::ReadFile(dir + "/0/video.m3u8");
            ASSERT_GE(playlist.size(), 15u);
            EXPECT_EQ(playlist.substr(playlist.size() - 15), "#EXT-X-ENDLIST\n") << playlist;
            for (const auto& line : Lines(playlist)) {
                if (line[0] != '#') {
                    EXPECT_GT(RuvarTest::ReadFile(dir + "/0/" + line).size(), 0u) << line;
                }
            }
        }
    }
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

    // The same digests when the file is fed through the live memory buffer in small chunks, on the
    // decoding thread: an MPEG-TS file larger than the first feed (512 KiB) down to single bytes.
    const std::string ts =
        RuvarTest::MakeFixture("tool_live.ts", "-f lavfi -i testsrc2=size=320x240:rate=25:duration=6 -c:v libx264 "
                                               "-preset ultrafast -bf 2 -g 12 -pix_fmt yuv420p -f mpegts");
    ASSERT_GT(RuvarTest::ReadFile(ts).size(), 512u << 10);
    const auto tsReference = RuvarTest::FrameMd5(ts, "-fps_mode passthrough");
    struct Row {
        std::string file;
        const char* chunk;
        const std::vector<std::string>* expected;
    };
    for (const Row& row : {Row{clip, "3000", &reference}, Row{ts, "1", &tsReference}, Row{ts, "1316", &tsReference}}) {
        const auto& [file, chunk, expected] = row;
        auto live = Ruvar("decode --md5 --live-chunks " + std::string(chunk) + " " + Quote(file));
        ASSERT_EQ(live.code, 0) << live.out;
        auto liveLines = Lines(live.out);
        ASSERT_EQ(liveLines.size(), expected->size()) << file << " in chunks of " << chunk;
        for (size_t i = 0; i < expected->size(); ++i)
            EXPECT_NE(liveLines[i].find((*expected)[i]), std::string::npos) << liveLines[i] << ", chunks of " << chunk;
    }
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
}

TEST(RuvarTool, VmsStreamsOpenThroughTheWebStreamEntry) {
    // The generic family opens any address FFmpeg reads; its initialization decodes a key frame.
    auto r = Ruvar("decode --vms generic --options '{\"RtspConnectionTimeout\":\"3000\"}' --frames 3 " + Quote(Clip()));
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(Lines(r.out).size(), 3u) << r.out;
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
}

TEST(RuvarTool, ConvertWrapsRawH264IntoMp4) {
    std::string raw = RawClip();
    std::string dir = RuvarTest::TempDir("tool_convert");
    auto r = Ruvar("convert " + Quote(raw) + " " + Quote(dir + "/out.mp4") + " --fps 25");
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(Probe(dir + "/out.mp4", "stream=codec_name,width,height,nb_read_frames"), "h264,128,96,25");
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
