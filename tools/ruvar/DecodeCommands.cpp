// ruvar probe / decode / packets: reading sources through FFMpegDecoder.

#include "Common/DateTime.h"
#include "Common/StringUtility.h"
#include "RuvarEduzid/DecoderUtils.h"
#include "RuvarEduzid/EncodedAvPacket.h"
#include "RuvarEduzid/FFMpegDecoder.h"
#include "Rtsp/RtspExtensions.h"
#include "tools/ruvar/Commands.h"
#include "tools/ruvar/DecoderSetup.h"
#include "tools/ruvar/StopSignal.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

using Halvora::Common::StringUtility;
namespace Native = Halvora::Video::Native;

namespace Ruvar {

namespace {

const char* kProbeHelp =
    "Usage: ruvar probe SOURCE [--json]\n"
    "\n"
    "Shows the container, codec, picture size, frame rate and duration of SOURCE (a file or an\n"
    "rtsp://, http:// or https:// address) without decoding it. A duration the source does not\n"
    "state (a raw stream, a live camera) is N/A (null in JSON). For an rtsp:// source it also\n"
    "listens to the stream (until an RTCP sender report came, at most 5 seconds) and tells\n"
    "whether the source sends sender reports and ONVIF replay timestamps: the clock that\n"
    "`ruvar decode --vms camera` dates frames by.\n";

const char* kDecodeHelp =
    "Usage: ruvar decode SOURCE [OPTIONS]\n"
    "\n"
    "Decodes SOURCE and prints one line per frame: index, decoder state, UTC capture time\n"
    "(ISO 8601, 100-ns precision), size and, with --md5, the MD5 of the picture packed as\n"
    "yuv420p (the digest FFmpeg's framemd5 gives for rawvideo yuv420p).\n"
    "\n"
    "Options:\n"
    "  --frames N             stop after N frames\n"
    "  --keyframes            decode key frames only\n"
    "  --md5                  print the picture digest of each frame\n"
    "  --start-time TIME      UTC time of the first frame, ISO 8601 (2024-05-01T12:00:00.5Z)\n"
    "  --utc-offset HOURS     added to frame times dated by the stream clock (above 0, at most\n"
    "                         24; whole minutes); not with --start-time or --live-chunks\n"
    "  --timeout SECONDS      network sources: time-out of the connection and of each frame\n"
    "  --transport MODE       rtsp:// sources: tcp (default), udp, prefer-tcp or multicast\n"
    "  --gpu N                decode on NVIDIA GPU N (with --decoder)\n"
    "  --decoder KIND         software (default), cuda, cuvid or cuvid-then-software\n"
    "  --threads N            decoding threads: 1 (default; live streams), 0 (FFmpeg picks from\n"
    "                         the cores; files); each extra thread holds a picture back a frame\n"
    "  --vms NAME             decode a video-management-system stream (generic, milestone,\n"
    "                         seetec, dvtel, genetec, iss, vmsagent) or a camera's own clock\n"
    "                         (camera: ONVIF timestamps or RTCP sender reports); --gpu N picks\n"
    "                         the GPU\n"
    "  --options JSON         JSON options of the video-management-system stream: HwDecoder\n"
    "                         (with --gpu), RtspConnectionTimeout, RtspGetFrameTimeoutParameter\n"
    "  --live-chunks BYTES    feed the file through the live memory buffer in chunks of BYTES;\n"
    "                         frames carry their arrival time, in whole seconds\n"
    "  --json, --quiet, --log-level N\n";

const char* kPacketsHelp =
    "Usage: ruvar packets SOURCE [-o FILE [-y]] [--frames N] [--json]\n"
    "\n"
    "Lists the compressed packets of the video stream of SOURCE: index, size and key flag.\n"
    "H.264 and HEVC packets are in Annex B form; with -o they are written one after the\n"
    "other to FILE, which is then a raw elementary stream that ffmpeg and ffprobe read. An\n"
    "existing FILE is replaced only with -y (--overwrite). The input options --timeout,\n"
    "--transport and --live-chunks apply.\n";

std::string CodecName(int codecId) { return avcodec_get_name(static_cast<AVCodecID>(codecId)); }

std::string DurationText(const boost::posix_time::time_duration& d) {
    if (d.total_microseconds() <= 0) return "N/A";
    char buf[64];
    long long us = d.total_microseconds();
    std::snprintf(buf, sizeof buf, "%02lld:%02lld:%02lld.%03lld", us / 3600000000LL, us / 60000000LL % 60,
                  us / 1000000LL % 60, us / 1000LL % 1000);
    return buf;
}

// What an rtsp:// source tells of its own clock, heard while reading its packets until a sender
// report came (a camera sends its first within seconds), at most kClockListenSeconds.
constexpr int kClockListenSeconds = 5;
struct LiveClock {
    bool senderReports = false;
    bool onvifTimes = false;
};

LiveClock ListenForClock(const std::string& source) {
    LiveClock clock;
    Halvora::RuvarEduzid::FFMpegDecoder decoder;
    std::vector<std::shared_ptr<Native::DecoderParameter>> none;
    if (!decoder.Initialize(Native::VideoFileInfo(StringUtility::StringToWstring(source)), &none)) return clock;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kClockListenSeconds);
    while (!StopSignal::Requested()) {
        const RTPDemuxContext* rtp = rtsp_get_rtp_demux_context(decoder.getFormatCtx(), 0);
        if (!rtp) break;
        clock.senderReports = rtp->sender_reports > 0;
        clock.onvifTimes = rtp->onvif_packets > 0;
        if ((clock.senderReports && rtp->rtp_packets > 0) || std::chrono::steady_clock::now() >= deadline) break;
        if (decoder.GetNextPacket()->GetDemuxerState() != Native::Ok) break;
    }
    return clock;
}

}  // namespace

