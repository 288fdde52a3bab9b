#include "Rtsp/RtspExtensions.h"

#include "Rtsp/RtspInput.h"

// Thin wrappers for callers that hold only the format context: the input is found through the
// context's own I/O (no table, no lock). The decoder that owns an input calls it directly.
using Halvora::RuvarEduzid::Rtsp::RtspInput;

char* rtsp_read_get_parameter(AVFormatContext* s, int64_t* rangeStart) {
    RtspInput* input = RtspInput::Of(s);
    if (!input) return nullptr;
    return input->Session().GetParameter(rangeStart);
}

int set_rtpctx_range_start(AVFormatContext* s, int64_t start, int mode) {
    RtspInput* input = RtspInput::Of(s);
    if (!input) return AVERROR(EINVAL);
    return input->SetRangeStart(start, mode);
}

int flush_packet_queue(AVFormatContext* s) {
    RtspInput* input = RtspInput::Of(s);
    if (!input) return AVERROR(EINVAL);
    input->Flush();
    return 0;
}

int rtsp_set_packet_callback(AVFormatContext* s, RtspPacketCallback callback, uint64_t* destination) {
    RtspInput* input = RtspInput::Of(s);
    if (!input) return AVERROR(EINVAL);
    input->Session().SetPacketCallback(callback, destination);
    return 0;
}

int rtsp_stream_count(AVFormatContext* s) { return RtspInput::Of(s) ? 1 : 0; }

RTPDemuxContext* rtsp_get_rtp_demux_context(AVFormatContext* s, int index) {
    RtspInput* input = RtspInput::Of(s);
    if (!input || index != 0) return nullptr;
    return input->Session().Timing();
}

int rtsp_get_frame_timing(AVFormatContext* s, int64_t pts, RtspFrameTiming* timing) {
    RtspInput* input = RtspInput::Of(s);
    if (!input || !timing) return AVERROR(EINVAL);
    return input->FrameTiming(pts, timing) ? 0 : 1;
}
