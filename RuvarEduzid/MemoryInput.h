#pragma once

// The bytes a decoder reads from memory instead of a file or network address, and the custom
// FFmpeg input that reads them.
//
// Static form: the caller's buffer, read from start to end; the caller keeps it alive.
// Live form: a queue the input owns and the host keeps appending to while the decoder reads. A
// zero-size append marks the end of the input.
//
// A demuxer that finds no byte in the middle of a packet takes that for the end of the input and
// hands out the packet cut short. When the host feeds the queue from another thread, a read that
// runs dry waits for the next bytes. When it feeds on the decoding thread, nothing can arrive
// during a read, so the input starts a read only when the bytes for a whole packet have come, and
// the decoder answers NotAvailable until then: for MPEG-TS, the start of the video PES after the
// one the demuxer is in (its parser needs the next frame's first bytes); for other containers, a
// reserve ahead of the demuxer of twice the most it has taken for one packet. An elementary stream
// (raw H.264, HEVC) needs neither: its demuxer resumes after a dry read. Should a read still run
// dry (a packet larger than any before, frames that do not begin with their PES), it is undone
// (see ReadFrame) and tried again once the bytes it had have doubled; no cut packet leaves.
//
// One process-wide mutex guards the queues of all inputs: the host may append on one thread while
// the decoder reads on another.

#include "RuvarEduzid/FfmpegPtr.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

namespace Halvora {
namespace RuvarEduzid {

class MemoryInput {
public:
    // `interrupted` ends a read that waits for bytes (the decoder's interrupt flag).
    explicit MemoryInput(const std::atomic<bool>* interrupted);
    ~MemoryInput();
    MemoryInput(const MemoryInput&) = delete;
    MemoryInput& operator=(const MemoryInput&) = delete;

    // Static form over the caller's `size` bytes. False when FFmpeg's I/O could not be allocated.
    bool OpenStatic(unsigned char* data, size_t size);
    // Live form: a queue of `capacity` bytes holding a copy of the caller's `dataSize` first bytes.
    // With `live`, appends that would make the queue exceed `limitMB` megabytes are refused.
    // False when memory could not be allocated.
    bool OpenLive(const unsigned char* data, size_t capacity, size_t dataSize, bool live, int limitMB);
    // Live form, once the demuxer `input` was opened over Io() and found its streams: packets are
    // read from here on. Probing read to the end of the opening bytes and may have cut the packet
    // there, so a demuxer that can start over from a byte position starts over from the first byte.
    void StartReading(AVFormatContext* input, int videoStream);
    // Frees the queue and FFmpeg's I/O; the input can be opened again.
    void Close();

    // The custom I/O for the demuxer (owned here), null until opened.
    AVIOContext* Io() const { return m_io.get(); }
    // Opened in the live form: the input may still grow.
    bool IsQueue() const { return m_queue; }

    // Appends `size` bytes to the queue; size 0 marks the end of the input. Once bytes were
    // appended, `restart` runs under the lock: when it returns true (the decoder had drained and
    // starts again), the end mark is cleared. False (nothing appended) when the input is not a
    // queue, the live limit is exceeded or memory runs out.
    bool Append(const unsigned char* chunk, size_t size, const std::function<bool()>& restart);
    // A zero-size append came: the queued bytes are the last ones.
    bool Ended() const;
    // A queue that may still grow cannot give the next packet whole now: no byte is left ahead of
    // the demuxer (in FFmpeg's buffer or queued), or, fed on the calling thread, not the bytes a
    // whole packet needs. Called on the decoding thread.
    bool AwaitsBytes() const;
    // Reads the next packet of a queue (av_read_frame on `input`, opened over Io()). Returns
    // AVERROR(EAGAIN) when the packet has to wait for more bytes. A read that ran dry is undone:
    // an elementary stream's demuxer stays where it was; MPEG-TS goes back to the video packet
    // before the last one handed out and reads again from there, skipping what it had handed out;
    // any other demuxer skips video to the next key frame. `videoStream` is the index of the
    // decoded stream.
    int ReadFrame(AVFormatContext* input, AVPacket* packet, int videoStream);
    // How long a read waits for bytes that another thread feeds.
    void SetReadTimeout(int timeoutMs) { m_readTimeoutMs = timeoutMs; }
    // Wakes a read that waits for bytes (after the interrupt flag was set).
    static void WakeAll();

private:
    // How the demuxer of a queue copes with a read that runs out of bytes.
    enum class Demuxer {
        // Elementary streams (raw H.264, HEVC): the demuxer hands partial reads to its parser and
        // passes a failed read on untouched, so it resumes where it stopped once bytes come.
        Resumes,
        // MPEG-TS: a failed read flushes the PES in progress as a packet, but the demuxer starts
        // cleanly at a PES that begins where it is put back to (it sees the jump).
        Restarts,
        // Anything else: no reading again; after a cut packet, video is skipped to a key frame.
        Other,
    };

