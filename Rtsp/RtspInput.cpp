#include "Rtsp/RtspInput.h"

#include "Common/Logger.h"
#include "Common/FfmpegPtr.h"

extern "C" {
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <cstring>

namespace Halvora {
namespace RuvarEduzid {
namespace Rtsp {

namespace {
constexpr int kIoBufferSize = 4096;
// Packets whose timing stays at hand: many more than a decoder holds back (reordering, threads).
constexpr size_t kRecentPackets = 1024;

}  // namespace

int RtspInput::ReadCallback(void* opaque, uint8_t* buffer, int size) {
    auto* self = static_cast<RtspInput*>(opaque);
    if (size <= 0) return AVERROR(EINVAL);
    if (self->m_phase == 0) {
        const std::string& sdp = self->m_session->MediaSdp();
        size_t n = std::min(sdp.size() - self->m_sdpOffset, static_cast<size_t>(size));
        std::memcpy(buffer, sdp.data() + self->m_sdpOffset, n);
        self->m_sdpOffset += n;
        if (self->m_sdpOffset >= sdp.size()) self->m_phase = 1;
        return n > 0 ? static_cast<int>(n) : AVERROR_EOF;
    }
    // The description ends here; packets are read only once the demuxer is open.
    if (self->m_phase == 1) return AVERROR_EOF;
    // Receiver reports the demuxer wrote since the last read go out now.
    AVIOContext* io = self->m_io.get();
    if (io && io->buf_ptr > io->buffer) avio_flush(io);
    return self->m_session->ReadPacket(buffer, size);
}

int RtspInput::WriteCallback(void* opaque, uint8_t* buffer, int size) {
    auto* self = static_cast<RtspInput*>(opaque);
    if (self->m_phase < 2) return size;
    return self->m_session->WriteRtcp(buffer, size);
}

std::unique_ptr<RtspInput> RtspInput::Open(AVFormatContext* context, const std::string& url,
                                            RtspSessionOptions options, int* error) {
    int rc = 0;
    if (!error) error = &rc;
    AVFormatContextPtr owned(context ? context : avformat_alloc_context());
    if (!owned) {
        *error = AVERROR(ENOMEM);
        return nullptr;
    }
    if (!options.interrupt.callback) options.interrupt = owned->interrupt_callback;

    std::unique_ptr<RtspInput> input(new RtspInput());
    input->m_session = std::make_unique<RtspSession>(options);
    *error = input->m_session->Open(url);
    if (*error < 0) {
        HLOG_WARNING << "RTSP: cannot open " << input->m_session->MaskedUrl() << ": " << AvErrorText(*error);
        return nullptr;
    }
    auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBufferSize));
    // Opened for reading: the demuxer reads the description through the buffer (it peeks and seeks
    // back at the start). Writing is switched on once the description has been read.
    if (buffer) input->m_io.reset(avio_alloc_context(buffer, kIoBufferSize, 0, input.get(), ReadCallback, WriteCallback, nullptr));
    if (!input->m_io) {
        av_free(buffer);
        *error = AVERROR(ENOMEM);
        return nullptr;
    }
    AVFormatContext* ctx = owned.release();
    ctx->pb = input->m_io.get();
    ctx->flags |= AVFMT_FLAG_CUSTOM_IO;

    AVDictionaryGuard demuxerOptions;
    demuxerOptions.Set("sdp_flags", "custom_io");
    // Packets reach the demuxer in order already (over UDP the session reorders them).
    demuxerOptions.Set("reorder_queue_size", "0");
    const AVInputFormat* sdpFormat = av_find_input_format("sdp");
    const std::string masked = input->m_session->MaskedUrl();
    *error = avformat_open_input(&ctx, masked.c_str(), sdpFormat, &demuxerOptions);
    if (*error < 0) {
        // avformat_open_input freed the context; the custom I/O is ours.
        HLOG_WARNING << "RTSP: the demuxer refused the session description of " << masked << ": " << AvErrorText(*error);
        return nullptr;
    }
    input->m_context = ctx;
    // The description was read to its end; packets follow. From now on reads go straight to the
    // callback (one packet per read) and the buffer holds the receiver reports the demuxer writes.
    AVIOContext* io = input->m_io.get();
    io->write_flag = 1;
    io->direct = 1;
    io->eof_reached = 0;
    io->error = 0;
    io->buf_ptr = io->buffer;
    io->buf_ptr_max = io->buffer;
    io->buf_end = io->buffer + io->buffer_size;
    input->m_phase = 2;
    // A live source is not probed for seconds: the description carries the codec and usually its
    // parameter sets, and what the probe reads waits in the demuxer until the decoder takes it. No
    // frame-rate measurement (the stream's own rate comes from its parameter sets) and no search
    // for a first timestamp: the probe ends as soon as the codec parameters are known.
    ctx->fps_probe_size = 0;
    ctx->max_ts_probe = 0;

    int64_t playStartUs = 0;
    if (input->m_session->PlayRangeStart(&playStartUs) && playStartUs != 0) input->SetRangeStart(playStartUs, 1);
    return input;
}

RtspInput::~RtspInput() {
    if (m_session) m_session->Teardown();
    avformat_close_input(&m_context);  // custom I/O: the demuxer leaves it alone
}

RtspInput* RtspInput::Of(const AVFormatContext* context) {
    if (!context || !context->pb || context->pb->read_packet != &ReadCallback) return nullptr;
    return static_cast<RtspInput*>(context->pb->opaque);
}

int RtspInput::SetRangeStart(int64_t start, int mode) {
    if (mode != 0 && mode != 1) return AVERROR(EINVAL);
    if (!m_context || m_context->nb_streams < 1) return AVERROR(EINVAL);
    const AVRational timeBase = m_context->streams[0]->time_base;
    m_rangeStart = mode == 1 ? av_rescale_q(start, AVRational{1, 1000000}, timeBase) : start;
    m_rangeSet = true;
    return 0;
}

void RtspInput::Flush() {
    // Nothing is dropped: every packet the server sent stays, and the packets that came before the
    // flush are timed backwards from the first one that arrives after it. That packet is the
    // origin of the range start: a server names in its GET_PARAMETER reply the position of the
    // next frame it sends.
    m_session->Timeline().MarkOrigin();
    m_originMarked = true;
}

int64_t RtspInput::RangeOffset() const {
    if (!m_rangeSet) return 0;
    // Without a flush the stream's first packet is the origin.
    if (!m_originMarked) return m_rangeStart;
    return m_rangeStart - m_session->Timeline().OriginPts();
}

RtspFrameTiming RtspInput::ClockTiming(int64_t rawPts) const {
    const RtpFrameTimeline& timeline = m_session->Timeline();
    RtspFrameTiming timing{};
    timing.rtp_pts = rawPts;
    timing.timestamp = static_cast<uint32_t>(static_cast<uint64_t>(rawPts) + timeline.Base());
    timing.position = timeline.BasePosition() + rawPts;
    RtpFrameTimeline::Report report;
    if (timeline.LatestReport(&report)) {
        timing.has_report = 1;
        timing.report_ntp_time = report.ntp;
        timing.report_position = report.position;
    }
    return timing;
}

void RtspInput::HoldForSenderReport(int timeoutMs, bool enoughWithOnvif) {
    m_reportHoldMs = std::max(timeoutMs, 1);
    m_reportHoldOnvif = enoughWithOnvif;
}

bool RtspInput::SenderReport(bool first, RtpFrameTimeline::Report* report) const {
    const RtpFrameTimeline& timeline = m_session->Timeline();
    return first ? timeline.FirstReport(report) : timeline.LatestReport(report);
}

int64_t RtspInput::StartTimeRealtime(AVRational timeBase) const {
    RtpFrameTimeline::Report first;
    if (!SenderReport(true, &first)) return AV_NOPTS_VALUE;
    // As FFmpeg's RTSP demuxer computes it: the report's NTP time in microseconds since 1970, less
    // the report's RTP distance from the base.
    constexpr uint64_t kNtpToUnixSeconds = 2208988800ULL;
    const int64_t reportUs = av_rescale(static_cast<int64_t>(first.ntp - (kNtpToUnixSeconds << 32)), 1000000, 1LL << 32);
    return reportUs - av_rescale_q(first.position - BasePosition(), timeBase, AV_TIME_BASE_Q);
}

void RtspInput::Place(AVPacket* packet, int64_t rawPts, int64_t rawDts, const RtspFrameTiming& timing) {
    if (m_rangeSet && m_originMarked && m_session->Timeline().OriginPending()) m_session->AwaitOrigin();
    const int64_t offset = RangeOffset();
    packet->pts = rawPts == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : rawPts + offset;
    packet->dts = rawDts == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : rawDts + offset;
    m_lastRecorded = packet->pts != AV_NOPTS_VALUE;
    if (!m_lastRecorded) return;
    if (m_recent.empty()) m_recent.resize(kRecentPackets);
    m_recent[m_recentNext] = TimedPacket{packet->pts, timing};
    m_recentNext = (m_recentNext + 1) % m_recent.size();
}

bool RtspInput::FrameTiming(int64_t pts, RtspFrameTiming* timing) const {
    // Newest first: a timestamp read again after a re-timing is found at its latest place.
    for (size_t i = 0; i < m_recent.size(); ++i) {
        const TimedPacket& entry = m_recent[(m_recentNext + m_recent.size() - 1 - i) % m_recent.size()];
        if (entry.pts == AV_NOPTS_VALUE) break;
        if (entry.pts == pts) {
            *timing = entry.timing;
            return true;
        }
    }
    // Not a recent packet: the stream clock alone, with the range start in force now.
    *timing = ClockTiming(pts - RangeOffset());
    return false;
}

int RtspInput::ReadFrame(AVPacket* packet) {
    RtpFrameTimeline& timeline = m_session->Timeline();
    if (m_reportHoldMs > 0) {
        // A time rule needs a sender report: no frame leaves before the first one is known.
        const int holdMs = m_reportHoldMs;
        m_reportHoldMs = 0;
        RtpFrameTimeline::Report report;
        if (!timeline.FirstReport(&report) && !(m_reportHoldOnvif && timeline.OnvifTimesSeen())) {
            const int rc = m_session->AwaitSenderReport(holdMs, m_reportHoldOnvif);
            if (rc == AVERROR_EXIT) return rc;
            if (!timeline.FirstReport(&report)) {
                HLOG_WARNING << "RTSP: no RTCP sender report from " << m_session->MaskedUrl() << " within " << holdMs
                             << " ms; frames are dated without one until it comes";
            }
        }
    }
    const int rc = av_read_frame(m_context, packet);
    if (rc < 0) return rc;
    // The decoder reads: every packet callback that will ever see the probed packets is bound.
    timeline.StopKeepingPackets();
    int64_t rawPts = packet->pts;
    int64_t rawDts = packet->dts;
    RtspFrameTiming timing{};
    RtpFrameTimeline::Frame frame;
    if (timeline.Take(rawPts, &frame)) {
        // The demuxer's parser gives the first access unit of a stream no time; its frame has one.
        // Decoding starts there, so it is decoded when it is shown.
        if (rawPts == AV_NOPTS_VALUE) {
            rawPts = frame.pts;
            if (rawDts == AV_NOPTS_VALUE) rawDts = rawPts;
        }
        timing.timestamp = frame.timestamp;
        timing.rtp_pts = frame.pts;
        timing.callback_value = frame.callbackValue;
        timing.has_callback_value = frame.hasCallbackValue ? 1 : 0;
        timing.position = frame.position;
        timing.has_report = frame.hasReport ? 1 : 0;
        timing.report_ntp_time = frame.report.ntp;
        timing.report_position = frame.report.position;
        timing.has_onvif_time = frame.hasOnvifTime ? 1 : 0;
        timing.onvif_ntp_time = frame.onvifNtp;
    } else if (rawPts != AV_NOPTS_VALUE) {
        timing = ClockTiming(rawPts);
    }
    m_lastRawPts = rawPts;
    m_lastRawDts = rawDts;
    m_lastTiming = timing;
    Place(packet, rawPts, rawDts, timing);
    return rc;
}

void RtspInput::Retime(AVPacket* packet) {
    if (!packet) return;
    // The ring entry of the earlier timing is replaced, not kept beside the new one.
    if (m_lastRecorded) m_recentNext = (m_recentNext + m_recent.size() - 1) % m_recent.size();
    Place(packet, m_lastRawPts, m_lastRawDts, m_lastTiming);
}

}  // namespace Rtsp

}  // namespace RuvarEduzid
}  // namespace Halvora
