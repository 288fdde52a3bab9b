#include "RuvarEduzid/WebStreamDetail.h"

#include "Common/Json.h"
#include "Common/Logger.h"
#include "Common/StringUtility.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libavutil/mathematics.h>
}

#include <sstream>

using Halvora::Common::StringUtility;
using namespace Halvora::Video::Native;

namespace Halvora {
namespace RuvarEduzid {
namespace WebStreamDetail {

namespace {

// One integer option as the decoder parameter of its kind.
void AddIntegerOption(const Json::Value& root, const char* key, DecoderParameter::Kind kind,
                      std::vector<std::shared_ptr<DecoderParameter>>& parameters) {
    const Json::Value& value = root[key];
    if (value.empty()) return;
    // Objects and arrays have no text form: they fail like any other malformed value.
    std::string text = value.isConvertibleTo(Json::stringValue) ? value.asString() : value.toStyledString();
    HLOG_INFO << key << ": " << text;
    int32_t number = 0;
    if (!value.isConvertibleTo(Json::stringValue) || !ParseStrictInt32(text, number)) {
        HLOG_ERROR << key << ": bad parameter";
        return;
    }
    if (kind == DecoderParameter::DecoderThreads)
        parameters.push_back(std::make_shared<DecoderThreadsParameter>(number));
    else if (kind == DecoderParameter::RtspGetFrameTimeout)
        parameters.push_back(std::make_shared<RtspGetFrameTimeoutParameter>(number));
    else
        parameters.push_back(std::make_shared<RtspConnectionTimeoutParameter>(number));
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
        AddIntegerOption(root, "RtspConnectionTimeout", DecoderParameter::RtspConnectionTimeout, parameters);
        AddIntegerOption(root, "RtspGetFrameTimeoutParameter", DecoderParameter::RtspGetFrameTimeout, parameters);
        AddIntegerOption(root, "DecoderThreads", DecoderParameter::DecoderThreads, parameters);
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

uint64_t RtpToNtp(int64_t rtpPosition, int64_t reportPosition, uint64_t reportNtpTime, int clockRate) {
    if (clockRate <= 0) clockRate = 90000;
    const int64_t delta = static_cast<int64_t>(static_cast<uint64_t>(rtpPosition) - static_cast<uint64_t>(reportPosition));
    // delta * 2^32 / clockRate in 128-bit arithmetic, cut toward zero.
    const int64_t offset = av_rescale_rnd(delta, 1LL << 32, clockRate, AV_ROUND_ZERO);
    return reportNtpTime + static_cast<uint64_t>(offset);
}

int VideoStreamIndex(AVFormatContext* context) {
    if (!context) return -1;
    return av_find_best_stream(context, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
}

int64_t FrameTimestamp(const AVFrame* frame) {
    return frame->best_effort_timestamp != AV_NOPTS_VALUE ? frame->best_effort_timestamp : frame->pts;
}

}  // namespace WebStreamDetail
}  // namespace RuvarEduzid
}  // namespace Halvora