int Probe(const std::vector<std::string>& argv) {
    if (HelpRequested(argv, kProbeHelp)) return 0;
    Args args(argv, kCommonValued, kCommonFlags);
    Output out = MakeOutput(args);
    if (args.Positionals().size() != 1) throw UsageError("probe needs exactly one SOURCE");
    const std::string source = args.Positionals()[0];
    CheckLocalSource(source);

    Halvora::RuvarEduzid::FFMpegDecoder decoder;
    Native::VideoFileInfoResult result;
    try {
        result = decoder.GetVideoFileInfo(StringUtility::StringToWstring(source));
    } catch (const std::exception& e) {
        throw RunError("cannot probe '" + StringUtility::HideRtspPassword(source) + "': " + e.what());
    }
    if (result.infos.empty()) throw RunError("cannot probe '" + StringUtility::HideRtspPassword(source) + "'");
    const auto& info = *result.infos[0];
    std::string container = ContainerName(source);
    const bool rtsp = source.find("rtsp://") != std::string::npos;
    const LiveClock clock = rtsp ? ListenForClock(source) : LiveClock();

    if (out.Json()) {
        Json::Value v;
        v["source"] = StringUtility::HideRtspPassword(source);
        v["container"] = container;
        v["codec"] = CodecName(info.codecId);
        v["width"] = info.width;
        v["height"] = info.height;
        v["fps"] = info.fps;
        // A duration of 0 is what the library reports when the source states none.
        const long long us = info.duration.total_microseconds();
        v["duration_seconds"] = us > 0 ? Json::Value(static_cast<double>(us) / 1e6) : Json::Value();
        if (rtsp) {
            v["sender_reports"] = clock.senderReports;
            v["onvif_timestamps"] = clock.onvifTimes;
        }
        out.Record(v);
    } else {
        char fps[32];
        std::snprintf(fps, sizeof fps, "%.3f", info.fps);
        out.Line("source:     " + StringUtility::HideRtspPassword(source));
        out.Line("container:  " + container);
        out.Line("codec:      " + CodecName(info.codecId));
        out.Line("size:       " + std::to_string(info.width) + "x" + std::to_string(info.height));
        out.Line("frame rate: " + std::string(fps));
        out.Line("duration:   " + DurationText(info.duration));
        if (rtsp) {
            out.Line(std::string("clock:      ") +
                     (clock.onvifTimes ? "ONVIF timestamps" : clock.senderReports ? "RTCP sender reports" : "none heard") +
                     (clock.onvifTimes && clock.senderReports ? ", RTCP sender reports" : ""));
        }
    }
    return 0;
}

