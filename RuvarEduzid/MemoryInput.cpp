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
}  // namespace

bool MemoryInput::MakeIo(size_t size, int (*read)(void*, uint8_t*, int)) {
    const int ioSize = static_cast<int>(std::clamp(size, kMinIoBufferSize, kMaxIoBufferSize));
    auto* buffer = static_cast<unsigned char*>(av_malloc(ioSize));
    if (!buffer) return false;
    m_io.reset(avio_alloc_context(buffer, ioSize, 0, this, read, nullptr, nullptr));
    if (!m_io) av_free(buffer);
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
        m_position = 0;
        m_used = dataSize;
        m_capacity = capacity;
        m_ended = false;
    }
    return MakeIo(capacity, &LiveRead);
}

void MemoryInput::Close() {
    m_io.reset();
    std::lock_guard<std::mutex> lock(g_bufferMutex);
    if (m_queue) std::free(m_data);
    m_data = nullptr;
    m_position = m_used = m_capacity = 0;
    m_queue = m_live = m_ended = false;
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
    if (input->m_used == 0 && !input->m_ended && input->m_appendThread != std::thread::id() &&
        input->m_appendThread != std::this_thread::get_id()) {
        const int waitMs = input->m_readTimeoutMs > 0 ? input->m_readTimeoutMs : 5000;
        g_bufferAppended.wait_for(lock, std::chrono::milliseconds(waitMs), [input] {
            return input->m_used > 0 || input->m_ended || (input->m_interrupted && input->m_interrupted->load());
        });
    }
    if (input->m_used == 0) return AVERROR_EOF;
    const uint64_t n = std::min<uint64_t>(input->m_used, static_cast<uint64_t>(size));
    std::memcpy(buffer, input->m_data + input->m_position, n);
    input->m_position += n;
    input->m_used -= n;
    if (input->m_used == 0) input->m_position = 0;
    return static_cast<int>(n);
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
    // Room behind the unread bytes: append. Room only after moving them to the front: move.
    if (m_position + m_used + size > m_capacity && m_used + size <= m_capacity) {
        std::memmove(m_data, m_data + m_position, m_used);
        m_position = 0;
    }
    if (m_position + m_used + size <= m_capacity) {
        std::memcpy(m_data + m_position + m_used, chunk, size);
        m_used += size;
    } else if (m_live && static_cast<int64_t>((m_used + size) >> 20) > static_cast<int64_t>(m_limitMB)) {
        HLOG_ERROR << "Live decoding buffer size is exceeded " << m_limitMB << "M";
        return false;
    } else {
        const uint64_t newSize = m_used + size;
        HLOG_WARNING << "FFMpegDecoder::AppendChunkToBuffer. increased buffer size from " << m_capacity << " to "
                     << newSize;
        auto* grown = static_cast<unsigned char*>(std::malloc(newSize));
        if (!grown) {
            HLOG_ERROR << "Can't allocate memory " << newSize;
            return false;
        }
        std::memcpy(grown, m_data + m_position, m_used);
        std::memcpy(grown + m_used, chunk, size);
        std::free(m_data);
        m_data = grown;
        m_position = 0;
        m_used = newSize;
        m_capacity = newSize;
    }
    if (restart && restart()) m_ended = false;
    g_bufferAppended.notify_all();
    return true;
}

uint64_t MemoryInput::QueuedBytes() const {
    std::lock_guard<std::mutex> lock(g_bufferMutex);
    return m_used;
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
