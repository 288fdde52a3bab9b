#include "RuvarEduzid/FFMpegGate.h"

#include "Common/Logger.h"
#include "Common/StringUtility.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/log.h>
#include <libavutil/mathematics.h>
#include <libavutil/avstring.h>
#include <libavutil/opt.h>
}

#include <atomic>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace Halvora {
namespace RuvarEduzid {
namespace FFMpegGate {

namespace {
std::atomic<char> g_initialized{0};
std::atomic<int> g_threshold{-8};
std::atomic<int> g_printPrefix{1};

template <typename... Args>
std::string Format(const char* format, Args... args) {
    char buffer[2048];
    std::snprintf(buffer, sizeof buffer, format, args...);
    return buffer;
}
}  // namespace

void EnsureInitialization(LogLevel level) {
    if (g_initialized.exchange(1) == 1) return;
    g_threshold.store(level);
    av_log_set_level(level);
    av_log_set_callback(&Detail::LogCallback);
}

const char* ToFFmpegString(H264Profile profile) {
    switch (profile) {
        case H264ProfileBaseline: return "baseline";
        case H264ProfileMain: return "main";
        case H264ProfileHigh: return "high";
        case H264ProfileHigh10: return "high10";
        case H264ProfileHigh422: return "high422";
        case H264ProfileHigh444: return "high444";
        default: return "";
    }
}

const char* ToFFmpegString(H264Level level) {
    switch (static_cast<int>(level)) {
        case 10: return "1.0";
        case 11: return "1.1";
        case 12: return "1.2";
        case 13: return "1.3";
        case 20: return "2.0";
        case 21: return "2.1";
        case 22: return "2.2";
        case 30: return "3.0";
        case 31: return "3.1";
        case 32: return "3.2";
        case 40: return "4.0";
        case 41: return "4.1";
        case 42: return "4.2";
        case 50: return "5.0";
        case 51: return "5.1";
        case 52: return "5.2";
        default: return "";
    }
}

void DumpInputVideo(AVFormatContext* input, AVCodecContext* decoder) {
    if (!Common::Logger::IsEnabled(Common::LogDebug) || !input || !decoder) return;
    Common::Logger::ScopedLog(Common::LogDebug, "RuvarEduzid/FFMpegGate", 244,
                              "Halvora::RuvarEduzid::FFMpegGate::DumpInputVideo")
            .Stream()
        << Detail::BuildInputDump(input, decoder);
}

namespace Detail {

int MapLevel(int ffmpegLevel) {
    if (ffmpegLevel <= AV_LOG_ERROR) return Common::LogError;
    if (ffmpegLevel <= AV_LOG_WARNING) return Common::LogWarning;
    if (ffmpegLevel <= AV_LOG_VERBOSE) return Common::LogInfo;
    return Common::LogTrace;
}

int Threshold() { return g_threshold.load(); }

void LogCallback(void* context, int level, const char* format, va_list args) {
    if (level > g_threshold.load(std::memory_order_relaxed)) return;
    char line[2048];
    // The prefix state carries over from piece to piece; one exchange keeps it race-free.
    int printPrefix = g_printPrefix.load();
    av_log_format_line(context, level, format, args, line, sizeof line, &printPrefix);
    g_printPrefix.store(printPrefix);
    size_t length = std::strlen(line);
    if (length > 0) line[length - 1] = '\0';  // the line feed that ends each FFmpeg line
    int mapped = MapLevel(level);
    if (!Common::Logger::IsEnabled(mapped)) return;
    // FFmpeg names the addresses it opens: their passwords stay out of the log.
    if (std::strstr(line, "://") && std::strchr(line, '@')) {
        Common::Logger::Log(mapped, nullptr, 0, nullptr, Common::StringUtility::HideRtspPassword(std::string(line)));
        return;
    }
    Common::Logger::Log(mapped, nullptr, 0, nullptr, line);
}

std::string FormatDuration(int64_t duration) {
    if (duration == AV_NOPTS_VALUE) return "N/A";
    if (duration <= INT64_MAX - 5000) duration += 5000;
    int64_t secs = duration / AV_TIME_BASE;
    int64_t us = duration % AV_TIME_BASE;
    int64_t mins = secs / 60;
    secs %= 60;
    int64_t hours = mins / 60;
    mins %= 60;
    return Format("%02d:%02d:%02d.%02d", static_cast<int>(hours), static_cast<int>(mins), static_cast<int>(secs),
                  static_cast<int>((100 * us) / AV_TIME_BASE));
}

std::string FormatStart(int64_t start) {
    int secs = static_cast<int>(std::llabs(start / AV_TIME_BASE));
    int us = static_cast<int>(av_rescale(std::llabs(start % AV_TIME_BASE), 1000000, AV_TIME_BASE));
    return Format("%s%d.%06d", start >= 0 ? "" : "-", secs, us);
}

std::string FormatBitrate(int64_t bitRate) {
    if (bitRate == 0) return "N/A";
    return Format("%" PRId64 "  kb/s", bitRate / 1000);
}

std::string FormatRate(double d, const char* postfix) {
    uint64_t v = static_cast<uint64_t>(std::floor(d * 100 + 0.5));
    if (v == 0) return Format("%1.4f %s", d, postfix);
    if (v % 100) return Format("%3.2f %s", d, postfix);
    if (v % (100 * 1000)) return Format("%1.0f %s", d, postfix);
    return Format("%1.0fk %s", d / 1000, postfix);
}

std::string FormatMetadata(const AVDictionary* m, const char* indent) {
    if (!m || (av_dict_count(m) == 1 && av_dict_get(m, "language", nullptr, 0))) return std::string();
    std::string out = Format("%sMetadata:\n", indent);
    const AVDictionaryEntry* tag = nullptr;
    while ((tag = av_dict_get(m, "", tag, AV_DICT_IGNORE_SUFFIX))) {
        if (std::strcmp("language", tag->key) == 0) continue;
        out += Format("%s  %-16s: ", indent, tag->key);
        const char* p = tag->value;
        while (*p) {
            char piece[256];
            size_t len = std::strcspn(p, "\x8\xa\xb\xc\xd");
            av_strlcpy(piece, p, FFMIN(sizeof(piece), len + 1));
            out += piece;
            p += len;
            if (*p == 0xd) out += " ";
            if (*p == 0xa) out += Format("\n%s  %-16s: ", indent, "");
            if (*p) p++;
        }
        out += "\n";
    }
    return out;
}

std::string BuildInputDump(AVFormatContext* input, AVCodecContext* decoder) {
    std::ostringstream os;
    os << "Input: " << Format("%s", input->iformat ? input->iformat->name : "");
    os << FormatMetadata(input->metadata, "  ");
    os << "  Duration: " << FormatDuration(input->duration);
    if (input->start_time != AV_NOPTS_VALUE) os << ", start: " << FormatStart(input->start_time);
    os << ", bitrate: " << FormatBitrate(input->bit_rate) << "\n";

    const char* separator = input->dump_separator ? reinterpret_cast<const char*>(input->dump_separator) : ", ";
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        AVStream* st = input->streams[i];
        const AVDictionaryEntry* lang = av_dict_get(st->metadata, "language", nullptr, 0);
        char codec[256];
        uint8_t** sepSlot = static_cast<uint8_t**>(av_opt_ptr(avcodec_get_class(), decoder, "dump_separator"));
        if (sepSlot && !*sepSlot && input->dump_separator) {
            *sepSlot = reinterpret_cast<uint8_t*>(av_strdup(reinterpret_cast<const char*>(input->dump_separator)));
            avcodec_string(codec, sizeof codec, decoder, 0);
            av_freep(sepSlot);
        } else {
            avcodec_string(codec, sizeof codec, decoder, 0);
        }
        os << Format("    Stream #%d:%d", 0, static_cast<int>(i));
        if (input->iformat && (input->iformat->flags & AVFMT_SHOW_IDS)) os << Format("[0x%x]", st->id);
        if (lang) os << Format("(%s)", lang->value);
        // FFmpeg 5.1 keeps the probe's frame count private; the stream header's frame count stands in.
        os << Format(", %d, %d/%d", static_cast<int>(st->nb_frames), st->time_base.num, st->time_base.den);
        os << Format(": %s", codec);
        if (st->sample_aspect_ratio.num && av_cmp_q(st->sample_aspect_ratio, decoder->sample_aspect_ratio)) {
            AVRational dar;
            av_reduce(&dar.num, &dar.den, static_cast<int64_t>(decoder->width) * st->sample_aspect_ratio.num,
                      static_cast<int64_t>(decoder->height) * st->sample_aspect_ratio.den, 1024 * 1024);
            os << Format(", SAR %d:%d DAR %d:%d", st->sample_aspect_ratio.num, st->sample_aspect_ratio.den, dar.num,
                         dar.den);
        }
        if (decoder->codec_type == AVMEDIA_TYPE_VIDEO) {
            bool fps = st->avg_frame_rate.den && st->avg_frame_rate.num;
            bool tbr = st->r_frame_rate.den && st->r_frame_rate.num;
            bool tbn = st->time_base.den && st->time_base.num;
            bool tbc = decoder->time_base.den && decoder->time_base.num;
            if (fps || tbr || tbn || tbc) os << separator;
            if (fps) os << FormatRate(av_q2d(st->avg_frame_rate), tbr || tbn || tbc ? "fps, " : "fps");
            if (tbr) os << FormatRate(av_q2d(st->r_frame_rate), tbn || tbc ? "tbr, " : "tbr");
            if (tbn) os << FormatRate(1 / av_q2d(st->time_base), tbc ? "tbn, " : "tbn");
            if (tbc) os << FormatRate(1 / av_q2d(decoder->time_base), "tbc");
        }
        os << "\n" << FormatMetadata(st->metadata, "    ");
    }
    return os.str();
}

}  // namespace Detail
}  // namespace FFMpegGate
}  // namespace RuvarEduzid
}  // namespace Halvora
