#include "RuvarEduzid/IssWebStreamFfmpegDecoder.h"

#include "Common/Logger.h"
#include "RuvarEduzid/WebStreamDetail.h"

extern "C" {
#include <libavutil/mathematics.h>
}

#include <chrono>
#include <cstdio>

using namespace Halvora::Video::Native;

namespace Halvora {
namespace RuvarEduzid {

int64_t IssWebStreamFfmpegDecoder::FileTime(int64_t ts, AVRational timeBase, int64_t openTimeTicks) {
    int64_t presentation = av_rescale_q(ts, timeBase, AVRational{1, 10000000});
    return WebStreamDetail::WrappingAdd(WebStreamDetail::WrappingAdd(presentation, WebStreamDetail::UnixEpochFileTimeTicks), openTimeTicks);
}

int64_t IssWebStreamFfmpegDecoder::NowTicks() {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 100;
}

std::string IssWebStreamFfmpegDecoder::SetTimeLogLine(int64_t openTimeTicks) {
    char buffer[256];
    std::snprintf(buffer, sizeof(buffer), "%s %zu", "IssWebStreamFfmpegDecoder::SetTime",
                  static_cast<size_t>(openTimeTicks));
    return buffer;
}

bool IssWebStreamFfmpegDecoder::Initialize(const VideoFileInfo& info, const ParameterList* parameters) {
    HLOG_INFO << "IssWebStreamFfmpegDecoder::Initialize";
    // Applied last, so they win over any time-out the caller gave.
    ParameterList local;
    if (parameters) local = *parameters;
    local.push_back(std::make_shared<RtspConnectionTimeoutParameter>(15000));
    local.push_back(std::make_shared<RtspGetFrameTimeoutParameter>(2000));
    if (!FFMpegDecoder::Initialize(info, &local)) {
        HLOG_ERROR << "IssWebStreamFfmpegDecoder::Initialize failed";
        return false;
    }
    OnDecoderOpen([this](AVFormatContext*) -> int {
        openTimeTicks = NowTicks();
        HLOG_INFO << SetTimeLogLine(openTimeTicks);
        return 1;
    });
    OnFrameReceived([this](AVFrame* frame) -> unsigned long long {
        return static_cast<unsigned long long>(
            FileTime(WebStreamDetail::FrameTimestamp(frame), VideoTimeBase(), openTimeTicks));
    });
    return true;
}

}  // namespace RuvarEduzid
}  // namespace Halvora
