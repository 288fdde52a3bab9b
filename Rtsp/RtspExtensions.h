#pragma once

/*
 * RTSP extensions of the demuxer: what the web-stream decoders use to query the RTSP session of
 * an input opened by the library's RTSP layer, to move its packet timestamps, to drop what is
 * queued, to see every RTP packet and to read the RTP timing of each stream.
 *
 * Every function takes the AVFormatContext that the decoder opened for an "rtsp://" address and
 * finds the session through it; for any other context they do nothing and report failure.
 * They run on the thread that reads the input (the decoder's thread).
 */

#include <stdint.h>

#ifdef __cplusplus
#define RUVAR_RTSP_EXTENSION extern "C" __attribute__((visibility("default")))
#else
#define RUVAR_RTSP_EXTENSION __attribute__((visibility("default")))
#endif

struct AVFormatContext;

/* RTP timing of one stream of the session, updated as each packet arrives, before the demuxer
 * sees it. The video clock is 90 kHz. */
typedef struct RTPDemuxContext {
    uint32_t timestamp;           /* RTP time of the latest RTP packet */
    uint64_t last_rtcp_ntp_time;  /* NTP time (32.32 fixed point) of the latest sender report; 0 before one */
    uint32_t last_rtcp_timestamp; /* RTP time of that sender report */
    uint32_t ssrc;                /* synchronisation source of the latest RTP packet */
    uint64_t rtp_packets;         /* RTP packets seen */
    uint64_t sender_reports;      /* sender reports seen */
    uint64_t onvif_packets;       /* RTP packets seen with the ONVIF replay header extension (0xABAC) */
} RTPDemuxContext;

/* RTP timing of one frame: the frame's own packets, whenever the frame leaves the decoder. */
typedef struct RtspFrameTiming {
    uint32_t timestamp;       /* RTP time of the frame's packets */
    int64_t rtp_pts;          /* the frame's pts before any range start: its RTP time on the continuous
                                 clock the demuxer counts from its first RTP time (90 kHz for video) */
    uint64_t callback_value;  /* the packet callback's destination right after the frame's packets */
    int has_callback_value;   /* 1 when a packet callback saw the frame's packets */
    int64_t position;         /* the frame's RTP time unwrapped into 64 bits: it counts on past the
                                 32-bit wrap, and RTP times before it give negative differences */
    int has_report;           /* 1 when a sender report was known as the frame's first packet came: */
    uint64_t report_ntp_time; /* the latest one then, its NTP time (32.32) */
    int64_t report_position;  /* and its RTP time on the same unwrapped clock as `position` */
    int has_onvif_time;       /* 1 when the frame's packets carry the ONVIF replay header extension: */
    uint64_t onvif_ntp_time;  /* its NTP time (32.32), the frame's capture time */
} RtspFrameTiming;

/* Called with every RTP packet, whole (fixed header, extension and payload), before the frames
 * decoded from it are timed. The return value is not used. */
typedef uint64_t (*RtspPacketCallback)(const uint8_t* packet, int length, uint64_t* destination);

/* Sends GET_PARAMETER in the session and waits (bounded by the input's time-outs and interrupt
 * callback) for its reply. Returns the reply's text (status line, headers and body), owned by the
 * session and valid until the next call or until the input closes, or NULL when no reply came.
 * *rangeStart (when not NULL) receives the reply's range start in microseconds: from a "Range:"
 * header, "npt=" as seconds of the presentation, "clock=" as UTC since 1970-01-01; 0 when absent.
 * The reply is awaited for the session's request time-out (the decoder's connection time-out).
 * Media packets that arrive meanwhile are queued. */
RUVAR_RTSP_EXTENSION char* rtsp_read_get_parameter(struct AVFormatContext* s, int64_t* rangeStart);

/* Timestamps of packets read later count from `start`: mode 1, `start` in microseconds, rescaled
 * into the stream time base; mode 0, `start` already in stream time-base units. Without a flush the
 * stream's first packet is the origin; after flush_packet_queue the first packet that arrives after
 * the flush is, and every other packet keeps its RTP distance from it (those that came earlier
 * are timed before the range start).
 * Returns 0, or a negative AVERROR for a context not opened by the layer or another mode. */
RUVAR_RTSP_EXTENSION int set_rtpctx_range_start(struct AVFormatContext* s, int64_t start, int mode);

/* Makes the first packet that arrives from now on the origin of the range start. Nothing queued by
 * the session or the demuxer is dropped: those packets are read first and timed backwards from the
 * origin. Reading a packet waits, when needed, until the origin has arrived (bounded by the read
 * time-out and the interrupt callback). Returns 0 or a negative AVERROR. */
RUVAR_RTSP_EXTENSION int flush_packet_queue(struct AVFormatContext* s);

/* Binds a packet callback and its destination to this one input (NULL callback removes it).
 * Packets that arrived before the first binding (while the stream was probed) and have not been
 * read yet are handed to the callback at once, oldest first. Returns 0 or a negative AVERROR. */
RUVAR_RTSP_EXTENSION int rtsp_set_packet_callback(struct AVFormatContext* s, RtspPacketCallback callback,
                                                  uint64_t* destination);

/* Number of RTSP streams set up in the session (the layer sets up the video media only: 1). */
RUVAR_RTSP_EXTENSION int rtsp_stream_count(struct AVFormatContext* s);

/* Timing state of RTSP stream `index` (equal to the AVStream index of the input), valid while the
 * input is open; NULL for another context or index. */
RUVAR_RTSP_EXTENSION RTPDemuxContext* rtsp_get_rtp_demux_context(struct AVFormatContext* s, int index);

/* The RTP timing of the frame whose packet was read with timestamp `pts` (the frame's pts, in the
 * stream time base, as the decoder hands it on). Returns 0 when the packet is one of the latest
 * 1024 read, 1 when `pts` is unknown and the timing was derived from the stream clock (no
 * callback value), or a negative AVERROR for another context. */
RUVAR_RTSP_EXTENSION int rtsp_get_frame_timing(struct AVFormatContext* s, int64_t pts, RtspFrameTiming* timing);