    static int StaticRead(void* opaque, uint8_t* buffer, int size);
    static int LiveRead(void* opaque, uint8_t* buffer, int size);
    bool MakeIo(size_t size, int (*read)(void*, uint8_t*, int));
    // Puts FFmpeg's I/O back to the absolute byte `offset` of the queue.
    void RewindIo(uint64_t offset);
    // A read ran out of bytes in the middle of a packet; it had begun at byte `readStart`.
    void Recover(AVFormatContext* input, int64_t readStart);
    // Keeps what a restart after the delivered video `packet` needs.
    void Delivered(const AVPacket* packet);
    // While reading again after a restart: true when `packet` was handed out before.
    bool Replayed(const AVPacket* packet, int videoStream);
    uint64_t Reserve() const;
    // Under the lock: complete transport packets that start a video PES from byte `at` on, or -1
    // when the bytes there are not transport packets in step.
    int PesStartsAheadLocked(uint64_t at) const;
    // Under the lock: queued bytes not yet handed to FFmpeg; end of the queued bytes.
    uint64_t UnreadLocked() const { return m_origin + m_stored - m_readAt; }
    uint64_t EndLocked() const { return m_origin + m_stored; }

    const std::atomic<bool>* m_interrupted;
    AVIOContextPtr m_io;
    size_t m_ioSize = 0;
    // Static form: the caller's buffer and the read position. Live form: the owned queue; it
    // holds bytes m_origin .. m_origin + m_stored of the stream (absolute offsets, as FFmpeg's
    // I/O counts them), of which those from m_readAt on were not yet handed to FFmpeg, and those
    // from m_keepFrom on are kept for a restart (m_keepFrom < 0: none).
    unsigned char* m_data = nullptr;
    uint64_t m_position = 0;
    uint64_t m_capacity = 0;
    uint64_t m_origin = 0;
    uint64_t m_stored = 0;
    uint64_t m_readAt = 0;
    int64_t m_keepFrom = 0;
    bool m_queue = false;
    bool m_live = false;
    int m_limitMB = 50;
    bool m_ended = false;
    // Still opening: the probe reads until the opening bytes run out.
    bool m_opening = false;
    int m_readTimeoutMs = 5000;
    // The thread of the latest append; a read that runs dry waits for bytes only when another
    // thread feeds the queue.
    std::thread::id m_appendThread;

    // Decoding thread only (ReadFrame and the read callback it runs).
    Demuxer m_demuxer = Demuxer::Other;
    // The read in progress found no byte while more may come.
    bool m_ranDry = false;
    // Most bytes the demuxer took for one packet, not counting a first packet (which also reads
    // the stream's tables and fills the parser).
    uint64_t m_maxTaken = 0;
    // No video packet yet since reading (re)started at a position.
    bool m_priming = true;
    // MPEG-TS: the video PID; reads wait for the next PES start (true until a read runs dry
    // with it, then they go by the reserve).
    int m_videoPid = -1;
    bool m_pesRule = false;
    // PES starts found so far from m_scanFrom on (in step with it), scanned up to m_scannedTo.
    mutable std::vector<uint64_t> m_pesStarts;
    mutable uint64_t m_scanFrom = 0;
    mutable uint64_t m_scannedTo = 0;
    // After a dry read, no new one before the queue ends here.
    uint64_t m_retryAt = 0;
    // Where a restart begins (a packet's own position; < 0: no restart possible).
    int64_t m_restartAt = -1;
    // The video packet handed out last (a reference to its data) and its position.
    AVPacketPtr m_lastVideo;
    // Reading again after a restart, until the last video packet handed out comes again.
    bool m_replaying = false;
    // Video packets are skipped until a key frame.
    bool m_awaitKeyFrame = false;
};

}  // namespace RuvarEduzid
}  // namespace Halvora
