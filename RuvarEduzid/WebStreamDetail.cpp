#include "RuvarEduzid/WebStreamDetail.h"

#include "Rtsp/RtspExtensions.h"

#include "Common/Json.h"
#include "Common/Logger.h"
#include "Common/StringUtility.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/frame.h>
#include <libavutil/mathematics.h>
}

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <limits>
#include <sstream>
#include <stdexcept>

using Halvora::Common::StringUtility;
using namespace Halvora::Video::Native;

namespace Halvora {
namespace RuvarEduzid {
namespace WebStreamDetail {

namespace {

// Signed sums of stream-supplied values wrap instead of overflowing.
int64_t WrappingAdd(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}

// The standard decimal conversion of a run of digits, with the texts of its two errors.
int64_t ToInt64(const std::string& digits) {
    if (digits.empty()) throw std::invalid_argument("invalid stoll argument");
    try {
        return std::stoll(digits);
    } catch (const std::out_of_range&) {
        throw std::out_of_range("stoll argument out of range");
    }
}

uint16_t ReadBe16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

uint32_t ReadBe32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

uint64_t ReadBe64(const uint8_t* p) { return (static_cast<uint64_t>(ReadBe32(p)) << 32) | ReadBe32(p + 4); }

// One integer option as the decoder parameter of `kind` (3, 4 or 5).
void AddIntegerOption(const Json::Value& root, const char* key, int kind,
                      std::vector<std::shared_ptr<DecoderParameter>>& parameters) {
    const Json::Value& value = root[key];
    if (value.empty()) return;
    // Objects and arrays have no text form: they fail like any other malformed value.
    std::string text = value.isConvertibleTo(Json::stringValue) ? value.asString() : value.toStyledString();
    HLOG_INFO << key << ": " << text;
    int32_t ms = 0;
    if (!value.isConvertibleTo(Json::stringValue) || !ParseStrictInt32(text, ms)) {
        HLOG_ERROR << key << ": bad parameter";
        return;
    }
    if (kind == 5)
        parameters.push_back(std::make_shared<DecoderThreadsParameter>(ms));
    else if (kind == 4)
        parameters.push_back(std::make_shared<RtspGetFrameTimeoutParameter>(ms));
    else
        parameters.push_back(std::make_shared<RtspConnectionTimeoutParameter>(ms));
}

}  // namespace

bool ParseStrictInt32(const std::string& text, int32_t& value) {
    size_t pos = 0;
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        pos = 1;
    }
    if (pos >= text.size()) return false;
    const int64_t limit = negative ? 2147483648LL : 2147483647LL;
    int64_t magnitude = 0;
    for (; pos < text.size(); ++pos) {
        char c = text[pos];
        if (c < '0' || c > '9') return false;
        magnitude = magnitude * 10 + (c - '0');
        if (magnitude > limit) return false;
    }
    value = static_cast<int32_t>(negative ? -magnitude : magnitude);
    return true;
}

std::vector<std::shared_ptr<DecoderParameter>> BuildParameters(int gpuId, const std::wstring& jsonParameters) {
    std::vector<std::shared_ptr<DecoderParameter>> parameters;
    std::vector<DecodedImageFormat> formats{Yuv420P};
    if (gpuId != -1) formats = {Cuda};
    parameters.push_back(std::make_shared<ImageFormatsParameter>(formats));

    if (!jsonParameters.empty()) {
        Json::Value root;
        Json::Reader reader;
        // Text that does not parse leaves `root` empty: every key then counts as absent.
        if (!reader.parse(StringUtility::WstringToString(jsonParameters), root, false) || !root.isObject())
            root = Json::Value();
        if (gpuId != -1) {
            const Json::Value& hw = root["HwDecoder"];
            bool cuda = !hw.empty() && hw.isConvertibleTo(Json::stringValue) && hw.asString() == "Cuda";
            parameters.push_back(std::make_shared<CuvidDecoderParameter>(
                static_cast<int>(cuda ? DecoderTypes::Cuda : DecoderTypes::Cuvid), gpuId));
        }
        AddIntegerOption(root, "RtspConnectionTimeout", 3, parameters);
        AddIntegerOption(root, "RtspGetFrameTimeoutParameter", 4, parameters);
        AddIntegerOption(root, "DecoderThreads", 5, parameters);
    } else if (gpuId != -1) {
        parameters.push_back(
            std::make_shared<CuvidDecoderParameter>(static_cast<int>(DecoderTypes::Cuvid), gpuId));
    }
    return parameters;
}

std::string EntryLogLine(const std::wstring& url, int gpuId, const std::string& now) {
    std::ostringstream line;
    line << "WebStreamFfmpegDecoder::Initialize " << StringUtility::WstringToString(StringUtility::HideRtspCreds(url))
         << "\nStart " << now << "\ngpuId " << gpuId;
    return line.str();
}

uint64_t NtpToFileTime(uint64_t ntp) {
    uint64_t seconds = ntp >> 32;
    uint64_t fraction = ntp & 0xFFFFFFFFULL;
    return (seconds + NtpEpochFileTimeSeconds) * 10000000ULL + ((fraction * 10000000ULL + (1ULL << 31)) >> 32);
}

uint64_t RtpToNtp(uint32_t rtpTimestamp, uint32_t reportRtpTimestamp, uint64_t reportNtpTime) {
    int32_t delta = static_cast<int32_t>(rtpTimestamp - reportRtpTimestamp);
    // |delta| <= 2^31, so delta * 2^32 stays inside the signed 64-bit range.
    int64_t offset = static_cast<int64_t>(delta) * 4294967296LL / 90000;
    return reportNtpTime + static_cast<uint64_t>(offset);
}

uint64_t MilestoneFileTime(uint32_t rtpTimestamp, uint32_t reportRtpTimestamp, uint64_t reportNtpTime) {
    return NtpToFileTime(RtpToNtp(rtpTimestamp, reportRtpTimestamp, reportNtpTime));
}

uint64_t ParseSeeTecReply(const char* reply, uint32_t& lastRtpTimestamp) {
    if (!reply) return SeeTecNoTimestamp;
    // Finds the leftmost "SeeTecTimestamp: (\d*)\r\nLastRTPTimestamp: (\d*)" without a
    // backtracking regular expression, whose recursion a long run of digits could exhaust.
    static const char first[] = "SeeTecTimestamp: ";
    static const char second[] = "\r\nLastRTPTimestamp: ";
    const std::string text(reply);
    auto digitsEnd = [&text](size_t from) {
        while (from < text.size() && text[from] >= '0' && text[from] <= '9') ++from;
        return from;
    };
    for (size_t at = text.find(first); at != std::string::npos; at = text.find(first, at + 1)) {
        size_t start1 = at + sizeof(first) - 1;
        size_t end1 = digitsEnd(start1);
        if (text.compare(end1, sizeof(second) - 1, second) != 0) continue;
        size_t start2 = end1 + sizeof(second) - 1;
        size_t end2 = digitsEnd(start2);
        lastRtpTimestamp = static_cast<uint32_t>(static_cast<uint64_t>(ToInt64(text.substr(start2, end2 - start2))));
        return static_cast<uint64_t>(ToInt64(text.substr(start1, end1 - start1)));
    }
    return SeeTecNoTimestamp;
}

uint64_t SeeTecFileTime(uint64_t seeTecTimestampMs, uint32_t lastRtpTimestamp, uint32_t rtpTimestamp) {
    uint32_t deltaTicks = rtpTimestamp - lastRtpTimestamp;
    uint64_t deltaMs = deltaTicks / 90U;
    return (seeTecTimestampMs + deltaMs + UnixEpochFileTimeMs) * 10000ULL;
}

int64_t VmsAgentRangeStart(int64_t replyRangeStart) { return replyRangeStart / 10; }

int64_t VmsAgentFileTime(int64_t ts) {
    return static_cast<int64_t>((static_cast<uint64_t>(ts) + static_cast<uint64_t>(UnixEpochFileTime10us)) * 100ULL);
}

int VideoStreamIndex(AVFormatContext* context) {
    if (!context) return -1;
    return av_find_best_stream(context, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
}

int64_t FrameTimestamp(const AVFrame* frame) {
    return frame->best_effort_timestamp != AV_NOPTS_VALUE ? frame->best_effort_timestamp : frame->pts;
}

bool FrameRtpTiming(AVFormatContext* context, const AVFrame* frame, RtspFrameTiming* timing) {
    if (!context || !frame) return false;
    // The pts the frame's packet carried is the key; the decoder's best guess only stands in.
    const int64_t pts = frame->pts != AV_NOPTS_VALUE ? frame->pts : FrameTimestamp(frame);
    if (pts == AV_NOPTS_VALUE) return false;
    return rtsp_get_frame_timing(context, pts, timing) >= 0;
}

int64_t IssFileTime(int64_t ts, AVRational timeBase, int64_t openTimeTicks) {
    int64_t presentation = av_rescale_q(ts, timeBase, AVRational{1, 10000000});
    return WrappingAdd(WrappingAdd(presentation, UnixEpochFileTimeTicks), openTimeTicks);
}

int64_t IssNowTicks() {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 100;
}

std::string IssSetTimeLogLine(int64_t openTimeTicks) {
    char buffer[256];
    std::snprintf(buffer, sizeof(buffer), "%s %zu", "IssWebStreamFfmpegDecoder::SetTime",
                  static_cast<size_t>(openTimeTicks));
    return buffer;
}

uint64_t GenetecFileTime(int64_t startTimeRealtime, int64_t ts, AVRational timeBase) {
    // Microseconds since 1970 and a 90 kHz count are different units: both become 100-ns ticks.
    const int64_t startUs = startTimeRealtime == AV_NOPTS_VALUE ? 0 : startTimeRealtime;
    const int64_t start = av_rescale_q(startUs, AVRational{1, 1000000}, AVRational{1, 10000000});
    const int64_t offset = av_rescale_q(ts, timeBase, AVRational{1, 10000000});
    return static_cast<uint64_t>(WrappingAdd(WrappingAdd(start, offset), UnixEpochFileTimeTicks));
}

uint64_t ReadDvtelExtensionTime(const uint8_t* packet, int length, uint64_t* destination) {
    // Entry 0 ends at byte 32: a shorter packet cannot hold a time.
    if (!packet || !destination || length < 32) return 0;
    if (ReadBe16(packet + 12) != 0x4000) return 0;
    int32_t entries = static_cast<int32_t>(ReadBe32(packet + 16));
    for (int64_t i = 0; i < entries; ++i) {
        int64_t remaining = static_cast<int64_t>(length) - 32 - 8 * i;
        if (remaining < 0) return 0;
        if (ReadBe16(packet + 20 + 8 * i) == 0x4001) {
            *destination = ReadBe64(packet + 24 + 8 * i);
            return 1;
        }
    }
    return 0;
}

uint64_t DvtelFileTime(uint64_t rtpExtensionTime) { return rtpExtensionTime - Year1ToFileTimeTicks; }

}  // namespace WebStreamDetail
}  // namespace RuvarEduzid
}  // namespace Halvora
