// ruvar demo: the library end to end on a video it makes itself; no input, no network.

#include "Common/DateTime.h"
#include "Common/StringUtility.h"
#include "Orvi/Yuv420PImage.h"
#include "RuvarEduzid/DecoderUtils.h"
#include "RuvarEduzid/GenericVideoWriter.h"
#include "RuvarEduzid/HlsWriterParams.h"
#include "RuvarEduzid/MultiStreamHlsWriter.h"
#include "RuvarEduzid/VideoWriterFactory.h"
#include "tools/ruvar/Commands.h"

#include <opencv2/core.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

using Halvora::Common::DateTime;
using Halvora::Common::StringUtility;
namespace Native = Halvora::Video::Native;
namespace RE = Halvora::RuvarEduzid;

namespace Ruvar {

RE::H264StreamConfig ParseRendition(const std::string& spec, int segment, int gops, bool live);

namespace {

const char* kDemoHelp =
    "Usage: ruvar demo [--output DIR] [-y] [--json]\n"
    "\n"
    "Runs the library end to end without any input: makes a 4-second moving test pattern with\n"
    "the library's own writer, decodes it with frame times, transcodes it to MP4 and writes a\n"
    "two-rendition HLS presentation. Everything goes to DIR (default ./ruvar-demo); files of an\n"
    "earlier run are replaced only with -y (--overwrite).\n";

constexpr int kWidth = 640, kHeight = 360, kFps = 25, kFrames = 100;

// A moving test pattern: diagonal gradient, a bouncing box and a frame-counter bar.
Halvora::Orvi::Yuv420PImage Pattern(int n) {
    cv::Mat_<unsigned char> y(kHeight, kWidth), u(kHeight / 2, kWidth / 2), v(kHeight / 2, kWidth / 2);
    for (int r = 0; r < kHeight; ++r)
        for (int c = 0; c < kWidth; ++c) y(r, c) = static_cast<unsigned char>(16 + ((r + c + 4 * n) % 220));
    for (int r = 0; r < kHeight / 2; ++r)
        for (int c = 0; c < kWidth / 2; ++c) {
            u(r, c) = static_cast<unsigned char>(64 + (c * 128) / (kWidth / 2));
            v(r, c) = static_cast<unsigned char>(64 + (r * 128) / (kHeight / 2));
        }
    int bx = (n * 12) % (kWidth - 80), by = 40 + (n * 7) % (kHeight - 120);
    y(cv::Rect(bx, by, 80, 80)) = 235;
    u(cv::Rect(bx / 2, by / 2, 40, 40)) = 90;
    v(cv::Rect(bx / 2, by / 2, 40, 40)) = 240;
    y(cv::Rect(0, kHeight - 16, (kWidth * (n + 1)) / kFrames, 16)) = 235;
    return Halvora::Orvi::Yuv420PImage(y, u, v);
}

int64_t FileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

}  // namespace

int Demo(const std::vector<std::string>& argv) {
    if (HelpRequested(argv, kDemoHelp)) return 0;
    Args args(argv, Join(kCommonValued, {"--output"}), Join(kCommonFlags, kOverwriteFlags));
    Output out = MakeOutput(args);
    if (!args.Positionals().empty()) throw UsageError("demo takes no SOURCE");
    const std::string dir = args.Value("--output").value_or("ruvar-demo");
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
        throw RunError("cannot create '" + dir + "': " + std::strerror(errno));
    const std::string source = dir + "/pattern.mp4", mp4 = dir + "/transcoded.mp4", master = dir + "/hls/master.m3u8";
    for (const auto& path : {source, mp4}) CheckOutput(path, Overwrite(args));
    if (::mkdir((dir + "/hls").c_str(), 0755) != 0 && errno != EEXIST)
        throw RunError("cannot create '" + dir + "/hls': " + std::strerror(errno));
    CheckOutput(master, Overwrite(args));

    // 1. The source: frames drawn here, encoded by the library's writer.
    {
        RE::GenericVideoWriter writer(StringUtility::StringToWstring(source), kWidth, kHeight, kFps * 100);
        DateTime t = DateTime::NowUTC();
        for (int n = 0; n < kFrames; ++n)
            writer.WriteFrame(Pattern(n), DateTime(t.GetFileTime() + n * DateTime::TicksPerSecond / kFps));
        writer.WriteFrame(Halvora::Orvi::Yuv420PImage(), t);  // hands over the last held frame
    }

    // 2. Decode it with capture times counted from a chosen start, and write MP4 and HLS from it.
    const DateTime start = DateTime::FromUnixSeconds(1735732800);  // 2025-01-01T12:00:00Z
    Native::VideoFileInfo info(StringUtility::StringToWstring(source));
    info.decoderId = RE::DecoderUtils::HalvoraFFmpegDecoderId;
    info.startTime = start;
    std::vector<std::shared_ptr<Native::DecoderParameter>> none;
    std::unique_ptr<Native::IFrameDecoder> decoder(RE::DecoderUtils::CreateDecoder(info, &none));

    RE::HlsWriterParams params(StringUtility::StringToWstring(master), kFrames / double(kFps), kFps, RE::GetTsFilePathCb{nullptr});
    params.streams.push_back(ParseRendition("640x360:crf=23", 2, 2, false));
    params.streams.push_back(ParseRendition("320x180:crf=28", 2, 2, false));
    int frames = 0;
    long long first = 0, last = 0;
    {
        RE::GenericVideoWriter writer(StringUtility::StringToWstring(mp4), 480, 270, kFps * 100);
        auto hls = RE::VideoWriterFactory::CreateHlsWriter(params);
        std::shared_ptr<Native::IDecodedFrame> lastFrame;
        for (;;) {
            auto frame = decoder->GetNextFrame();
            if (frame->GetDecoderState() != Native::Ok) break;
            if (frames == 0) first = frame->GetFileTimeUtc();
            last = frame->GetFileTimeUtc();
            writer.WriteFrame(frame);
            hls->WriteFrame(frame);
            lastFrame = frame;
            ++frames;
            out.Progress(frames);
        }
        out.EndProgress();
        // The MP4 writer encodes one call late: the last frame is handed over once more.
        if (lastFrame) writer.WriteFrame(lastFrame);
    }
    if (frames != kFrames) throw RunError("decoded " + std::to_string(frames) + " frames instead of " + std::to_string(kFrames));

    if (out.Json()) {
        Json::Value v;
        v["frames"] = frames;
        v["first_time"] = IsoTime(first);
        v["last_time"] = IsoTime(last);
        v["source"] = source;
        v["source_bytes"] = static_cast<Json::Int64>(FileSize(source));
        v["mp4"] = mp4;
        v["mp4_bytes"] = static_cast<Json::Int64>(FileSize(mp4));
        v["hls_master"] = master;
        out.Record(v);
    } else {
        out.Line("RuvarEduzid demo");
        out.Line("  made      " + source + " (" + std::to_string(kWidth) + "x" + std::to_string(kHeight) + ", " +
                 std::to_string(kFrames) + " frames at " + std::to_string(kFps) + " fps, " + std::to_string(FileSize(source)) +
                 " bytes)");
        out.Line("  decoded   " + std::to_string(frames) + " frames, capture times " + IsoTime(first) + " .. " + IsoTime(last));
        out.Line("  mp4       " + mp4 + " (480x270, " + std::to_string(FileSize(mp4)) + " bytes)");
        out.Line("  hls       " + master + " (renditions 640x360 in 0/, 320x180 in 1/, 2-second segments)");
        out.Line("");
        out.Line("Play them with:  ffplay " + mp4 + "   or   ffplay " + master);
        out.Line("Inspect with:    ruvar probe " + mp4 + "   and   ruvar decode " + source + " --md5 --frames 5");
    }
    return 0;
}

}  // namespace Ruvar
