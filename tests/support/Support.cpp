#include "support/Support.h"

#include "Common/StringUtility.h"
#include "RuvarEduzid/DecoderUtils.h"

#include <dlfcn.h>
#include <json/json.h>

extern "C" {
#include <libavutil/md5.h>
}

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace RuvarTest {

std::string Quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

int RunCommand(const std::string& command, std::string* output, bool mergeStderr) {
    FILE* pipe = popen((command + (mergeStderr ? " 2>&1" : "")).c_str(), "r");
    if (!pipe) return -1;
    std::array<char, 4096> buf;
    std::string text;
    for (size_t n; (n = fread(buf.data(), 1, buf.size(), pipe)) > 0;) text.append(buf.data(), n);
    const int status = pclose(pipe);
    if (output) *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

bool Exists(const std::string& path) { return FileSize(path) >= 0; }

long long FileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

std::string TempDir(const std::string& name) {
    const std::string dir = std::string(RUVAR_BINARY_DIR) + "/tmp/" + name + "." + std::to_string(::getpid());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    return lines;
}

int CountOf(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

std::wstring W(const std::string& s) { return Halvora::Common::StringUtility::StringToWstring(s); }

std::string Md5Hex(const void* data, size_t size) {
    uint8_t digest[16];
    av_md5_sum(digest, static_cast<const uint8_t*>(data), static_cast<int>(size));
    char hex[33];
    for (int i = 0; i < 16; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    return hex;
}

std::string ThrowText(const std::function<void()>& call) {
    try {
        call();
    } catch (const Halvora::Common::CodeErrorException& e) {
        return e.Message();
    }
    return "(no exception)";
}

std::string LogText(Halvora::Common::ScopedLogCapture& capture) {
    std::string all;
    for (const auto& m : capture.Sink().Messages()) all += m + "\n";
    return all;
}

void* ExportedSymbol(const char* name) {
    static void* const library = dlopen(RUVAR_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (!library) throw std::runtime_error(std::string("cannot load the library: ") + dlerror());
    return dlsym(library, name);
}

bool WaitUntil(const std::function<bool()>& ready, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!ready()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// ---- media ----------------------------------------------------------------------------------------

std::string MakeFixture(const std::string& name, const std::string& ffmpegArgs) {
    const std::string path = std::string(RUVAR_FIXTURE_DIR) + "/" + name;
    if (FileSize(path) > 0) return path;
    // Made under a temporary name, then renamed: programs running side by side never see half a file.
    const std::string tmp = path + ".tmp." + std::to_string(::getpid()) + "." + name.substr(name.rfind('.') + 1);
    std::string out;
    if (RunCommand("ffmpeg -y -hide_banner -loglevel error -nostdin " + ffmpegArgs + " " + Quote(tmp), &out, true) != 0)
        throw std::runtime_error("ffmpeg failed to make " + name + ": " + out);
    if (std::rename(tmp.c_str(), path.c_str()) != 0) throw std::runtime_error("rename failed for " + name);
    return path;
}

std::vector<std::string> FrameMd5(const std::string& path, const std::string& extraArgs) {
    std::string out;
    if (RunCommand("ffmpeg -hide_banner -loglevel error -nostdin -i " + Quote(path) + " -map 0:v:0 " + extraArgs +
                       " -f framemd5 -",
                   &out) != 0)
        throw std::runtime_error("framemd5 failed for " + path);
    std::vector<std::string> digests;
    for (const auto& line : Lines(out))
        if (line[0] != '#' && line.rfind(',') != std::string::npos)
            digests.push_back(line.substr(line.find_first_not_of(' ', line.rfind(',') + 1)));
    return digests;
}

std::string Probe(const std::string& path, const std::string& args) {
    std::string out;
    return RunCommand("ffprobe -v error " + args + " " + Quote(path), &out) == 0 ? out : std::string();
}

std::string StreamField(const std::string& path, const std::string& field) {
    // MPEG-TS and HLS list the stream again under its program: the first line is the stream.
    const auto lines = Lines(Probe(path, "-select_streams v:0 -show_entries stream=" + field + " -of csv=p=0"));
    return lines.empty() ? std::string() : lines[0];
}

int CountFrames(const std::string& path) {
    const std::string n = StreamField(path, "nb_read_frames -count_frames");
    return n.empty() ? -1 : std::atoi(n.c_str());
}

std::vector<ProbedPacket> Packets(const std::string& path) {
    std::vector<ProbedPacket> packets;
    for (const auto& line : Lines(Probe(path, "-select_streams v:0 -show_entries packet=pts_time,flags -of csv=p=0"))) {
        ProbedPacket p;
        p.ptsTime = std::atof(line.c_str());
        p.key = line.find(",K") != std::string::npos;
        packets.push_back(p);
    }
    return packets;
}

std::string PlayErrors(const std::string& path) {
    std::string out;
    const int rc = RunCommand("ffmpeg -hide_banner -nostdin -v error -i " + Quote(path) + " -map 0:v -f null -", &out, true);
    return rc == 0 ? out : "exit " + std::to_string(rc) + ": " + out;
}

double AveragePsnr(const std::string& path, const std::string& reference, int width, int height) {
    std::string out;
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    if (RunCommand("ffmpeg -hide_banner -nostdin -i " + Quote(path) + " -f rawvideo -pix_fmt yuv420p -s " + size + " -i " +
                       Quote(reference) + " -lavfi '[0:v][1:v]psnr=shortest=1' -f null -",
                   &out, true) != 0)
        return -1;
    const size_t at = out.find("average:");
    if (at == std::string::npos) return -1;
    return out.compare(at + 8, 3, "inf") == 0 ? 1000 : std::atof(out.c_str() + at + 8);
}

namespace {
const std::string kTestSrc = "-f lavfi -i testsrc2=size=320x240:rate=25 ";
}

std::string H264Mp4NoB() {
    return MakeFixture("dec_h264_nob.mp4", kTestSrc + "-t 2 -c:v libx264 -preset ultrafast -bf 0 -g 10 -pix_fmt yuv420p");
}
std::string H264Mp4B() {
    return MakeFixture("dec_h264_b.mp4", kTestSrc + "-t 2 -c:v libx264 -preset veryfast -bf 3 -g 12 -pix_fmt yuv420p");
}
std::string HevcMkv() {
    return MakeFixture("dec_hevc.mkv", kTestSrc + "-t 1 -c:v libx265 -preset ultrafast -x265-params log-level=none "
                                                  "-pix_fmt yuv420p");
}
std::string Vp9Webm() {
    return MakeFixture("dec_vp9.webm", kTestSrc + "-t 1 -c:v libvpx-vp9 -deadline realtime -cpu-used 8 -pix_fmt yuv420p");
}
std::string TsVideoSecond() {
    return MakeFixture("dec_audio_first.ts", "-f lavfi -i sine=frequency=440:sample_rate=48000 " + kTestSrc +
                                                 "-t 2 -map 0:a -map 1:v -c:a mp2 -c:v libx264 -preset ultrafast -bf 0 "
                                                 "-g 25 -pix_fmt yuv420p -f mpegts");
}
std::string MjpegFullRange() {
    return MakeFixture("dec_mjpeg_full.avi", kTestSrc + "-t 1 -c:v mjpeg -pix_fmt yuvj420p -q:v 3");
}
std::string Mpeg4OddSize() {
    return MakeFixture("dec_mpeg4_odd.mkv", kTestSrc + "-t 1 -vf scale=321:241 -c:v mpeg4 -q:v 4 -pix_fmt yuv420p");
}
std::string H264Yuv422() {
    return MakeFixture("dec_h264_422.mp4", kTestSrc + "-t 1 -c:v libx264 -preset ultrafast -pix_fmt yuv422p");
}
std::string Ts10s() {
    return MakeFixture("dec_live_10s.ts", kTestSrc + "-t 10 -c:v libx264 -preset ultrafast -bf 0 -g 25 -pix_fmt yuv420p "
                                                     "-f mpegts");
}

// ---- the ruvar tool -------------------------------------------------------------------------------

int RunRuvar(const std::string& args, std::string* output, const std::string& env) {
    return RunCommand(env + " ASAN_OPTIONS=detect_leaks=1 " + Quote(std::string(RUVAR_BINARY_DIR) + "/bin/ruvar") + " " + args,
                      output, true);
}

ToolDecode RuvarDecode(const std::string& args, const std::string& env) {
    ToolDecode out;
    out.code = RunRuvar("decode --md5 --json " + args, &out.output, env);
    for (const auto& line : Lines(out.output)) {
        Json::Value v;
        if (line[0] != '{' || !Json::Reader().parse(line, v, false)) continue;
        if (v.isMember("summary")) out.endState = v["end_state"].asString();
        if (v.isMember("md5")) {
            out.digests.push_back(v["md5"].asString());
            out.times.push_back(v["file_time"].asInt64());
        }
    }
    return out;
}

// ---- decoding -------------------------------------------------------------------------------------

std::string PlanesMd5(const IDecodedFrame& frame) {
    const int w = frame.Width(), h = frame.Height(), cw = (w + 1) / 2, ch = (h + 1) / 2;
    std::string packed;
    packed.reserve(static_cast<size_t>(w) * h * 3 / 2 + 4);
    for (int y = 0; y < h; ++y)
        packed.append(reinterpret_cast<const char*>(frame.GetY() + static_cast<ptrdiff_t>(y) * frame.StrideY()), w);
    for (const unsigned char* plane : {frame.GetU(), frame.GetV()})
        for (int y = 0; y < ch; ++y)
            packed.append(reinterpret_cast<const char*>(plane + static_cast<ptrdiff_t>(y) * frame.StrideUV()), cw);
    return Md5Hex(packed.data(), packed.size());
}

Decoded DecodeAll(IFrameDecoder& decoder, size_t limit) {
    Decoded out;
    for (size_t i = 0; i <= limit; ++i) {
        auto frame = decoder.GetNextFrame();
        if (!frame) {
            ADD_FAILURE() << "null frame";
            out.endState = Error;
            break;
        }
        if (frame->GetDecoderState() != Ok) {
            out.endState = frame->GetDecoderState();
            break;
        }
        out.digests.push_back(PlanesMd5(*frame));
        out.times.push_back(frame->GetFileTimeUtc());
    }
    return out;
}

VideoFileInfo InfoFor(const std::string& path) {
    VideoFileInfo info(W(path));
    info.decoderId = Halvora::RuvarEduzid::DecoderUtils::HalvoraFFmpegDecoderId;
    return info;
}

std::vector<std::shared_ptr<DecoderParameter>> Timeouts(int connectMs, int frameMs) {
    return {std::make_shared<RtspConnectionTimeoutParameter>(connectMs),
            std::make_shared<RtspGetFrameTimeoutParameter>(frameMs)};
}

// ---- faults ---------------------------------------------------------------------------------------

SmallDisk::SmallDisk(const std::string& name, uint64_t bytes) : m_path(TempDir(name)) {
    // A tmpfs in a mount namespace of this thread's own (and of the threads it starts), so that it
    // goes with the process however it ends. Without root, a user namespace maps this user to root
    // first; that needs a process with a single thread.
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    if (uid != 0) {
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) throw std::runtime_error("SmallDisk: no user namespace");
        WriteFile("/proc/self/setgroups", "deny");
        WriteFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
        WriteFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
    } else if (unshare(CLONE_NEWNS) != 0) {
        throw std::runtime_error("SmallDisk: no mount namespace");
    }
    mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
    const std::string options = "size=" + std::to_string(bytes) + ",mode=0777";
    if (mount("ruvar-small-disk", m_path.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0)
        throw std::runtime_error("SmallDisk: cannot mount a tmpfs on " + m_path);
}

SmallDisk::~SmallDisk() { umount2(m_path.c_str(), MNT_DETACH); }

uint64_t FillDisk(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return 0;
    const std::string block(4096, 'x');
    uint64_t written = 0;
    // Flushed block by block: a buffered write would report success for bytes never stored.
    while (std::fwrite(block.data(), 1, block.size(), f) == block.size() && std::fflush(f) == 0) written += block.size();
    std::fclose(f);
    return written;
}

std::string BitFlipped(const std::string& bytes, unsigned flips, uint32_t seed, size_t spare) {
    std::string out = bytes;
    if (out.size() <= spare) return out;
    std::mt19937 random(seed);
    std::uniform_int_distribution<size_t> position(spare, out.size() - 1);
    std::uniform_int_distribution<int> bit(0, 7);
    for (unsigned i = 0; i < flips; ++i) out[position(random)] ^= static_cast<char>(1 << bit(random));
    return out;
}

// ---- HLS ------------------------------------------------------------------------------------------

SegmentRecorder& SegmentRecorder::Instance() {
    static SegmentRecorder recorder;
    return recorder;
}

void SegmentRecorder::Callback(const char* path) {
    SegmentReport report;
    report.path = path;
    report.size = FileSize(path);
    const std::string bytes = ReadFile(path);
    report.md5 = Md5Hex(bytes.data(), bytes.size());
    std::lock_guard<std::mutex> lock(Instance().m_mutex);
    Instance().m_reports.push_back(report);
}

void SegmentRecorder::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_reports.clear();
}

std::vector<SegmentReport> SegmentRecorder::Reports() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_reports;
}

std::vector<std::string> SegmentRecorder::Paths() const {
    std::vector<std::string> paths;
    for (const auto& r : Reports()) paths.push_back(r.path);
    return paths;
}

Halvora::RuvarEduzid::H264StreamConfig StreamConfig(int width, int height, int segmentDuration, int gopsPerSegment,
                                                   bool live) {
    Halvora::RuvarEduzid::H264StreamConfig c{};
    c.height = height;
    c.width = width;
    c.crf = 23;
    c.profile = Halvora::RuvarEduzid::H264ProfileNotSet;
    c.level = Halvora::RuvarEduzid::H264LevelNotSet;
    c.liveGeneration = live;
    c.segmentDuration = segmentDuration;
    c.gopsPerSegment = gopsPerSegment;
    return c;
}

}  // namespace RuvarTest
