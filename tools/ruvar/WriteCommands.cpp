// ruvar mp4 / hls / convert: writing through GenericVideoWriter, the HLS writers and the
// in-memory MP4 conversion.

#include "Common/MemoryStream.h"
#include "Common/StringUtility.h"
#include "RuvarEduzid/FFMpegGate.h"
#include "RuvarEduzid/GenericVideoWriter.h"
#include "RuvarEduzid/H264_MP4Convertor.h"
#include "RuvarEduzid/HlsWriterParams.h"
#include "RuvarEduzid/MultiStreamHlsWriter.h"
#include "RuvarEduzid/VideoWriterFactory.h"
#include "tools/ruvar/Commands.h"
#include "tools/ruvar/DecoderSetup.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <sys/stat.h>

using Halvora::Common::StringUtility;
namespace Native = Halvora::Video::Native;
namespace RE = Halvora::RuvarEduzid;

namespace Ruvar {

namespace {

const char* kMp4Help =
    "Usage: ruvar mp4 SOURCE OUTPUT [-y] [--size WxH] [--fps F] [--frames N]\n"
    "\n"
    "Decodes SOURCE and encodes it to H.264 into OUTPUT. The container follows OUTPUT's\n"
    "extension (.mp4, .mkv, .mov, ...); MP4 when the extension says nothing. Ctrl-C ends the\n"
    "file after the last frame written.\n"
    "\n"
    "Options:\n"
    "  -y, --overwrite  replace OUTPUT when it exists\n"
    "  --size WxH     picture size of the output, even, up to 3840x2160 (default: the source's)\n"
    "  --fps F        nominal frame rate of the output (default: the source's, else 25)\n"
    "  --frames N     stop after N frames\n"
    "  plus the decode options --gpu, --decoder, --live-chunks, --timeout, --transport\n";

const char* kHlsHelp =
    "Usage: ruvar hls SOURCE MASTER.m3u8 --rendition WxH[:crf=N][:maxrate=N][:profile=P][:level=L] ...\n"
    "                 [-y] [--segment S] [--gops G] [--live] [--duration D] [--fps F]\n"
    "\n"
    "Decodes SOURCE and writes an HLS presentation: MASTER.m3u8, and for each rendition a\n"
    "numbered folder next to it with video.m3u8 and MPEG-TS segments. Each finished segment is\n"
    "printed as the library reports it. When the source ends before the expected length (or\n"
    "Ctrl-C stops it), the playlists end after the last whole segment.\n"
    "\n"
    "Options:\n"
    "  -y, --overwrite   replace MASTER.m3u8 when it exists\n"
    "  --rendition SPEC  one rendition (repeat for more): even size up to 3840x2160, then\n"
    "                    optional crf (default 23),\n"
    "                    maxrate in bit/s, profile (baseline, main, high) and level (3.1, 4.0, ...)\n"
    "  --segment S       segment length in seconds (default 6)\n"
    "  --gops G          key-frame intervals per segment (default 3)\n"
    "  --live            write the playlist as segments appear (default: complete in advance)\n"
    "  --duration D      expected length in seconds (default: the source's); not with --live\n"
    "  --fps F           frame rate (default: the source's)\n"
    "  --frames N        stop after N frames\n"
    "  plus the decode options --gpu, --decoder, --live-chunks, --timeout, --transport\n";

const char* kConvertHelp =
    "Usage: ruvar convert RAW.h264 OUTPUT.mp4 --fps F [-y]\n"
    "\n"
    "Wraps a raw H.264 elementary stream into MP4 in memory, without re-encoding, and writes the\n"
    "result to OUTPUT.mp4. Packet n gets the time n / F.\n";

struct SourceFacts {
    int width = 0;
    int height = 0;
    double fps = 0;
    double durationSeconds = 0;
};

// What the opened input states about its video stream (0 for what it does not state).
SourceFacts Facts(OpenedDecoder& opened) {
    SourceFacts f;
    AVFormatContext* input = opened.decoder->getFormatCtx();
    const int index = input ? av_find_best_stream(input, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0) : -1;
    if (index < 0) return f;
    const AVStream* stream = input->streams[index];
    f.width = stream->codecpar->width;
    f.height = stream->codecpar->height;
    const AVRational rate = stream->avg_frame_rate.num > 0 ? stream->avg_frame_rate : stream->r_frame_rate;
    if (rate.num > 0 && rate.den > 0) f.fps = av_q2d(rate);
    if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0)
        f.durationSeconds = static_cast<double>(stream->duration) * av_q2d(stream->time_base);
    else if (input->duration != AV_NOPTS_VALUE && input->duration > 0)
        f.durationSeconds = static_cast<double>(input->duration) / AV_TIME_BASE;
    return f;
}

int64_t FileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

// Decodes frames and hands them to `sink` until the end, an error, a stop request or `maxFrames`.
template <typename Sink>
int64_t Pump(OpenedDecoder& opened, Output& out, int64_t maxFrames, Sink&& sink, int& endState) {
    int64_t n = 0;
    endState = 0;
    while (maxFrames < 0 || n < maxFrames) {
        auto frame = opened.Next(false, endState);
        if (!frame) break;
        frame->MoveToRam();
        sink(frame);
        ++n;
        out.Progress(n);
    }
    out.EndProgress();
    return n;
}

RE::H264Profile ParseProfile(const std::string& text) {
    const char* names[] = {"", "baseline", "main", "high", "high10", "high422", "high444"};
    for (int i = 1; i <= 6; ++i)
        if (text == names[i]) return static_cast<RE::H264Profile>(i);
    throw UsageError("--rendition: profile '" + text + "' is not baseline, main, high, high10, high422 or high444");
}

RE::H264Level ParseLevel(const std::string& text) {
    for (int l : {10, 11, 12, 13, 20, 21, 22, 30, 31, 32, 40, 41, 42, 50, 51, 52})
        if (text == RE::FFMpegGate::ToFFmpegString(static_cast<RE::H264Level>(l)) || text == std::to_string(l) ||
            (l % 10 == 0 && text == std::to_string(l / 10)))
            return static_cast<RE::H264Level>(l);
    throw UsageError("--rendition: level '" + text + "' is not an H.264 level (1.0 ... 5.2)");
}

// Segment notifications arrive on the library's threads; they are printed one at a time.
std::mutex g_segmentMutex;
Output* g_segmentOutput = nullptr;
int64_t g_segments = 0;

void OnSegment(const char* path) {
    std::lock_guard<std::mutex> lock(g_segmentMutex);
    ++g_segments;
    if (!g_segmentOutput) return;
    if (g_segmentOutput->Json()) {
        Json::Value v;
        v["segment"] = path;
        v["size"] = static_cast<Json::Int64>(FileSize(path));
        g_segmentOutput->Record(v);
    } else {
        g_segmentOutput->EndProgress();
        g_segmentOutput->Line(std::string("segment ") + path + " (" + std::to_string(FileSize(path)) + " bytes)");
    }
}

}  // namespace

