#pragma once

#include "Rtsp/RtpFrameTimeline.h"
#include "Rtsp/RtpPacketParser.h"
#include "Rtsp/RtpReorderBuffer.h"
#include "Rtsp/RtspAuthenticator.h"
#include "Rtsp/RtspExtensions.h"
#include "Rtsp/RtspResponse.h"
#include "Rtsp/RtspSocket.h"
#include "Rtsp/RtspStreamReader.h"
#include "Rtsp/RtspUrl.h"
#include "Rtsp/SdpDescription.h"

extern "C" {
#include <libavformat/avio.h>
}

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace Halvora {
namespace RuvarEduzid {
namespace Rtsp {

// How a session carries RTP, by the "RtspTransport" setting code.
enum class RtspTransportMode { Interleaved = 0, PreferTcp = 1, Udp = 2, UdpMulticast = 3 };
// The transport of a setting code; any unknown code is interleaved TCP.
inline RtspTransportMode TransportFromCode(int code) {
    return code >= 1 && code <= 3 ? static_cast<RtspTransportMode>(code) : RtspTransportMode::Interleaved;
}

struct RtspSessionOptions {
    RtspTransportMode transport = RtspTransportMode::Interleaved;
    // Bound of every wait while opening, and of each GET_PARAMETER exchange.
    int openTimeoutMs = 30000;
    // Bound of each wait for a media packet (the interrupt callback usually ends it sooner).
    int readTimeoutMs = 60000;
    // Bound of the wait for the reply to a GET_PARAMETER request once the session plays.
    int requestTimeoutMs = 5000;
    // Polled during every wait; a non-zero result abandons the wait.
    AVIOInterruptCB interrupt{nullptr, nullptr};
    std::string userAgent = "RuvarEduzid";
};

// An RTSP 1.0 client session over TCP that sets up the first video media of the presentation,
// plays it and delivers its RTP and RTCP packets one at a time. Single-threaded: every call comes
// from the thread that reads the input.
class RtspSession {
public:
    explicit RtspSession(RtspSessionOptions options);
    ~RtspSession();
    RtspSession(const RtspSession&) = delete;
    RtspSession& operator=(const RtspSession&) = delete;

    // OPTIONS, DESCRIBE, SETUP and PLAY. Returns 0 or a negative AVERROR.
    int Open(const std::string& url);
    // The description of the set-up media alone, for the "sdp" demuxer.
    const std::string& MediaSdp() const { return m_mediaSdp; }
    // Start of the PLAY reply's "npt=" range in microseconds, when it had one.
    bool PlayRangeStart(int64_t* startUs) const;
    RtspTransportMode ActiveTransport() const { return m_activeTransport; }
    const std::string& MaskedUrl() const { return m_maskedUrl; }

    // Copies the next RTP or RTCP packet into `buffer`. Returns its size, AVERROR_EOF when the
    // server ended the stream (an RTCP goodbye or its TEARDOWN) and every packet before was read,
    // or another negative AVERROR when the stream was lost (time-out, connection closed or broken
    // without an end, broken data) or the wait was interrupted.
    int ReadPacket(uint8_t* buffer, int size);
    // Why the stream was lost, empty while it was not (an ended stream is not lost).
    const std::string& LostReason() const { return m_lostReason; }
    // Sends RTCP (receiver reports) to the server on the RTCP channel or port. Returns `size` or
    // a negative AVERROR; never blocks longer than one second.
    int WriteRtcp(const uint8_t* data, int size);

    // Sends GET_PARAMETER and waits for its reply; see rtsp_read_get_parameter. Media packets that
    // came before the reply are queued, those of UDP transports included, so that the first packet
    // to arrive after it is the first one the server sent after it.
    char* GetParameter(int64_t* rangeStartUs);
    // Receives (and queues) media until the origin marked on the timeline has arrived, bounded by
    // the read time-out and the interrupt callback. Returns 0 or a negative AVERROR.
    int AwaitOrigin();
    // Receives (and queues) media until the first sender report has arrived and been placed on
    // the timeline, or, with `enoughWithOnvif`, a packet with the ONVIF replay extension; bounded
    // by `timeoutMs` and the interrupt callback. Returns 0 or a negative AVERROR.
    int AwaitSenderReport(int timeoutMs, bool enoughWithOnvif);
    // Binds the callback to this session; packets that came before are replayed to it first.
    void SetPacketCallback(RtspPacketCallback callback, uint64_t* destination);
    RTPDemuxContext* Timing() { return &m_timing; }
    // The RTP frames of the media in the order the demuxer reads them.
    RtpFrameTimeline& Timeline() { return m_timeline; }

    // Sends TEARDOWN (once, bounded) and closes the connection.
    void Teardown();

    // Counters for tests and logs.
    uint64_t DroppedPackets() const { return m_droppedPackets; }
    const RtpReorderBuffer& Reorder() const { return m_reorder; }
    uint64_t KeepAlivesSent() const { return m_keepAlivesSent; }
    uint64_t RtcpPacketsSent() const { return m_rtcpPacketsSent; }

private:
    using Clock = std::chrono::steady_clock;

    struct Pending {
        int cseq = -1;
        bool done = false;
        RtspResponse reply;
    };

    int Connect(Clock::time_point deadline);
    // Sends one request and waits for its reply; answers one 401 challenge (two for a stale
    // Digest nonce). Returns 0 (any status) or a negative AVERROR when no reply came.
    int Request(const std::string& method, const std::string& uri, const std::string& headers,
                RtspResponse* reply, int timeoutMs);
    int SendRequest(const std::string& method, const std::string& uri, const std::string& headers, int* cseq);
    int SendAll(const uint8_t* data, size_t size, Clock::time_point deadline);
    int SetupMedia(const std::string& controlUrl, RtspTransportMode mode);
    int SetupUdpSockets(bool multicast, const std::string& group, uint16_t port);
    // Waits for data on the sockets (up to `deadline`, in short slices that poll the interrupt
    // callback) and processes what arrived. Returns 0 when something was processed or the target
    // was met, or a negative AVERROR.
    // What a wait that receives media for the queue is for (Pump returns as soon as it came).
    enum class Awaited { Nothing, Origin, SenderReport, SenderReportOrOnvif };
    bool Arrived(Awaited what) const;
    int Pump(Clock::time_point deadline, uint8_t* target, int targetSize, int* delivered, const Pending* pending,
             Awaited until = Awaited::Nothing);
    int ReadTcp(uint8_t* target, int targetSize, int* delivered);
    // Reads up to 64 datagrams; returns how many were read.
    int ReadUdp(int fd, bool rtcp, uint8_t* target, int targetSize, int* delivered);
    // Queues every datagram already waiting on the UDP sockets.
    void DrainUdp();
    // Hands on a goodbye held back from the RTCP port, after what waits on the RTP port.
    void ReleaseDeferredBye(uint8_t* target, int targetSize, int* delivered);
    // The end of the stream: the RTP datagrams already waiting and every packet held for a missing
    // one go on, gaps or not.
    void ReleaseMediaBeforeTheEnd(uint8_t* target, int targetSize, int* delivered);
    // Hands on the UDP packets the reorder buffer lets go now (`all`: every waiting one).
    void ReleaseReordered(uint8_t* target, int targetSize, int* delivered, bool all = false);
    void OnMediaPacket(const uint8_t* data, size_t size, bool rtcp, uint8_t* target, int targetSize, int* delivered);
    void OnMessage(RtspResponse&& message);
    void KeepAliveIfDue();
    bool Interrupted() const;
    int StatusToError(int status) const;

    RtspSessionOptions m_options;
    RtspUrl m_url;
    std::string m_maskedUrl;
    RtspAuthenticator m_auth;
    RtspSocket m_tcp;
    sockaddr_storage m_peer{};
    socklen_t m_peerLength = 0;
    RtspStreamReader m_reader;
    bool m_tcpClosed = false;
    // The server ended the stream: an RTCP goodbye, or a TEARDOWN request of its own.
    bool m_streamEnded = false;
    std::string m_lostReason;
    // A goodbye that came on the RTCP port, held until the RTP port was read out.
    std::vector<uint8_t> m_deferredBye;
    bool m_releasingBye = false;
    std::string m_readError;

    int m_cseq = 0;
    Pending* m_pending = nullptr;
    std::string m_sessionId;
    int m_sessionTimeoutS = 60;
    Clock::time_point m_lastRequest;
    bool m_getParameterSupported = true;
    bool m_playing = false;
    bool m_tornDown = false;

    std::string m_baseUrl;
    std::string m_mediaControlUrl;
    std::string m_aggregateUrl;
    std::string m_mediaSdp;
    bool m_hasPlayRange = false;
    int64_t m_playRangeStartUs = 0;

    RtspTransportMode m_activeTransport = RtspTransportMode::Interleaved;
    int m_rtpChannel = 0;
    int m_rtcpChannel = 1;
    RtspSocket m_udpRtp;
    RtspSocket m_udpRtcp;
    sockaddr_storage m_serverRtcp{};
    socklen_t m_serverRtcpLength = 0;
    std::vector<uint8_t> m_udpScratch;
    // RTP over UDP may come out of order, twice or not at all: it is put back in order here.
    RtpReorderBuffer m_reorder;

    std::deque<std::vector<uint8_t>> m_queue;
    RTPDemuxContext m_timing{};
    RtpFrameTimeline m_timeline;
    RtspPacketCallback m_callback = nullptr;
    uint64_t* m_callbackDestination = nullptr;
    std::string m_lastReplyText;

    uint64_t m_droppedPackets = 0;
    // Payload type and format of the set-up media; refused payloads of it are dropped.
    int m_payloadType = -1;
    RtpPacketParser::PayloadFormat m_payloadFormat = RtpPacketParser::PayloadFormat::Other;
    uint64_t m_keepAlivesSent = 0;
    uint64_t m_rtcpPacketsSent = 0;
    uint64_t m_malformedLogged = 0;
};

}  // namespace Rtsp
}  // namespace RuvarEduzid
}  // namespace Halvora
