#include "RuvarEduzid/SeeTecWebStreamFfmpegDecoder.h"

#include "Common/DateTime.h"
#include "Common/Exception.h"
#include "Common/Logger.h"
#include "RuvarEduzid/WebStreamDetail.h"
#include "Rtsp/RtspExtensions.h"
#include "Rtsp/RtspInput.h"

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

using namespace Halvora::Video::Native;

namespace Halvora {
namespace RuvarEduzid {

namespace {
constexpr int kRetries = 10;
constexpr auto kRetryPause = std::chrono::milliseconds(500);
constexpr auto kPauseSlice = std::chrono::milliseconds(20);

// The standard decimal conversion of a run of digits, with the texts of its two errors.
int64_t ToInt64(const std::string& digits) {
    if (digits.empty()) throw std::invalid_argument("invalid stoll argument");
    try {
        return std::stoll(digits);
    } catch (const std::out_of_range&) {
        throw std::out_of_range("stoll argument out of range");
    }
}
}  // namespace

uint64_t SeeTecWebStreamFfmpegDecoder::ParseReply(const char* reply, uint32_t& lastRtpTimestamp) {
    if (!reply) return NoTimestamp;
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
    return NoTimestamp;
}

uint64_t SeeTecWebStreamFfmpegDecoder::FileTime(uint64_t seeTecTimestampMs, int64_t lastRtpPosition, int64_t rtpPosition) {
    const int64_t deltaTicks = static_cast<int64_t>(static_cast<uint64_t>(rtpPosition) - static_cast<uint64_t>(lastRtpPosition));
    const int64_t deltaMs = WebStreamDetail::FloorDivide(deltaTicks, 90);
    return (seeTecTimestampMs + static_cast<uint64_t>(deltaMs) + WebStreamDetail::UnixEpochFileTimeMs) * 10000ULL;
}


void SeeTecWebStreamFfmpegDecoder::Interrupt() {
    m_stopRetries = true;
    FFMpegDecoder::Interrupt();
}

uint64_t SeeTecWebStreamFfmpegDecoder::CalcSeeTecTimeStamp(char* reply) {
    uint64_t ms = ParseReply(reply, lastRtpTimestamp);
    if (ms == NoTimestamp) {
        HLOG_WARNING << "SeeTec reply without SeeTecTimestamp and LastRTPTimestamp";
    }
    return ms;
}

bool SeeTecWebStreamFfmpegDecoder::Initialize(const VideoFileInfo& info, const ParameterList* parameters) {
    if (!FFMpegDecoder::Initialize(info, parameters)) {
        HLOG_ERROR << "SeeTec WebStreamFfmpegDecoder::Initialize failed";
        return false;
    }
    OnDecoderOpen([this](AVFormatContext* context) -> int {
        int64_t value = 0;
        char* reply = rtsp_read_get_parameter(context, &value);
        for (int retry = 0; !reply && retry < kRetries && !m_stopRetries; ++retry) {
            auto until = std::chrono::steady_clock::now() + kRetryPause;
            while (!m_stopRetries && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(kPauseSlice);
            if (m_stopRetries) break;
            // Each attempt is a new exchange: it gets the network watchdog's allowance afresh,
            // otherwise the time-out of the first attempt would cut every retry short at once.
            RestartWatchdog();
            reply = rtsp_read_get_parameter(context, &value);
        }
        if (!reply) HALVORA_THROW("Cannot get rtsp range start parameter from SeeTec");
        seeTecTimestampMs = CalcSeeTecTimeStamp(reply);
        // The reply's RTP time belongs near the packets that came before it.
        lastRtpPosition = RtspSource() ? RtspSource()->UnwrapRtpTime(lastRtpTimestamp) : lastRtpTimestamp;
        flush_packet_queue(context);
        return 1;
    });
    OnFrameReceived([this](AVFrame* frame) -> unsigned long long {
        // The frame's own RTP time, not that of the latest packet read.
        RtspFrameTiming timing{};
        if (!FrameRtpTiming(frame, &timing))
            return static_cast<unsigned long long>(Halvora::Common::DateTime::EmptyTicks);
        return FileTime(seeTecTimestampMs, lastRtpPosition, timing.position);
    });
    return true;
}

}  // namespace RuvarEduzid
}  // namespace Halvora