RE::H264StreamConfig ParseRendition(const std::string& spec, int segment, int gops, bool live) {
    RE::H264StreamConfig c{};
    size_t colon = spec.find(':');
    // The HLS encoder takes pictures up to 3840x2160.
    auto size = ParseSize("--rendition", spec.substr(0, colon), 3840, 2160);
    c.width = size.first;
    c.height = size.second;
    c.crf = 23;
    c.maxRate = 0;
    c.profile = static_cast<RE::H264Profile>(0);
    c.level = static_cast<RE::H264Level>(-1);
    c.liveGeneration = live;
    c.segmentDuration = segment;
    c.gopsPerSegment = gops;
    while (colon != std::string::npos) {
        size_t next = spec.find(':', colon + 1);
        std::string item = spec.substr(colon + 1, next == std::string::npos ? std::string::npos : next - colon - 1);
        size_t eq = item.find('=');
        if (eq == std::string::npos) throw UsageError("--rendition: '" + item + "' is not key=value");
        std::string key = item.substr(0, eq), value = item.substr(eq + 1);
        if (key == "crf") c.crf = static_cast<int>(ParseInteger("--rendition crf", value, 0, 51));
        else if (key == "maxrate") c.maxRate = static_cast<int>(ParseInteger("--rendition maxrate", value, 1, 1000000000));
        else if (key == "profile") c.profile = ParseProfile(value);
        else if (key == "level") c.level = ParseLevel(value);
        else throw UsageError("--rendition: unknown key '" + key + "' (crf, maxrate, profile, level)");
        colon = next;
    }
    return c;
}

