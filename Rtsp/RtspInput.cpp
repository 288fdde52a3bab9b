#include "Rtsp/RtspInput.h"

#include "Common/Logger.h"
#include "RuvarEduzid/FfmpegPtr.h"

extern "C" {
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <cstring>
#include <mutex>
#include <unordered_map>

namespace Halvora {
namespace RuvarEduzid {
namespace Rtsp {

namespace {
constexpr int kIoBufferSize = 4096;

std::mutex& RegistryMutex() {
    static std::mutex mutex;
    return mutex;
}
std::unordered_map<const AVFormatContext*, RtspInput*>& Registry() {
    static std::unordered_map<const AVFormatContext*, RtspInput*> registry;
    return registry;
}
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
    AVIOContext* io = self->m_io;
    if (io && io->buf_ptr > io->buffer) avio_flush(io);
    ++self->m_mediaReads;
    return self->m_session->ReadPacket(buffer, size);
}

int RtspInput::WriteCallback(void* opaque, uint8_t* buffer, int size) {
    auto* self = static_cast<RtspInput*>(opaque);
    if (self->m_phase < 2) return size;
    return self->m_session->WriteRtcp(buffer, size);
}

int RtspInput::Open(AVFormatContext** context, const std::string& url, RtspSessionOptions options) {
    AVFormatContext* ctx = *context;
    if (!ctx) ctx = avformat_alloc_context();
    if (!ctx) return AVERROR(ENOMEM);
    if (!options.interrupt.callback) options.interrupt = ctx->interrupt_callback;
    const bool interleaved = options.transport == RtspTransportMode::Interleaved;

    std::unique_ptr<RtspInput> input(new RtspInput());
    input->m_session = std::make_unique<RtspSession>(options);
    int rc = input->m_session->Open(url);
    if (rc < 0) {
        HLOG_WARNING << "RTSP: cannot open " << input->m_session->MaskedUrl() << ": " << AvErrorText(rc);
        avformat_free_context(ctx);
        *context = nullptr;
        return rc;
    }
    auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBufferSize));
    // Opened for reading: the demuxer reads the description through the buffer (it peeks and seeks
    // back at the start). Writing is switched on once the description has been read.
    if (buffer) input->m_io = avio_alloc_context(buffer, kIoBufferSize, 0, input.get(), ReadCallback, WriteCallback, nullptr);
    if (!input->m_io) {
        av_free(buffer);
        avformat_free_context(ctx);
        *context = nullptr;
        return AVERROR(ENOMEM);
    }
    ctx->pb = input->m_io;
    ctx->flags |= AVFMT_FLAG_CUSTOM_IO;
    input->m_context = ctx;

    AVDictionaryGuard demuxerOptions;
    demuxerOptions.Set("sdp_flags", "custom_io");
    if (interleaved || input->m_session->ActiveTransport() == RtspTransportMode::Interleaved)
        demuxerOptions.Set("reorder_queue_size", "0");
    const AVInputFormat* sdpFormat = av_find_input_format("sdp");
    const std::string masked = input->m_session->MaskedUrl();
    rc = avformat_open_input(&ctx, masked.c_str(), sdpFormat, &demuxerOptions);
    if (rc < 0) {
        // avformat_open_input freed the context; the custom I/O is ours.
        HLOG_WARNING << "RTSP: the demuxer refused the session description of " << masked << ": " << AvErrorText(rc);
        *context = nullptr;
        return rc;
    }
    // The description was read to its end; packets follow. From now on reads go straight to the
    // callback (one packet per read) and the buffer holds the receiver reports the demuxer writes.
    AVIOContext* io = input->m_io;
    io->write_flag = 1;
    io->direct = 1;
    io->eof_reached = 0;
    io->error = 0;
    io->buf_ptr = io->buffer;
    io->buf_ptr_max = io->buffer;
    io->buf_end = io->buffer + io->buffer_size;
    input->m_phase = 2;

    int64_t playStartUs = 0;
    if (input->m_session->PlayRangeStart(&playStartUs) && playStartUs != 0) input->SetRangeStart(playStartUs, 1);

    {
        std::lock_guard<std::mutex> lock(RegistryMutex());
        Registry()[ctx] = input.get();
    }
    input.release();
    *context = ctx;
    return 0;
}

RtspInput::~RtspInput() {
    if (m_session) m_session->Teardown();
    if (m_io) {
        av_freep(&m_io->buffer);
        avio_context_free(&m_io);
    }
}

RtspInput* RtspInput::Find(const AVFormatContext* context) {
    if (!context) return nullptr;
    std::lock_guard<std::mutex> lock(RegistryMutex());
    auto it = Registry().find(context);
    return it == Registry().end() ? nullptr : it->second;
}

void RtspInput::Close(AVFormatContext** context) {
    if (!context || !*context) return;
    RtspInput* input = nullptr;
    {
        std::lock_guard<std::mutex> lock(RegistryMutex());
        auto it = Registry().find(*context);
        if (it != Registry().end()) {
            input = it->second;
            Registry().erase(it);
        }
    }
    if (input) input->m_session->Teardown();
    avformat_close_input(context);  // custom I/O: the demuxer leaves it alone
    delete input;
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
    m_session->FlushQueue();
    // What the demuxer holds is dropped as ReadFrame meets it. Its parser is kept: a parser that
    // starts afresh gives its first frame no time, and that frame could not be timed from the range
    // start.
    m_dropQueued = true;
    m_mediaReadsAtFlush = m_mediaReads;
    m_dropHeldFrame = m_context && m_context->nb_streams > 0 && av_stream_get_parser(m_context->streams[0]);
    m_rebase = true;
}

void RtspInput::AdjustTimestamps(AVPacket* packet) {
    if (!m_rangeSet && !m_rebase) return;
    const int64_t reference = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    if (m_rebase) {
        if (reference == AV_NOPTS_VALUE) return;
        m_origin = reference;
        m_rebase = false;
    }
    if (!m_rangeSet) m_rangeStart = 0;
    const int64_t offset = m_rangeStart - m_origin;
    if (packet->pts != AV_NOPTS_VALUE) packet->pts += offset;
    if (packet->dts != AV_NOPTS_VALUE) packet->dts += offset;
}

int RtspInput::ReadFrame(AVFormatContext* context, AVPacket* packet) {
    RtspInput* input = Find(context);
    for (;;) {
        const int rc = av_read_frame(context, packet);
        if (rc < 0 || !input) return rc;
        if (input->m_dropQueued) {
            // Packets the demuxer had queued at the flush come out before it reads the session
            // again: dropped.
            if (input->m_mediaReads == input->m_mediaReadsAtFlush) {
                av_packet_unref(packet);
                continue;
            }
            input->m_dropQueued = false;
            // The packet completed by its first read after the flush began before the flush (the
            // parser held its start): dropped too. The packets after it are the session's new media.
            if (input->m_dropHeldFrame) {
                av_packet_unref(packet);
                continue;
            }
        }
        input->AdjustTimestamps(packet);
        return rc;
    }
}

}  // namespace Rtsp

void CloseInputFormatContext(AVFormatContext** context) { Rtsp::RtspInput::Close(context); }

}  // namespace RuvarEduzid
}  // namespace Halvora
