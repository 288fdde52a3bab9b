#include "RuvarEduzid/MemoryInput.h"

#include "Common/Logger.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace Halvora {
namespace RuvarEduzid {

namespace {
// Guards the queues of all inputs of the process.
std::mutex g_bufferMutex;
// Signalled on every append, on the end of input and on interrupt.
std::condition_variable g_bufferAppended;

// FFmpeg reads memory input through a buffer of this size, within these bounds.
constexpr size_t kMaxIoBufferSize = 1 << 20;
constexpr size_t kMinIoBufferSize = 4096;
// The smallest reserve kept ahead of the demuxer: four MPEG-TS packets.
constexpr uint64_t kMinReserve = 4 * 188;
constexpr uint64_t kTsPacketSize = 188;
// With every frame at the start of a PES, the MPEG-TS demuxer hands out a frame when its parser
// has seen the next frame begin, that is when the PES after it has ended, which the demuxer
// learns from the start of the PES after that one. From a restart it reads the first two PES
// whole before the first frame comes; in step, the PES it is in.
constexpr int kPesStartsAfterRestart = 3;
constexpr int kPesStartsInStep = 1;
}  // namespace

MemoryInput::MemoryInput(const std::atomic<bool>* interrupted)
    : m_interrupted(interrupted), m_lastVideo(av_packet_alloc()) {}

MemoryInput::~MemoryInput() { Close(); }

bool MemoryInput::MakeIo(size_t size, int (*read)(void*, uint8_t*, int)) {
    const int ioSize = static_cast<int>(std::clamp(size, kMinIoBufferSize, kMaxIoBufferSize));
    auto* buffer = static_cast<unsigned char*>(av_malloc(ioSize));
    if (!buffer) return false;
    m_io.reset(avio_alloc_context(buffer, ioSize, 0, this, read, nullptr, nullptr));
    if (!m_io) av_free(buffer);
    m_ioSize = m_io ? static_cast<size_t>(ioSize) : 0;
    return m_io != nullptr;
}

bool MemoryInput::OpenStatic(unsigned char* data, size_t size) {
    Close();
    m_data = data;
    m_capacity = data ? size : 0;
    return MakeIo(size, &StaticRead);
}

bool MemoryInput::OpenLive(const unsigned char* data, size_t capacity, size_t dataSize, bool live, int limitMB) {
    Close();
    const size_t size = std::max<size_t>(capacity, 1);
    auto* buffer = static_cast<unsigned char*>(std::calloc(size, 1));
    if (!buffer) return false;
    if (dataSize > 0) std::memcpy(buffer, data, dataSize);
    {
        std::lock_guard<std::mutex> lock(g_bufferMutex);
        m_data = buffer;
        m_queue = true;
        m_live = live;
        m_limitMB = limitMB;
        m_origin = 0;
        m_stored = dataSize;
        m_readAt = 0;
        m_capacity = capacity;
        m_ended = false;
        // The opening bytes stay until reading starts: it may start over from the first byte.
        m_keepFrom = 0;
        m_opening = true;
    }
    return MakeIo(capacity, &LiveRead);
}

void MemoryInput::StartReading(AVFormatContext* input, int videoStream) {
    const char* name = input && input->iformat && input->iformat->name ? input->iformat->name : "";
    if (std::strcmp(name, "h264") == 0 || std::strcmp(name, "hevc") == 0)
        m_demuxer = Demuxer::Resumes;
    else if (std::strcmp(name, "mpegts") == 0)
        m_demuxer = Demuxer::Restarts;
    else
        m_demuxer = Demuxer::Other;
    m_videoPid = m_demuxer == Demuxer::Restarts && videoStream >= 0 && videoStream < static_cast<int>(input->nb_streams)
                     ? input->streams[videoStream]->id
                     : -1;
    m_maxTaken = 0;
    m_priming = true;
    m_pesRule = m_videoPid >= 0;
    m_retryAt = 0;
    m_replaying = false;
    m_awaitKeyFrame = false;
    m_pesStarts.clear();
    m_scanFrom = m_scannedTo = 0;
    if (m_lastVideo) av_packet_unref(m_lastVideo.get());
    if (m_demuxer != Demuxer::Other) {
        // The packets the probe read (the last of them perhaps cut where the opening bytes
        // ended) are dropped and read again from the first byte.
        avformat_flush(input);
        RewindIo(0);
    }
    m_restartAt = m_demuxer == Demuxer::Restarts && m_lastVideo ? 0 : -1;
    std::lock_guard<std::mutex> lock(g_bufferMutex);
    m_opening = false;
    m_keepFrom = m_restartAt;
}

void MemoryInput::Close() {
    m_io.reset();
    m_ioSize = 0;
    m_demuxer = Demuxer::Other;
    m_ranDry = false;
    m_maxTaken = 0;
    m_priming = true;
    m_videoPid = -1;
    m_pesRule = false;
    m_pesStarts.clear();
    m_scanFrom = m_scannedTo = 0;
    m_retryAt = 0;
    m_restartAt = -1;
    m_replaying = false;
    m_awaitKeyFrame = false;
    if (m_lastVideo) av_packet_unref(m_lastVideo.get());
    std::lock_guard<std::mutex> lock(g_bufferMutex);
    if (m_queue) std::free(m_data);
    m_data = nullptr;
    m_position = m_capacity = m_origin = m_stored = m_readAt = 0;
    m_keepFrom = 0;
    m_queue = m_live = m_ended = m_opening = false;
    m_appendThread = std::thread::id();
}

int MemoryInput::StaticRead(void* opaque, uint8_t* buffer, int size) {
    auto* input = static_cast<MemoryInput*>(opaque);
    if (!input || !buffer || size <= 0) return 0;
    const uint64_t n = std::min<uint64_t>(input->m_capacity - input->m_position, static_cast<uint64_t>(size));
    if (n == 0) return AVERROR_EOF;
    std::memcpy(buffer, input->m_data + input->m_position, n);
    input->m_position += n;
    return static_cast<int>(n);
}

int MemoryInput::LiveRead(void* opaque, uint8_t* buffer, int size) {
    auto* input = static_cast<MemoryInput*>(opaque);
    if (!input || !buffer || size <= 0) return 0;
    std::unique_lock<std::mutex> lock(g_bufferMutex);
    // Another thread feeds the queue: a read that ran dry in the middle of a packet waits for
    // the next bytes (bounded by the read time-out) instead of cutting the packet short.
    if (input->UnreadLocked() == 0 && !input->m_ended && input->m_appendThread != std::thread::id() &&
        input->m_appendThread != std::this_thread::get_id()) {
        const int waitMs = input->m_readTimeoutMs > 0 ? input->m_readTimeoutMs : 5000;
        g_bufferAppended.wait_for(lock, std::chrono::milliseconds(waitMs), [input] {
            return input->UnreadLocked() > 0 || input->m_ended ||
                   (input->m_interrupted && input->m_interrupted->load());
        });
    }
    const uint64_t unread = input->UnreadLocked();
    if (unread == 0) {
        // The probe stops at the end of the opening bytes, and the end of the input is the end.
        if (input->m_ended || input->m_opening) return AVERROR_EOF;
        // More bytes may come: the read that asked for these is undone (see ReadFrame).
        input->m_ranDry = true;
        return AVERROR(EAGAIN);
    }
    const uint64_t n = std::min<uint64_t>(unread, static_cast<uint64_t>(size));
    std::memcpy(buffer, input->m_data + (input->m_readAt - input->m_origin), n);
    input->m_readAt += n;
    return static_cast<int>(n);
}

void MemoryInput::RewindIo(uint64_t offset) {
    AVIOContext* io = m_io.get();
    std::lock_guard<std::mutex> lock(g_bufferMutex);
    // The queue still holds the byte at `offset` (see m_keepFrom). FFmpeg's buffer is emptied
    // and its position set, as a seek outside the buffer leaves them; the bytes are read again
    // from the queue.
    m_readAt = std::max(offset, m_origin);
    io->buf_ptr = io->buf_end = io->buf_ptr_max = io->buffer;
    io->pos = static_cast<int64_t>(m_readAt);
    io->eof_reached = 0;
    io->error = 0;
}

uint64_t MemoryInput::Reserve() const { return std::max<uint64_t>(kMinReserve, 2 * m_maxTaken); }

bool MemoryInput::AwaitsBytes() const {
    if (!m_queue || !m_io) return false;
    const int64_t at = avio_tell(m_io.get());
    std::lock_guard<std::mutex> lock(g_bufferMutex);
    if (m_ended) return false;
    const uint64_t end = EndLocked();
    // Bytes inside FFmpeg's buffer count as well as those still queued.
    if (at < 0 || static_cast<uint64_t>(at) >= end) return true;
    // Fed from another thread, a read that runs dry waits for the next bytes.
    const bool fedHere = m_appendThread == std::thread::id() || m_appendThread == std::this_thread::get_id();
    if (!fedHere) return false;
    // Fed on this thread, no byte can arrive while the demuxer reads: it reads only when a whole
    // packet has come. A demuxer that resumes after a dry read needs no more than a byte.
    if (end < m_retryAt) return true;
    if (m_demuxer == Demuxer::Resumes) return false;
    if (m_pesRule) {
        const int starts = PesStartsAheadLocked(static_cast<uint64_t>(at));
        if (starts >= 0) return starts < (m_priming ? kPesStartsAfterRestart : kPesStartsInStep);
    }
    return end - static_cast<uint64_t>(at) < Reserve();
}

int MemoryInput::PesStartsAheadLocked(uint64_t at) const {
    if (m_videoPid < 0 || at < m_origin) return -1;
    // The demuxer moves a transport packet at a time: starts found before stay in step unless it
    // went back or lost step.
    if (at < m_scanFrom || (at - m_scanFrom) % kTsPacketSize != 0) {
        m_pesStarts.clear();
        m_scanFrom = m_scannedTo = at;
    }
    m_pesStarts.erase(m_pesStarts.begin(), std::lower_bound(m_pesStarts.begin(), m_pesStarts.end(), at));
    m_scannedTo = std::max(m_scannedTo, at);
    for (const uint64_t end = EndLocked(); m_scannedTo + kTsPacketSize <= end; m_scannedTo += kTsPacketSize) {
        const unsigned char* b = m_data + (m_scannedTo - m_origin);
        if (b[0] != 0x47) return -1;
        if ((b[1] & 0x40) && (((b[1] & 0x1f) << 8) | b[2]) == m_videoPid) m_pesStarts.push_back(m_scannedTo);
    }
    return static_cast<int>(m_pesStarts.size());
}

int MemoryInput::ReadFrame(AVFormatContext* input, AVPacket* packet, int videoStream) {
    AVIOContext* io = m_io.get();
    for (;;) {
        if (AwaitsBytes()) return AVERROR(EAGAIN);
        {
            // A read that found no byte left its marks on FFmpeg's I/O; bytes (or the end) came since.
            std::lock_guard<std::mutex> lock(g_bufferMutex);
            if (io->error == AVERROR(EAGAIN)) io->error = 0;
            if (io->eof_reached && UnreadLocked() > 0) io->eof_reached = 0;
        }
        const int64_t readStart = avio_tell(io);
        const bool priming = m_priming;
        m_ranDry = false;
        const int result = av_read_frame(input, packet);
        if (m_ranDry) {
            // The demuxer met the end of the bytes that have come. An elementary stream's demuxer
            // keeps what it read and goes on when more comes; any other may have cut a packet.
            if (result == AVERROR(EAGAIN) && m_demuxer == Demuxer::Resumes) return result;
            av_packet_unref(packet);
            Recover(input, readStart);
            return AVERROR(EAGAIN);
        }
        if (result < 0) return result;
        const int64_t taken = avio_tell(io) - readStart;
        if (packet->stream_index == videoStream) m_priming = false;
        if (m_replaying && Replayed(packet, videoStream)) {
            av_packet_unref(packet);
            continue;
        }
        if (packet->stream_index == videoStream) {
            if (m_awaitKeyFrame) {
                if (!(packet->flags & AV_PKT_FLAG_KEY)) {
                    av_packet_unref(packet);
                    continue;
                }
                m_awaitKeyFrame = false;
            }
            Delivered(packet);
        }
        if (!priming && taken > 0) m_maxTaken = std::max(m_maxTaken, static_cast<uint64_t>(taken));
        return result;
    }
}

void MemoryInput::Recover(AVFormatContext* input, int64_t readStart) {
    uint64_t end = 0;
    {
        std::lock_guard<std::mutex> lock(g_bufferMutex);
        end = EndLocked();
    }
    // Not again before the bytes this read had have at least doubled, so that reading again
    // cannot go round in circles.
    const uint64_t had = readStart >= 0 && end > static_cast<uint64_t>(readStart) ? end - readStart : 0;
    m_retryAt = end + std::max(had, kMinReserve);
    avformat_flush(input);
    // Frames that do not begin with their PES need more than the next PES start: from now on
    // reads go by the reserve.
    m_pesRule = false;
    if (m_demuxer == Demuxer::Restarts && m_restartAt >= 0) {
        HLOG_DEBUG << "Live buffer: the demuxer ran out of bytes within a packet; it reads again from byte "
                   << m_restartAt;
        RewindIo(static_cast<uint64_t>(m_restartAt));
        m_replaying = m_lastVideo && m_lastVideo->data;
        m_priming = true;
        return;
    }
    HLOG_WARNING << "Live buffer: the demuxer ran out of bytes within a packet; video resumes at the next key frame";
    m_awaitKeyFrame = true;
}

void MemoryInput::Delivered(const AVPacket* packet) {
    if (m_demuxer != Demuxer::Restarts || !m_lastVideo) return;
    // A restart begins at the packet before the last one handed out: a demuxer whose packets do
    // not begin where its PES do finds its step again within that packet.
    if (packet->pos < 0)
        m_restartAt = -1;
    else if (m_lastVideo->data && m_lastVideo->pos >= 0)
        m_restartAt = m_lastVideo->pos;
    av_packet_unref(m_lastVideo.get());
    if (av_packet_ref(m_lastVideo.get(), packet) < 0) m_restartAt = -1;
    std::lock_guard<std::mutex> lock(g_bufferMutex);
    m_keepFrom = m_restartAt;
}

bool MemoryInput::Replayed(const AVPacket* packet, int videoStream) {
    // Packets of other streams up to the last video packet were handed out too.
    if (packet->stream_index != videoStream) return true;
    const AVPacket* last = m_lastVideo.get();
    if (packet->pos == last->pos && packet->size == last->size &&
        (packet->size == 0 || std::memcmp(packet->data, last->data, static_cast<size_t>(packet->size)) == 0)) {
        m_replaying = false;
        return true;
    }
    if (packet->pos > last->pos) {
        // The last packet handed out did not come again: nothing after it can be trusted to
        // follow on, so video resumes at a key frame.
        HLOG_WARNING << "Live buffer: reading again did not meet the last packet handed out; video resumes at the "
                        "next key frame";
        m_replaying = false;
        m_awaitKeyFrame = true;
        return false;
    }
    return true;
}

bool MemoryInput::Append(const unsigned char* chunk, size_t size, const std::function<bool()>& restart) {
    std::lock_guard<std::mutex> lock(g_bufferMutex);
    if (!m_queue) {
        HLOG_ERROR << "FFMpegDecoder::AppendChunkToBuffer: the decoder was not opened from a live buffer";
        return false;
    }
    m_appendThread = std::this_thread::get_id();
    if (size == 0) {
        // End of input: the decoding thread drains the decoder once it has read every queued byte.
        m_ended = true;
        g_bufferAppended.notify_all();
        return true;
    }
    if (!chunk) return false;
    if (m_stored + size > m_capacity) {
        // Room may come from dropping the bytes FFmpeg has read and no restart needs.
        uint64_t keep = m_keepFrom >= 0 ? std::min(static_cast<uint64_t>(m_keepFrom), m_readAt) : m_readAt;
        keep = std::max(keep, m_origin);
        const uint64_t drop = keep - m_origin;
        if (drop > 0) {
            std::memmove(m_data, m_data + drop, m_stored - drop);
            m_origin = keep;
            m_stored -= drop;
        }
    }
    const uint64_t unread = UnreadLocked();
    if (m_stored + size <= m_capacity) {
        std::memcpy(m_data + m_stored, chunk, size);
        m_stored += size;
    } else if (m_live && static_cast<int64_t>((unread + size) >> 20) > static_cast<int64_t>(m_limitMB)) {
        HLOG_ERROR << "Live decoding buffer size is exceeded " << m_limitMB << "M";
        return false;
    } else {
        const uint64_t newSize = m_stored + size;
        HLOG_WARNING << "FFMpegDecoder::AppendChunkToBuffer. increased buffer size from " << m_capacity << " to "
                     << newSize;
        auto* grown = static_cast<unsigned char*>(std::malloc(newSize));
        if (!grown) {
            HLOG_ERROR << "Can't allocate memory " << newSize;
            return false;
        }
        std::memcpy(grown, m_data, m_stored);
        std::memcpy(grown + m_stored, chunk, size);
        std::free(m_data);
        m_data = grown;
        m_stored = newSize;
        m_capacity = newSize;
    }
    if (restart && restart()) m_ended = false;
    g_bufferAppended.notify_all();
    return true;
}

bool MemoryInput::Ended() const {
    std::lock_guard<std::mutex> lock(g_bufferMutex);
    return m_ended;
}

void MemoryInput::WakeAll() {
    std::lock_guard<std::mutex> lock(g_bufferMutex);
    g_bufferAppended.notify_all();
}

}  // namespace RuvarEduzid
}  // namespace Halvora