int Mp4(const std::vector<std::string>& argv) {
    if (HelpRequested(argv, kMp4Help)) return 0;
    Args args(argv, Join(Join(kCommonValued, kDecodeValued), {"--size", "--fps", "--frames"}),
              Join(kCommonFlags, kOverwriteFlags));
    Output out = MakeOutput(args);
    if (args.Positionals().size() != 2) throw UsageError("mp4 needs SOURCE and OUTPUT");
    const std::string source = args.Positionals()[0], output = args.Positionals()[1];
    std::optional<std::pair<int, int>> size;
    if (auto s = args.Value("--size"))
        size = ParseSize("--size", *s, RE::GenericVideoWriter::MaxWidth, RE::GenericVideoWriter::MaxHeight);
    std::optional<double> givenFps;
    if (auto f = args.Value("--fps")) givenFps = ParseNumber("--fps", *f, 0.01, 1000);
    const int64_t maxFrames = args.Integer("--frames", -1, 1, INT64_MAX);
    CheckOutput(output, Overwrite(args));
    OpenedDecoder opened = OpenDecoder(source, args);
    SourceFacts facts = Facts(opened);
    int width = size ? size->first : facts.width, height = size ? size->second : facts.height;
    double fps = givenFps ? *givenFps : facts.fps > 0 ? facts.fps : 25;
    const std::string shownSource = StringUtility::HideRtspPassword(source);
    if (width <= 0 || height <= 0) throw RunError("the size of '" + shownSource + "' is unknown; give --size");
    if (width % 2 || height % 2)
        throw RunError("the size of '" + shownSource + "' (" + std::to_string(width) + "x" + std::to_string(height) +
                       ") is odd; give an even --size");

    int64_t frames = 0;
    int endState = 0;
    {
        RE::GenericVideoWriter writer(StringUtility::StringToWstring(output), width, height,
                                      static_cast<int>(std::lround(fps * 100)));
        std::shared_ptr<Native::IDecodedFrame> last;
        frames = Pump(opened, out, maxFrames,
                      [&](const auto& f) {
                          writer.WriteFrame(f);
                          last = f;
                      },
                      endState);
        // The writer encodes one call late and leaves the frame it still holds when it finishes:
        // handing the last frame over once more gets it into the file.
        if (last) writer.WriteFrame(last);
    }  // the writer finishes the file here
    if (frames == 0) throw RunError(WithCause("no frame could be decoded from '" + StringUtility::HideRtspPassword(source) + "'"));
    ReportLostStream(endState, frames, source);
    if (out.Json()) {
        Json::Value v;
        v["output"] = output;
        v["frames"] = static_cast<Json::Int64>(frames);
        v["width"] = width;
        v["height"] = height;
        v["fps"] = fps;
        v["bytes"] = static_cast<Json::Int64>(FileSize(output));
        out.Record(v);
    } else {
        out.Line("wrote " + output + ": " + std::to_string(frames) + " frames, " + std::to_string(width) + "x" +
                 std::to_string(height) + ", " + std::to_string(FileSize(output)) + " bytes");
    }
    return endState == Native::Error ? 1 : 0;
}

