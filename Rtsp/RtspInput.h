#pragma once

#include "Rtsp/RtspSession.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <cstdint>
#include <memory>
#include <string>

namespace Halvora {
namespace RuvarEduzid {
namespace Rtsp {

// An "rtsp://" input: the RTSP session, and FFmpeg's "sdp" demuxer reading the session's media
// through a custom AVIOContext (first the media description, then one RTP or RTCP packet per
// read). The input is found again from its AVFormatContext; close it with Close.
class RtspInput {
public:
    // Opens `url`. `*context` may hold a context made by avformat_alloc_context (its interrupt
    // callback is then used for every wait) or be null. On success `*context` is the opened input;
    // on failure it is freed and null and a negative AVERROR is returned.
    static int Open(AVFormatContext** context, const std::string& url, RtspSessionOptions options);
    // The input opened for that context, or null.
    static RtspInput* Find(const AVFormatContext* context);
    // Closes any input context: TEARDOWN and release for an RTSP input, avformat_close_input for
    // others. Sets `*context` to null.
    static void Close(AVFormatContext** context);
    // av_read_frame, with the range start applied to the packet of an RTSP input.
    static int ReadFrame(AVFormatContext* context, AVPacket* packet);

    RtspSession& Session() { return *m_session; }
    // See set_rtpctx_range_start and flush_packet_queue.
    int SetRangeStart(int64_t start, int mode);
    void Flush();
    void AdjustTimestamps(AVPacket* packet);

    ~RtspInput();
    RtspInput(const RtspInput&) = delete;
    RtspInput& operator=(const RtspInput&) = delete;

private:
    RtspInput() = default;
    static int ReadCallback(void* opaque, uint8_t* buffer, int size);
    static int WriteCallback(void* opaque, uint8_t* buffer, int size);

    std::unique_ptr<RtspSession> m_session;
    AVFormatContext* m_context = nullptr;
    AVIOContext* m_io = nullptr;
    int m_phase = 0;  // 0 description, 1 end of description, 2 packets
    size_t m_sdpOffset = 0;
    bool m_rangeSet = false;
    int64_t m_rangeStart = 0;  // stream time base
    int64_t m_origin = 0;      // timestamp that maps to m_rangeStart
    bool m_rebase = false;     // the next packet becomes the origin
    // Reads of the session's media by the demuxer, and their count at the latest flush: until the
    // demuxer reads again, every packet it gives was queued in it before the flush.
    uint64_t m_mediaReads = 0;
    uint64_t m_mediaReadsAtFlush = 0;
    bool m_dropQueued = false;     // a flush is dropping what the demuxer held
    bool m_dropHeldFrame = false;  // with the frame its parser had begun
};

}  // namespace Rtsp
}  // namespace RuvarEduzid
}  // namespace Halvora
