#pragma once

// The bytes a decoder reads from memory instead of a file or network address, and the custom
// FFmpeg input that reads them.
//
// Static form: the caller's buffer, read from start to end; the caller keeps it alive.
// Live form: a queue the input owns and the host keeps appending to while the decoder reads; read
// bytes are discarded (the input cannot seek). A zero-size append marks the end of the input.
//
// One process-wide mutex guards the queues of all inputs: the host may append on one thread while
// the decoder reads on another.

#include "RuvarEduzid/FfmpegPtr.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <thread>

namespace Halvora {
namespace RuvarEduzid {

class MemoryInput {
public:
    // `interrupted` ends a read that waits for bytes (the decoder's interrupt flag).
    explicit MemoryInput(const std::atomic<bool>* interrupted) : m_interrupted(interrupted) {}
    ~MemoryInput() { Close(); }
    MemoryInput(const MemoryInput&) = delete;
    MemoryInput& operator=(const MemoryInput&) = delete;

    // Static form over the caller's `size` bytes. False when FFmpeg's I/O could not be allocated.
    bool OpenStatic(unsigned char* data, size_t size);
    // Live form: a queue of `capacity` bytes holding a copy of the caller's `dataSize` first bytes.
    // With `live`, appends that would make the queue exceed `limitMB` megabytes are refused.
    // False when memory could not be allocated.
    bool OpenLive(const unsigned char* data, size_t capacity, size_t dataSize, bool live, int limitMB);
    // Frees the queue and FFmpeg's I/O; the input can be opened again.
    void Close();

    // The custom I/O for the demuxer (owned here), null until opened.
    AVIOContext* Io() const { return m_io.get(); }
    // Opened in the live form: the input may still grow.
    bool IsQueue() const { return m_queue; }
    bool IsLive() const { return m_live; }

    // Appends `size` bytes to the queue; size 0 marks the end of the input. Once bytes were
    // appended, `restart` runs under the lock: when it returns true (the decoder had drained and
    // starts again), the end mark is cleared. False (nothing appended) when the input is not a
    // queue, the live limit is exceeded or memory runs out.
    bool Append(const unsigned char* chunk, size_t size, const std::function<bool()>& restart);
    // Unread bytes of the queue.
    uint64_t QueuedBytes() const;
    // A zero-size append came: the queued bytes are the last ones.
    bool Ended() const;
    // How long a read waits for bytes that another thread feeds.
    void SetReadTimeout(int timeoutMs) { m_readTimeoutMs = timeoutMs; }
    // Wakes a read that waits for bytes (after the interrupt flag was set).
    static void WakeAll();

private:
    static int StaticRead(void* opaque, uint8_t* buffer, int size);
    static int LiveRead(void* opaque, uint8_t* buffer, int size);
    bool MakeIo(size_t size, int (*read)(void*, uint8_t*, int));

    const std::atomic<bool>* m_interrupted;
    AVIOContextPtr m_io;
    // Static form: the caller's buffer. Live form: the owned queue, whose `m_used` unread bytes
    // start at `m_position`.
    unsigned char* m_data = nullptr;
    uint64_t m_position = 0;
    uint64_t m_used = 0;
    uint64_t m_capacity = 0;
    bool m_queue = false;
    bool m_live = false;
    int m_limitMB = 50;
    bool m_ended = false;
    int m_readTimeoutMs = 5000;
    // The thread of the latest append; a read that runs dry waits for bytes only when another
    // thread feeds the queue.
    std::thread::id m_appendThread;
};

}  // namespace RuvarEduzid
}  // namespace Halvora
