#pragma once

// The helpers of every test: commands, fixtures made by the ffmpeg CLI, FFmpeg's framemd5 and
// ffprobe as the reference readers, decoding loops, bounded waits, a disk that fills up, damaged
// copies of media and the segment callback of the HLS writers.

#include "Common/Exception.h"
#include "Common/Logger.h"
#include "RuvarEduzid/FFMpegDecoder.h"
#include "RuvarEduzid/H264StreamConfig.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace RuvarTest {

using namespace Halvora::Video::Native;
using Halvora::RuvarEduzid::FFMpegDecoder;

// ---- commands and files -----------------------------------------------------------------------

// Runs a shell command; its exit status, stdout (and stderr with `mergeStderr`) in `output`.
int RunCommand(const std::string& command, std::string* output = nullptr, bool mergeStderr = false);
std::string Quote(const std::string& s);
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
bool Exists(const std::string& path);
long long FileSize(const std::string& path);  // -1 when missing
// A fresh, empty directory under the build tree.
std::string TempDir(const std::string& name);
std::vector<std::string> Lines(const std::string& text);  // without empty lines
int CountOf(const std::string& text, const std::string& what);
std::wstring W(const std::string& s);
std::string Md5Hex(const void* data, size_t size);
// The text of the CodeErrorException `call` throws; "(no exception)" when it returns.
std::string ThrowText(const std::function<void()>& call);
// Every message a capture holds, one a line.
std::string LogText(Halvora::Common::ScopedLogCapture& capture);
// A plain function of the built shared library as a host finds it (dlopen, once per process);
// nullptr when it is not exported.
void* ExportedSymbol(const char* name);
template <typename F>
F Exported(const char* name) {
    return reinterpret_cast<F>(ExportedSymbol(name));
}
// Polls `ready` until it holds, at most `seconds` (a generous bound: it only ends a broken run).
bool WaitUntil(const std::function<bool()>& ready, double seconds = 60);

// ---- media made and read by FFmpeg ------------------------------------------------------------

// A fixture made once by `ffmpeg -y -loglevel error <args> <path>` into the build tree.
std::string MakeFixture(const std::string& name, const std::string& ffmpegArgs);
// The per-frame MD5 digests of FFmpeg's framemd5 of `path` (frames as the CLI gives them).
std::vector<std::string> FrameMd5(const std::string& path, const std::string& extraArgs = "-pix_fmt yuv420p");
// ffprobe's output for `args` on `path` (stdout; empty when it fails).
std::string Probe(const std::string& path, const std::string& args);
// One field (or several, comma separated) of the first video stream.
std::string StreamField(const std::string& path, const std::string& field);
// Frames of the first video stream decoded and counted by ffprobe; -1 when it fails.
int CountFrames(const std::string& path);
// Per packet of the first video stream, in file order: presentation time and key flag.
struct ProbedPacket {
    double ptsTime = 0;
    bool key = false;
};
std::vector<ProbedPacket> Packets(const std::string& path);
// FFmpeg plays `path` (a file or a playlist) through: its error output, "" when clean.
std::string PlayErrors(const std::string& path);
// Average PSNR (dB) of `path` against raw yuv420p `reference` of the given size; -1 on failure.
double AveragePsnr(const std::string& path, const std::string& reference, int width, int height);

// Decoder fixtures, 320x240 at 25 frames/s.
std::string H264Mp4NoB();      // 2 s, key frame every 10, no B-frames
std::string H264Mp4B();        // 2 s, B-frames
std::string HevcMkv();         // 1 s
std::string Vp9Webm();         // 1 s
std::string TsVideoSecond();   // 2 s, audio first: video is stream 1, the clock starts at 1.4 s
std::string MjpegFullRange();  // 1 s
std::string Mpeg4OddSize();    // 1 s, 321x241
std::string H264Yuv422();      // 1 s
std::string Ts10s();           // 10 s, key frame every second

// ---- the ruvar tool -----------------------------------------------------------------------------

// Runs the ruvar tool of this build with `args`: its exit status, stdout and stderr in `output`.
// `env`: variables set for it ("NAME=value ...").
int RunRuvar(const std::string& args, std::string* output, const std::string& env = "");
// `ruvar decode --md5 --json <args>`: the digest and time of each frame and the end state.
struct ToolDecode {
    int code = -1;
    std::vector<std::string> digests;
    std::vector<long long> times;
    std::string endState, output;
};
ToolDecode RuvarDecode(const std::string& args, const std::string& env = "");

// ---- decoding -----------------------------------------------------------------------------------

// MD5 of the tightly packed planes of a 4:2:0 frame (what framemd5 gives for yuv420p).
std::string PlanesMd5(const IDecodedFrame& frame);
struct Decoded {
    std::vector<std::string> digests;
    std::vector<long long> times;
    DecoderState endState = Ok;
};
// Decodes until the first result that is not a picture, at most `limit` pictures.
Decoded DecodeAll(IFrameDecoder& decoder, size_t limit = 100000);
VideoFileInfo InfoFor(const std::string& path);
std::vector<std::shared_ptr<DecoderParameter>> Timeouts(int connectMs, int frameMs);

// ---- faults -------------------------------------------------------------------------------------

// A directory where writing fails once about `bytes` are used: a tmpfs of that size in a mount
// namespace of its own. Made in a child process (EXPECT_EXIT) before the writers start threads;
// throws when it cannot be made.
class SmallDisk {
public:
    SmallDisk(const std::string& name, uint64_t bytes);
    ~SmallDisk();
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};
// Writes `path` until the disk refuses more; the bytes written.
uint64_t FillDisk(const std::string& path);
// A copy of `bytes` with `flips` bits flipped at positions drawn from `seed`, sparing the first
// `spare` bytes.
std::string BitFlipped(const std::string& bytes, unsigned flips, uint32_t seed, size_t spare);

// A check inside a death-test child: on failure it says what failed and ends the child with 1.
#define RUVAR_CHILD_CHECK(cond, what)                                             \
    do {                                                                         \
        if (!(cond)) {                                                           \
            std::fprintf(stderr, "check failed: %s\n", std::string(what).c_str()); \
            std::fflush(stderr);                                                 \
            std::_Exit(1);                                                       \
        }                                                                        \
    } while (0)

// ---- HLS ------------------------------------------------------------------------------------------

// What the segment callback was told, with the file's size and MD5 at the moment of the call.
struct SegmentReport {
    std::string path;
    long long size = -1;
    std::string md5;
};
class SegmentRecorder {
public:
    static SegmentRecorder& Instance();
    static void Callback(const char* path);  // the plain callback handed to the writers
    void Clear();
    std::vector<SegmentReport> Reports() const;
    std::vector<std::string> Paths() const;

private:
    mutable std::mutex m_mutex;
    std::vector<SegmentReport> m_reports;
};
Halvora::RuvarEduzid::H264StreamConfig StreamConfig(int width, int height, int segmentDuration, int gopsPerSegment,
                                                   bool live = false);

}  // namespace RuvarTest