int Hls(const std::vector<std::string>& argv) {
    if (HelpRequested(argv, kHlsHelp)) return 0;
    Args args(argv,
              Join(Join(kCommonValued, kDecodeValued), {"--rendition", "--segment", "--gops", "--duration", "--fps", "--frames"}),
              Join(Join(kCommonFlags, kOverwriteFlags), {"--live"}), {"--rendition"});
    Output out = MakeOutput(args);
    if (args.Positionals().size() != 2) throw UsageError("hls needs SOURCE and MASTER.m3u8");
    const std::string source = args.Positionals()[0], master = args.Positionals()[1];
    auto renditions = args.Values("--rendition");
    if (renditions.empty()) throw UsageError("hls needs at least one --rendition WxH");
    int segment = static_cast<int>(args.Integer("--segment", 6, 1, 3600));
    int gops = static_cast<int>(args.Integer("--gops", 3, 1, 1000));
    // Only the playlist written in advance is planned from the length.
    if (args.Has("--duration") && args.Has("--live")) throw UsageError("--duration does not apply to --live");
    std::optional<double> givenDuration, givenFps;
    if (auto d = args.Value("--duration")) givenDuration = ParseNumber("--duration", *d, 0.001, 1e7);
    if (auto f = args.Value("--fps")) givenFps = ParseNumber("--fps", *f, 0, 1000);
    const int64_t maxFrames = args.Integer("--frames", -1, 1, INT64_MAX);
    std::vector<RE::H264StreamConfig> configs;
    for (const auto& r : renditions) configs.push_back(ParseRendition(r, segment, gops, args.Has("--live")));
    CheckOutput(master, Overwrite(args));
    OpenedDecoder opened = OpenDecoder(source, args);
    SourceFacts facts = Facts(opened);
    double duration = givenDuration ? *givenDuration : facts.durationSeconds;
    double fps = givenFps ? *givenFps : facts.fps;
    if (duration <= 0 && !args.Has("--live"))
        throw RunError("the length of '" + StringUtility::HideRtspPassword(source) +
                       "' is unknown; give --duration, or --live for a playlist written as segments appear");

    RE::HlsWriterParams params(StringUtility::StringToWstring(master), duration, fps, RE::GetTsFilePathCb{&OnSegment});
    params.streams = configs;
    g_segmentOutput = &out;
    int64_t frames = 0;
    int endState = 0;
    bool masterWritten = false;
    {
        std::shared_ptr<RE::IHlsWriter> writer = RE::VideoWriterFactory::CreateHlsWriter(params);
        frames = Pump(opened, out, maxFrames, [&](const auto& f) { writer->WriteFrame(f); }, endState);
        writer.reset();  // finishes every rendition and the master playlist
        masterWritten = FileSize(master) > 0;
    }
    g_segmentOutput = nullptr;
    if (frames == 0) throw RunError(WithCause("no frame could be decoded from '" + StringUtility::HideRtspPassword(source) + "'"));
    ReportLostStream(endState, frames, source);
    if (out.Json()) {
        Json::Value v;
        v["master"] = master;
        v["frames"] = static_cast<Json::Int64>(frames);
        v["segments"] = static_cast<Json::Int64>(g_segments);
        v["master_written"] = masterWritten;
        out.Record(v);
    } else {
        out.Line("wrote " + master + ": " + std::to_string(frames) + " frames, " + std::to_string(g_segments) +
                 " segments, " + std::to_string(renditions.size()) + " rendition(s)");
    }
    if (!masterWritten) throw RunError(WithCause("the master playlist was not written"));
    return endState == Native::Error ? 1 : 0;
}

int Convert(const std::vector<std::string>& argv) {
    if (HelpRequested(argv, kConvertHelp)) return 0;
    Args args(argv, Join(kCommonValued, {"--fps"}), Join(kCommonFlags, kOverwriteFlags));
    Output out = MakeOutput(args);
    if (args.Positionals().size() != 2) throw UsageError("convert needs RAW.h264 and OUTPUT.mp4");
    double fps = ParseNumber("--fps", args.Require("--fps"), 0.01, 1000);
    const std::string input = args.Positionals()[0], output = args.Positionals()[1];
    CheckLocalSource(input);
    CheckOutput(output, Overwrite(args));
    auto in = std::make_shared<Halvora::IO::MemoryOutputStream>();
    {
        std::ifstream f(input, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        if (bytes.empty()) throw RunError("'" + input + "' is empty");
        in->Write(bytes.data(), bytes.size());
    }
    auto mp4 = std::make_shared<Halvora::IO::MemoryOutputStream>();
    try {
        RE::ConvertH264_MP4(in, mp4, static_cast<float>(fps), cv::Size(0, 0));
    } catch (const std::exception& e) {
        throw RunError("cannot convert '" + input + "': " + e.what());
    }
    std::ofstream f(output, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(mp4->GetBuffer()), static_cast<std::streamsize>(mp4->GetSize()));
    f.close();
    if (!f) throw RunError("cannot write '" + output + "': " + std::strerror(errno));
    if (out.Json()) {
        Json::Value v;
        v["output"] = output;
        v["bytes"] = static_cast<Json::Int64>(mp4->GetSize());
        out.Record(v);
    } else {
        out.Line("wrote " + output + ": " + std::to_string(mp4->GetSize()) + " bytes");
    }
    return 0;
}

}  // namespace Ruvar