int Decode(const std::vector<std::string>& argv) {
    if (HelpRequested(argv, kDecodeHelp)) return 0;
    Args args(argv, Join(Join(kCommonValued, kDecodeValued), {"--frames", "--start-time", "--utc-offset", "--vms", "--options", "--threads"}),
              Join(kCommonFlags, {"--keyframes", "--md5"}));
    Output out = MakeOutput(args);
    if (args.Positionals().size() != 1) throw UsageError("decode needs exactly one SOURCE");
    const std::string source = args.Positionals()[0];
    const int64_t maxFrames = args.Integer("--frames", -1, 1, INT64_MAX);
    const bool keyFrames = args.Has("--keyframes");
    const bool md5 = args.Has("--md5");

    OpenedDecoder opened = OpenDecoder(source, args);
    int64_t index = 0;
    int lastState = 0;
    while (maxFrames < 0 || index < maxFrames) {
        int state = 0;
        std::shared_ptr<Native::IDecodedFrame> frame = opened.Next(keyFrames, state);
        if (!frame) {
            lastState = state;
            break;
        }
        std::string digest;
        if (md5) {
            frame->MoveToRam();
            digest = PackedYuv420pMd5(frame->GetY(), frame->GetU(), frame->GetV(), frame->StrideY(), frame->StrideUV(),
                                      frame->Width(), frame->Height());
        }
        if (out.Json()) {
            Json::Value v;
            v["index"] = static_cast<Json::Int64>(index);
            v["state"] = StateName(Native::Ok);
            v["time"] = IsoTime(opened.FileTime(*frame));
            v["file_time"] = static_cast<Json::Int64>(opened.FileTime(*frame));
            v["width"] = frame->Width();
            v["height"] = frame->Height();
            if (md5) v["md5"] = digest;
            out.Record(v);
        } else {
            std::ostringstream line;
            line << index << " " << StateName(Native::Ok) << " " << IsoTime(opened.FileTime(*frame)) << " " << frame->Width()
                 << "x" << frame->Height();
            if (md5) line << " " << digest;
            out.Line(line.str());
        }
        ++index;
        out.Progress(index);
    }
    out.EndProgress();
    if (lastState == Native::Error && index == 0) throw RunError(WithCause("decoding '" + StringUtility::HideRtspPassword(source) + "' failed"));
    ReportLostStream(lastState, index, source);
    if (out.Json()) {
        Json::Value v;
        v["summary"] = true;
        v["frames"] = static_cast<Json::Int64>(index);
        v["end_state"] = StateName(lastState);
        out.Record(v);
    } else if (!out.Quiet()) {
        std::fprintf(stderr, "%lld frames, ended with %s\n", static_cast<long long>(index), StateName(lastState).c_str());
    }
    return lastState == Native::Error ? 1 : 0;
}

int Packets(const std::vector<std::string>& argv) {
    if (HelpRequested(argv, kPacketsHelp)) return 0;
    Args args(argv, Join(Join(kCommonValued, kInputValued), {"-o", "--output", "--frames"}),
              Join(kCommonFlags, kOverwriteFlags));
    Output out = MakeOutput(args);
    if (args.Positionals().size() != 1) throw UsageError("packets needs exactly one SOURCE");
    const std::string source = args.Positionals()[0];
    const int64_t maxPackets = args.Integer("--frames", -1, 1, INT64_MAX);
    auto outputPath = args.Value("-o");
    if (!outputPath) outputPath = args.Value("--output");
    else if (args.Has("--output")) throw UsageError("give -o or --output, not both");
    if (!outputPath && Overwrite(args)) throw UsageError("-y applies to -o FILE only");

    if (outputPath) CheckOutput(*outputPath, Overwrite(args));
    OpenedDecoder opened = OpenDecoder(source, args);
    std::ofstream file;
    if (outputPath) {
        file.open(*outputPath, std::ios::binary | std::ios::trunc);
        if (!file) throw RunError("cannot write '" + *outputPath + "': " + std::strerror(errno));
    }
    int64_t index = 0, bytes = 0;
    int lastState = 0;
    while ((maxPackets < 0 || index < maxPackets) && !StopSignal::Requested()) {
        auto packet = opened.decoder->GetNextPacket();
        int state = packet->GetDemuxerState();
        if (state == Native::NotAvailable && opened.FeedMore()) continue;
        if (state == Native::NotAvailable && opened.network && !StopSignal::Requested()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));  // a live stream's pause
            continue;
        }
        if (state != Native::Ok) {
            lastState = state;
            break;
        }
        bool key = false;
        if (auto* av = dynamic_cast<Halvora::RuvarEduzid::EncodedAvPacket*>(packet.get()))
            key = av->IsKeyFrame();
        if (file) file.write(reinterpret_cast<const char*>(packet->ImageData()), packet->DataSize());
        bytes += packet->DataSize();
        if (out.Json()) {
            Json::Value v;
            v["index"] = static_cast<Json::Int64>(index);
            v["size"] = packet->DataSize();
            v["key"] = key;
            out.Record(v);
        } else {
            out.Line(std::to_string(index) + " size " + std::to_string(packet->DataSize()) + (key ? " key" : ""));
        }
        ++index;
        out.Progress(index);
    }
    out.EndProgress();
    if (file) {
        file.close();
        if (!file) throw RunError("writing '" + *outputPath + "' failed: " + std::strerror(errno));
    }
    ReportLostStream(lastState, index, source);
    if (out.Json()) {
        Json::Value v;
        v["summary"] = true;
        v["packets"] = static_cast<Json::Int64>(index);
        v["bytes"] = static_cast<Json::Int64>(bytes);
        v["end_state"] = StateName(lastState);
        out.Record(v);
    } else if (!out.Quiet()) {
        std::fprintf(stderr, "%lld packets, %lld bytes, ended with %s\n", static_cast<long long>(index),
                     static_cast<long long>(bytes), StateName(lastState).c_str());
    }
    return lastState == Native::Error ? 1 : 0;
}

}  // namespace Ruvar
