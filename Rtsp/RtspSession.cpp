#include "Rtsp/RtspSession.h"

#include "Rtsp/RtpPacketParser.h"

#include "Common/Logger.h"
#include "Common/StringUtility.h"
#include "Common/FfmpegPtr.h"

extern "C" {
#include <libavutil/error.h>
}

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace Halvora {
namespace RuvarEduzid {
namespace Rtsp {

using Halvora::Common::StringUtility;

namespace {
constexpr int kPollSliceMs = 50;
constexpr size_t kMaxQueuedPackets = 8192;
constexpr int kTeardownTimeoutMs = 1000;

uint32_t ReadBe32(const uint8_t* p) { return RtpPacketParser::ReadBe32(p); }

const char* TransportName(RtspTransportMode mode) {
    switch (mode) {
        case RtspTransportMode::Interleaved: return "tcp";
        case RtspTransportMode::PreferTcp: return "prefer_tcp";
        case RtspTransportMode::Udp: return "udp";
        case RtspTransportMode::UdpMulticast: return "udp_multicast";
    }
    return "?";
}

// "a-b" -> a, b (b = a + 1 when absent). False when no number.
bool ParsePortPair(const std::string& text, int* first, int* second) {
    char* end = nullptr;
    long a = std::strtol(text.c_str(), &end, 10);
    if (end == text.c_str() || a < 0 || a > 65535) return false;
    long b = a + 1;
    if (*end == '-') {
        char* end2 = nullptr;
        long v = std::strtol(end + 1, &end2, 10);
        if (end2 != end + 1 && v >= 0 && v <= 65535) b = v;
    }
    *first = static_cast<int>(a);
    *second = static_cast<int>(b);
    return true;
}
}  // namespace

RtspSession::RtspSession(RtspSessionOptions options) : m_options(std::move(options)) {
    m_lastRequest = Clock::now();
}

RtspSession::~RtspSession() {
    try {
        Teardown();
    } catch (...) {
    }
}

bool RtspSession::Interrupted() const {
    return m_options.interrupt.callback && m_options.interrupt.callback(m_options.interrupt.opaque) != 0;
}

bool RtspSession::PlayRangeStart(int64_t* startUs) const {
    if (!m_hasPlayRange) return false;
    *startUs = m_playRangeStartUs;
    return true;
}

int RtspSession::StatusToError(int status) const {
    if (status == 401) return AVERROR_HTTP_UNAUTHORIZED;
    if (status == 403) return AVERROR_HTTP_FORBIDDEN;
    if (status == 404) return AVERROR_HTTP_NOT_FOUND;
    if (status >= 400 && status < 500) return AVERROR_HTTP_OTHER_4XX;
    if (status >= 500) return AVERROR_HTTP_SERVER_ERROR;
    return AVERROR(EIO);
}

int RtspSession::Connect(Clock::time_point deadline) {
    sockaddr_storage address{};
    socklen_t length = 0;
    int rc = RtspSocket::Resolve(m_url.Host(), m_url.Port(), &address, &length);
    if (rc != 0) {
        HLOG_WARNING << "RTSP: cannot resolve the host of " << m_maskedUrl;
        return AVERROR(rc);
    }
    rc = m_tcp.StartConnect(address, length);
    if (rc != 0 && rc != EINPROGRESS) return AVERROR(rc);
    while (rc == EINPROGRESS) {
        if (Interrupted()) return AVERROR_EXIT;
        auto now = Clock::now();
        if (now >= deadline) return AVERROR(ETIMEDOUT);
        int slice = static_cast<int>(std::min<int64_t>(
            kPollSliceMs, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1));
        pollfd p{m_tcp.Fd(), POLLOUT, 0};
        int n = ::poll(&p, 1, slice);
        if (n < 0 && errno != EINTR) return AVERROR(errno);
        if (n > 0) {
            rc = m_tcp.ConnectResult();
            if (rc != 0) return AVERROR(rc);
        }
    }
    m_peer = address;
    m_peerLength = length;
    return 0;
}

int RtspSession::SendAll(const uint8_t* data, size_t size, Clock::time_point deadline) {
    const bool honourInterrupt = !m_tornDown;
    while (size > 0) {
        ssize_t n = ::send(m_tcp.Fd(), data, size, MSG_NOSIGNAL);
        if (n > 0) {
            data += n;
            size -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return AVERROR(errno);
        if (honourInterrupt && Interrupted()) return AVERROR_EXIT;
        auto now = Clock::now();
        if (now >= deadline) return AVERROR(ETIMEDOUT);
        pollfd p{m_tcp.Fd(), POLLOUT, 0};
        ::poll(&p, 1, kPollSliceMs);
    }
    return 0;
}

int RtspSession::SendRequest(const std::string& method, const std::string& uri, const std::string& headers,
                             int* cseq) {
    if (!m_tcp.Valid() || m_tcpClosed) return AVERROR_EOF;
    *cseq = ++m_cseq;
    std::string request = method + " " + uri + " RTSP/1.0\r\nCSeq: " + std::to_string(*cseq) + "\r\n";
    if (!m_options.userAgent.empty()) request += "User-Agent: " + m_options.userAgent + "\r\n";
    if (!m_sessionId.empty()) request += "Session: " + m_sessionId + "\r\n";
    std::string authorization = m_auth.Authorization(method, uri);
    if (!authorization.empty()) request += "Authorization: " + authorization + "\r\n";
    request += headers;
    request += "\r\n";
    HLOG_DEBUG << "RTSP request: " << method << " " << uri << " CSeq " << *cseq;
    m_lastRequest = Clock::now();
    auto deadline = Clock::now() + std::chrono::milliseconds(m_tornDown ? kTeardownTimeoutMs : m_options.openTimeoutMs);
    return SendAll(reinterpret_cast<const uint8_t*>(request.data()), request.size(), deadline);
}

int RtspSession::Request(const std::string& method, const std::string& uri, const std::string& headers,
                         RtspResponse* reply, int timeoutMs) {
    int challenges = 0;
    for (;;) {
        int cseq = 0;
        int rc = SendRequest(method, uri, headers, &cseq);
        if (rc < 0) return rc;
        Pending pending;
        pending.cseq = cseq;
        m_pending = &pending;
        rc = Pump(Clock::now() + std::chrono::milliseconds(timeoutMs), nullptr, 0, nullptr, &pending);
        m_pending = nullptr;
        if (rc < 0) return rc;
        HLOG_DEBUG << "RTSP reply to " << method << ": " << pending.reply.status << " " << pending.reply.reason;
        if (pending.reply.status == 401 && challenges < 2 && m_auth.HasCredentials()) {
            const bool hadScheme = m_auth.CurrentScheme() != RtspAuthenticator::Scheme::None;
            if (m_auth.OnChallenge(pending.reply.AllHeaders("WWW-Authenticate")) && (!hadScheme || m_auth.Stale())) {
                ++challenges;
                continue;
            }
        }
        *reply = std::move(pending.reply);
        return 0;
    }
}

int RtspSession::Open(const std::string& url) {
    m_maskedUrl = StringUtility::HideRtspPassword(url);
    if (!m_url.Parse(url)) {
        HLOG_ERROR << "RTSP: not a valid rtsp:// address: " << m_maskedUrl;
        return AVERROR(EINVAL);
    }
    if (m_url.HasCredentials()) m_auth.SetCredentials(m_url.User(), m_url.Password());
    const auto openDeadline = Clock::now() + std::chrono::milliseconds(m_options.openTimeoutMs);
    int rc = Connect(openDeadline);
    if (rc < 0) {
        HLOG_WARNING << "RTSP: cannot connect to " << m_maskedUrl << ": " << AvErrorText(rc);
        return rc;
    }
    const std::string& plain = m_url.WithoutCredentials();
    RtspResponse reply;
    rc = Request("OPTIONS", plain, "", &reply, m_options.openTimeoutMs);
    if (rc < 0) return rc;
    if (reply.status == 401) {
        HLOG_WARNING << "RTSP: authorization failed for " << m_maskedUrl;
        return AVERROR_HTTP_UNAUTHORIZED;
    }
    if (reply.status == 200 && reply.HasHeader("Public"))
        m_getParameterSupported = reply.Header("Public").find("GET_PARAMETER") != std::string::npos;

    rc = Request("DESCRIBE", plain, "Accept: application/sdp\r\n", &reply, m_options.openTimeoutMs);
    if (rc < 0) return rc;
    if (reply.status != 200) {
        HLOG_WARNING << "RTSP: DESCRIBE of " << m_maskedUrl << " answered " << reply.status << " " << reply.reason;
        return StatusToError(reply.status);
    }
    m_baseUrl = reply.Header("Content-Base");
    if (m_baseUrl.empty()) m_baseUrl = reply.Header("Content-Location");
    if (m_baseUrl.empty()) m_baseUrl = plain;
    SdpDescription sdp;
    std::string problem = sdp.Parse(reply.body);
    if (!problem.empty()) {
        HLOG_WARNING << "RTSP: invalid session description from " << m_maskedUrl << ": " << problem;
        return AVERROR_INVALIDDATA;
    }
    int video = sdp.FindMedia("video");
    if (video < 0) {
        HLOG_WARNING << "RTSP: no video media in the session description of " << m_maskedUrl;
        return AVERROR_STREAM_NOT_FOUND;
    }
    m_aggregateUrl = RtspUrl::ResolveControl(m_baseUrl, sdp.SessionControl());
    m_mediaControlUrl = RtspUrl::ResolveControl(m_baseUrl, sdp.MediaList()[video].control);
    m_mediaSdp = sdp.SingleMediaSdp(video);
    m_payloadType = sdp.PayloadType(video);
    m_payloadFormat = RtpPacketParser::FormatOfEncoding(sdp.EncodingName(video));

    switch (m_options.transport) {
        case RtspTransportMode::PreferTcp:
            rc = SetupMedia(m_mediaControlUrl, RtspTransportMode::Interleaved);
            if (rc < 0 && rc != AVERROR_EXIT && rc != AVERROR(ETIMEDOUT) && rc != AVERROR_EOF &&
                rc != AVERROR_HTTP_UNAUTHORIZED) {
                HLOG_INFO << "RTSP: interleaved transport refused by " << m_maskedUrl << ", trying UDP";
                rc = SetupMedia(m_mediaControlUrl, RtspTransportMode::Udp);
            }
            break;
        default:
            rc = SetupMedia(m_mediaControlUrl, m_options.transport);
            break;
    }
    if (rc < 0) return rc;

    rc = Request("PLAY", m_aggregateUrl, "Range: npt=0.000-\r\n", &reply, m_options.openTimeoutMs);
    if (rc < 0) return rc;
    if (reply.status != 200) {
        HLOG_WARNING << "RTSP: PLAY of " << m_maskedUrl << " answered " << reply.status << " " << reply.reason;
        return StatusToError(reply.status);
    }
    std::string range = reply.Header("Range");
    if (StringUtility::ToLower(StringUtility::Trim(range)).compare(0, 4, "npt=") == 0)
        m_hasPlayRange = RtspResponse::ParseRangeStart(range, &m_playRangeStartUs);
    m_playing = true;
    HLOG_INFO << "RTSP session opened: " << m_maskedUrl << ", transport " << TransportName(m_activeTransport)
              << ", session time-out " << m_sessionTimeoutS << " s";
    return 0;
}

int RtspSession::SetupUdpSockets(bool multicast, const std::string& group, uint16_t port) {
    const int family = m_peer.ss_family == AF_INET6 ? AF_INET6 : AF_INET;
    if (multicast) {
        int rc = m_udpRtp.OpenUdp(family, port, true);
        if (rc == 0) rc = m_udpRtcp.OpenUdp(family, static_cast<uint16_t>(port + 1), true);
        if (rc != 0) return AVERROR(rc);
        if (family != AF_INET) return AVERROR(ENOSYS);
        ip_mreq request{};
        if (::inet_pton(AF_INET, group.c_str(), &request.imr_multiaddr) != 1) return AVERROR_INVALIDDATA;
        request.imr_interface.s_addr = htonl(INADDR_ANY);
        if (::setsockopt(m_udpRtp.Fd(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) != 0 ||
            ::setsockopt(m_udpRtcp.Fd(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) != 0)
            return AVERROR(errno);
        return 0;
    }
    for (int attempt = 0; attempt < 32; ++attempt) {
        int rc = m_udpRtp.OpenUdp(family, 0, false);
        if (rc != 0) return AVERROR(rc);
        uint16_t rtpPort = m_udpRtp.LocalPort();
        if (rtpPort % 2 != 0 || rtpPort == 65535) continue;
        if (m_udpRtcp.OpenUdp(family, static_cast<uint16_t>(rtpPort + 1), false) == 0) return 0;
    }
    m_udpRtp.Close();
    return AVERROR(EADDRINUSE);
}

int RtspSession::SetupMedia(const std::string& controlUrl, RtspTransportMode mode) {
    std::string transport;
    if (mode == RtspTransportMode::Interleaved) {
        transport = "RTP/AVP/TCP;unicast;interleaved=0-1";
    } else if (mode == RtspTransportMode::Udp) {
        int rc = SetupUdpSockets(false, {}, 0);
        if (rc < 0) return rc;
        const int port = m_udpRtp.LocalPort();
        transport = "RTP/AVP;unicast;client_port=" + std::to_string(port) + "-" + std::to_string(port + 1);
    } else {
        transport = "RTP/AVP;multicast";
    }
    RtspResponse reply;
    int rc = Request("SETUP", controlUrl, "Transport: " + transport + "\r\n", &reply, m_options.openTimeoutMs);
    if (rc < 0) return rc;
    if (reply.status != 200) {
        HLOG_WARNING << "RTSP: SETUP (" << TransportName(mode) << ") of " << m_maskedUrl << " answered "
                     << reply.status << " " << reply.reason;
        m_udpRtp.Close();
        m_udpRtcp.Close();
        return StatusToError(reply.status);
    }
    std::string session = reply.Header("Session");
    if (!session.empty()) {
        size_t semi = session.find(';');
        m_sessionId = StringUtility::Trim(session.substr(0, semi));
        if (semi != std::string::npos) {
            std::string lower = StringUtility::ToLower(session.substr(semi));
            size_t t = lower.find("timeout=");
            if (t != std::string::npos) {
                int value = std::atoi(lower.c_str() + t + 8);
                if (value > 0) m_sessionTimeoutS = std::min(value, 3600);
            }
        }
    }
    // Transport parameters of the reply.
    std::string reply_transport = reply.Header("Transport");
    std::string destination;
    int interleavedA = -1, interleavedB = -1, serverA = -1, serverB = -1, portA = -1, portB = -1;
    size_t pos = 0;
    while (pos <= reply_transport.size()) {
        size_t end = reply_transport.find(';', pos);
        if (end == std::string::npos) end = reply_transport.size();
        std::string param = StringUtility::Trim(reply_transport.substr(pos, end - pos));
        pos = end + 1;
        std::string lower = StringUtility::ToLower(param);
        if (lower.compare(0, 12, "interleaved=") == 0) ParsePortPair(param.substr(12), &interleavedA, &interleavedB);
        else if (lower.compare(0, 12, "server_port=") == 0) ParsePortPair(param.substr(12), &serverA, &serverB);
        else if (lower.compare(0, 5, "port=") == 0) ParsePortPair(param.substr(5), &portA, &portB);
        else if (lower.compare(0, 12, "destination=") == 0) destination = param.substr(12);
    }
    if (mode == RtspTransportMode::Interleaved) {
        if (interleavedA >= 0 && interleavedA < 256 && interleavedB >= 0 && interleavedB < 256) {
            m_rtpChannel = interleavedA;
            m_rtcpChannel = interleavedB;
        }
    } else if (mode == RtspTransportMode::Udp) {
        if (serverB > 0) {
            m_serverRtcp = m_peer;
            if (m_serverRtcp.ss_family == AF_INET6)
                reinterpret_cast<sockaddr_in6*>(&m_serverRtcp)->sin6_port = htons(static_cast<uint16_t>(serverB));
            else
                reinterpret_cast<sockaddr_in*>(&m_serverRtcp)->sin_port = htons(static_cast<uint16_t>(serverB));
            m_serverRtcpLength = m_peerLength;
        }
    } else {
        if (destination.empty() || portA <= 0) {
            HLOG_WARNING << "RTSP: multicast SETUP reply without destination and port";
            return AVERROR_INVALIDDATA;
        }
        int rc2 = SetupUdpSockets(true, destination, static_cast<uint16_t>(portA));
        if (rc2 < 0) return rc2;
    }
    m_activeTransport = mode;
    return 0;
}

void RtspSession::OnMessage(RtspResponse&& message) {
    if (message.isRequest) {
        if (message.method == "TEARDOWN") {
            HLOG_INFO << "RTSP: the server ended the stream of " << m_maskedUrl << " (TEARDOWN)";
            m_streamEnded = true;
            return;
        }
        HLOG_DEBUG << "RTSP: ignoring a " << message.method << " request from the server";
        return;
    }
    if (m_pending && !m_pending->done && message.CSeq() == m_pending->cseq) {
        m_pending->reply = std::move(message);
        m_pending->done = true;
        return;
    }
    if (message.status != 200) {
        HLOG_DEBUG << "RTSP: reply " << message.status << " to an earlier request (keep-alive)";
    }
}

void RtspSession::OnMediaPacket(const uint8_t* data, size_t size, bool rtcp, uint8_t* target, int targetSize,
                                int* delivered) {
    if (!rtcp && RtpPacketParser::IsRtcp(data, size)) rtcp = true;  // RTCP on the RTP channel
    if (rtcp) {
        const RtpPacketParser::RtcpInfo info = RtpPacketParser::ParseRtcp(data, size);
        // Over UDP the goodbye comes on the RTCP port while media the server sent before it may
        // still wait on the RTP port: it is held back until that port was read out (the demuxer
        // ends the stream at the goodbye).
        if (info.bye && !m_releasingBye && m_udpRtp.Valid()) {
            if (m_deferredBye.empty()) m_deferredBye.assign(data, data + size);
            return;
        }
        if (info.bye) m_streamEnded = true;
        if (info.senderReport) {
            m_timing.last_rtcp_ntp_time = info.ntpTime;
            m_timing.last_rtcp_timestamp = info.rtpTime;
            ++m_timing.sender_reports;
            m_timeline.OnSenderReport(info.rtpTime, info.ntpTime);
        }
    } else {
        // Nobody reads a packet that does not hold its whole header.
        if (!RtpPacketParser::HasWholeHeader(data, size)) {
            ++m_droppedPackets;
            if (m_malformedLogged++ < 10) {
                HLOG_WARNING << "RTSP: skipped an RTP packet of " << size << " bytes that is shorter than its header";
            }
            return;
        }
        m_timing.timestamp = ReadBe32(data + 4);
        m_timing.ssrc = ReadBe32(data + 8);
        ++m_timing.rtp_packets;
        if (m_callback) m_callback(data, static_cast<int>(size), m_callbackDestination);
        const bool media = m_payloadType < 0 || (data[1] & 0x7f) == m_payloadType;
        if (media && m_payloadType >= 0) {
            const uint8_t* payload = nullptr;
            size_t payloadSize = 0;
            RtpPacketParser::Payload(data, size, &payload, &payloadSize);
            if (!RtpPacketParser::IsDepacketizable(m_payloadFormat, payload, payloadSize)) {
                ++m_droppedPackets;
                if (m_malformedLogged++ < 10) {
                    HLOG_WARNING << "RTSP: skipped an RTP packet whose payload cannot be depacketized ("
                                 << payloadSize << " bytes, first byte "
                                 << (payloadSize ? static_cast<int>(payload[0]) : 0) << ")";
                }
                return;
            }
        }
        // The demuxer reads only packets of the media's payload type.
        if (media) {
            const bool hasValue = m_callback && m_callbackDestination;
            m_timeline.OnRtpPacket(data, size, hasValue, hasValue ? *m_callbackDestination : 0);
            m_timing.onvif_packets = m_timeline.OnvifPackets();
        }
    }
    if (target && *delivered == 0 && size <= static_cast<size_t>(targetSize)) {
        std::memcpy(target, data, size);
        *delivered = static_cast<int>(size);
        return;
    }
    if (m_queue.size() >= kMaxQueuedPackets) {
        m_queue.pop_front();
        ++m_droppedPackets;
        if (m_malformedLogged++ < 10) {
            HLOG_WARNING << "RTSP: packet queue full, the oldest packet was dropped";
        }
    }
    m_queue.emplace_back(data, data + size);
}

int RtspSession::ReadTcp(uint8_t* target, int targetSize, int* delivered) {
    for (;;) {
        RtspStreamReader::Item item;
        if (m_reader.Next(item)) {
            if (item.type == RtspStreamReader::ItemType::Error) {
                if (m_readError.empty()) {
                    HLOG_ERROR << "RTSP: broken reply from " << m_maskedUrl << ": " << item.error;
                }
                m_readError = item.error;
                return AVERROR_INVALIDDATA;
            }
            if (item.type == RtspStreamReader::ItemType::Message) {
                OnMessage(std::move(item.message));
            } else if (item.channel == m_rtpChannel || item.channel == m_rtcpChannel) {
                OnMediaPacket(item.data, item.size, item.channel == m_rtcpChannel, target, targetSize, delivered);
            }
            if ((delivered && *delivered > 0) || (m_pending && m_pending->done)) return 0;
            continue;
        }
        if (m_tcpClosed) return 0;
        uint8_t* area = m_reader.WriteArea(64 * 1024);
        ssize_t n = ::recv(m_tcp.Fd(), area, 64 * 1024, 0);
        if (n > 0) {
            m_reader.Commit(static_cast<size_t>(n));
            continue;
        }
        if (n == 0) {
            m_tcpClosed = true;
            HLOG_INFO << "RTSP: the server closed the connection of " << m_maskedUrl;
            if (!m_streamEnded) m_lostReason = "the server closed the connection without ending the stream";
            return 0;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
        m_tcpClosed = true;
        HLOG_WARNING << "RTSP: connection error on " << m_maskedUrl << ": " << std::strerror(errno);
        if (!m_streamEnded) m_lostReason = std::string("connection error: ") + std::strerror(errno);
        return 0;
    }
}

int RtspSession::ReadUdp(int fd, bool rtcp, uint8_t* target, int targetSize, int* delivered) {
    if (m_udpScratch.empty()) m_udpScratch.resize(65536);
    int read = 0;
    for (int i = 0; i < 64; ++i) {
        sockaddr_storage from{};
        socklen_t fromLength = sizeof from;
        ssize_t n = ::recvfrom(fd, m_udpScratch.data(), m_udpScratch.size(), 0, reinterpret_cast<sockaddr*>(&from),
                               &fromLength);
        if (n < 0) return read;
        ++read;
        if (m_activeTransport == RtspTransportMode::Udp && RtspSocket::AddressText(from) != RtspSocket::AddressText(m_peer))
            continue;  // only the server's packets
        if (!rtcp && !RtpPacketParser::IsRtcp(m_udpScratch.data(), static_cast<size_t>(n))) {
            m_reorder.Push(m_udpScratch.data(), static_cast<size_t>(n), Clock::now());
            ReleaseReordered(target, targetSize, delivered);
        } else {
            OnMediaPacket(m_udpScratch.data(), static_cast<size_t>(n), rtcp, target, targetSize, delivered);
        }
        if (*delivered > 0) return read;
    }
    return read;
}

void RtspSession::DrainUdp() {
    int ignored = 0;
    // Bounded: a server flooding the sockets cannot hold the caller here.
    for (int round = 0; round < 64; ++round) {
        int read = 0;
        if (m_udpRtcp.Valid()) read += ReadUdp(m_udpRtcp.Fd(), true, nullptr, 0, &ignored);
        if (m_udpRtp.Valid()) read += ReadUdp(m_udpRtp.Fd(), false, nullptr, 0, &ignored);
        if (read == 0) break;
    }
    // Everything that came before the reply goes on now, gaps or not.
    ReleaseReordered(nullptr, 0, &ignored, true);
    ReleaseDeferredBye(nullptr, 0, &ignored);
}

void RtspSession::ReleaseReordered(uint8_t* target, int targetSize, int* delivered, bool all) {
    std::vector<uint8_t> packet;
    const Clock::time_point now = Clock::now();
    while (all ? m_reorder.PopAny(&packet) : m_reorder.Pop(&packet, now))
        OnMediaPacket(packet.data(), packet.size(), false, target, targetSize, delivered);
}

void RtspSession::ReleaseMediaBeforeTheEnd(uint8_t* target, int targetSize, int* delivered) {
    // Bounded: a server flooding the port cannot hold the caller here.
    for (int round = 0; m_udpRtp.Valid() && round < 64 && ReadUdp(m_udpRtp.Fd(), false, target, targetSize, delivered) > 0;
         ++round) {
    }
    ReleaseReordered(target, targetSize, delivered, true);
}

void RtspSession::ReleaseDeferredBye(uint8_t* target, int targetSize, int* delivered) {
    if (m_deferredBye.empty()) return;
    // The media sent before the goodbye is on the RTP port by now: it goes first.
    ReleaseMediaBeforeTheEnd(target, targetSize, delivered);
    std::vector<uint8_t> bye;
    bye.swap(m_deferredBye);
    m_releasingBye = true;
    OnMediaPacket(bye.data(), bye.size(), true, target, targetSize, delivered);
    m_releasingBye = false;
}

bool RtspSession::Arrived(Awaited what) const {
    RtpFrameTimeline::Report report;
    switch (what) {
        case Awaited::Origin: return !m_timeline.OriginPending();
        case Awaited::SenderReport: return m_timeline.FirstReport(&report);
        case Awaited::SenderReportOrOnvif: return m_timeline.FirstReport(&report) || m_timeline.OnvifTimesSeen();
        case Awaited::Nothing: break;
    }
    return false;
}

int RtspSession::Pump(Clock::time_point deadline, uint8_t* target, int targetSize, int* delivered,
                      const Pending* pending, Awaited until) {
    int ignored = 0;
    if (!delivered) delivered = &ignored;
    for (;;) {
        if (!m_readError.empty()) return AVERROR_INVALIDDATA;
        int rc = ReadTcp(target, targetSize, delivered);
        if (rc < 0) return rc;
        if (*delivered > 0 || (pending && pending->done)) return 0;
        if (Arrived(until)) return 0;
        // The server's TEARDOWN ends the stream even where it keeps the connection open: what it
        // sent before goes out, then the end.
        if (m_streamEnded && !pending) {
            ReleaseMediaBeforeTheEnd(target, targetSize, delivered);
            return *delivered > 0 || !m_queue.empty() ? 0 : AVERROR_EOF;
        }
        if (!pending) KeepAliveIfDue();
        if (m_tcpClosed && (pending || m_activeTransport == RtspTransportMode::Interleaved ||
                            m_activeTransport == RtspTransportMode::PreferTcp))
            return m_streamEnded || pending ? AVERROR_EOF : AVERROR(ECONNRESET);
        if (Interrupted()) return AVERROR_EXIT;
        // UDP packets that waited long enough for a missing one go on.
        ReleaseReordered(target, targetSize, delivered);
        if (*delivered > 0) return 0;
        auto now = Clock::now();
        if (now >= deadline) return AVERROR(ETIMEDOUT);
        const Clock::time_point wake = std::min(deadline, m_reorder.NextDue());
        const int slice = static_cast<int>(std::max<int64_t>(0, std::min<int64_t>(
            kPollSliceMs, std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count() + 1)));
        pollfd fds[3];
        int count = 0;
        int tcpIndex = -1, rtpIndex = -1, rtcpIndex = -1;
        if (!m_tcpClosed) {
            tcpIndex = count;
            fds[count++] = {m_tcp.Fd(), POLLIN, 0};
        }
        if (m_udpRtp.Valid()) {
            rtpIndex = count;
            fds[count++] = {m_udpRtp.Fd(), POLLIN, 0};
        }
        if (m_udpRtcp.Valid()) {
            rtcpIndex = count;
            fds[count++] = {m_udpRtcp.Fd(), POLLIN, 0};
        }
        if (count == 0) return AVERROR_EOF;
        int n = ::poll(fds, static_cast<nfds_t>(count), slice);
        if (n < 0 && errno != EINTR) return AVERROR(errno);
        if (n <= 0) continue;
        // Sender reports first: they are few, and a steady flow of media must not hold them back.
        if (rtcpIndex >= 0 && fds[rtcpIndex].revents) ReadUdp(m_udpRtcp.Fd(), true, target, targetSize, delivered);
        if (rtpIndex >= 0 && fds[rtpIndex].revents && *delivered == 0)
            ReadUdp(m_udpRtp.Fd(), false, target, targetSize, delivered);
        ReleaseDeferredBye(target, targetSize, delivered);
        if (Arrived(until)) return 0;
        (void)tcpIndex;  // the TCP socket is read at the top of the loop
    }
}

void RtspSession::KeepAliveIfDue() {
    if (!m_playing || m_tcpClosed) return;
    const auto interval = std::chrono::milliseconds(m_sessionTimeoutS * 1000 / 2);
    if (Clock::now() - m_lastRequest < interval) return;
    int cseq = 0;
    const char* method = m_getParameterSupported ? "GET_PARAMETER" : "OPTIONS";
    if (SendRequest(method, m_getParameterSupported ? m_aggregateUrl : m_url.WithoutCredentials(), "", &cseq) == 0)
        ++m_keepAlivesSent;
}

int RtspSession::ReadPacket(uint8_t* buffer, int size) {
    while (!m_queue.empty()) {
        std::vector<uint8_t> packet = std::move(m_queue.front());
        m_queue.pop_front();
        if (packet.size() > static_cast<size_t>(size)) {
            ++m_droppedPackets;
            continue;
        }
        std::memcpy(buffer, packet.data(), packet.size());
        return static_cast<int>(packet.size());
    }
    // After the server's goodbye (RTCP BYE) and every packet before it, the stream has ended.
    if (m_streamEnded) return AVERROR_EOF;
    int delivered = 0;
    int rc = Pump(Clock::now() + std::chrono::milliseconds(m_options.readTimeoutMs), buffer, size, &delivered, nullptr);
    if (delivered > 0) return delivered;
    if (rc == AVERROR(ETIMEDOUT)) {
        HLOG_WARNING << "RTSP: no data from " << m_maskedUrl << " for " << m_options.readTimeoutMs << " ms";
        m_lostReason = "no data for " + std::to_string(m_options.readTimeoutMs) + " ms";
    } else if (rc == AVERROR_INVALIDDATA && m_lostReason.empty()) {
        m_lostReason = "broken data: " + m_readError;
    }
    return rc < 0 ? rc : AVERROR(EAGAIN);
}

int RtspSession::WriteRtcp(const uint8_t* data, int size) {
    if (size <= 0) return size;
    if (m_activeTransport == RtspTransportMode::Interleaved) {
        if (m_tcpClosed || size > 65535) return size;
        std::vector<uint8_t> frame(4 + static_cast<size_t>(size));
        frame[0] = '$';
        frame[1] = static_cast<uint8_t>(m_rtcpChannel);
        frame[2] = static_cast<uint8_t>(size >> 8);
        frame[3] = static_cast<uint8_t>(size & 0xff);
        std::memcpy(frame.data() + 4, data, static_cast<size_t>(size));
        int rc = SendAll(frame.data(), frame.size(), Clock::now() + std::chrono::milliseconds(1000));
        if (rc < 0) return rc;
    } else if (m_serverRtcpLength > 0 && m_udpRtcp.Valid()) {
        ::sendto(m_udpRtcp.Fd(), data, static_cast<size_t>(size), 0, reinterpret_cast<const sockaddr*>(&m_serverRtcp),
                 m_serverRtcpLength);
    } else {
        return size;
    }
    ++m_rtcpPacketsSent;
    return size;
}

char* RtspSession::GetParameter(int64_t* rangeStartUs) {
    if (!m_tcp.Valid() || m_tcpClosed || m_tornDown) return nullptr;
    RtspResponse reply;
    int rc = Request("GET_PARAMETER", m_aggregateUrl, "", &reply, m_options.requestTimeoutMs);
    if (rc < 0) {
        HLOG_WARNING << "RTSP: no reply to GET_PARAMETER from " << m_maskedUrl << ": " << AvErrorText(rc);
        return nullptr;
    }
    if (reply.status != 200) {
        HLOG_WARNING << "RTSP: GET_PARAMETER of " << m_maskedUrl << " answered " << reply.status << " " << reply.reason;
    }
    // Datagrams already waiting were sent before the reply: they are queued now, so that the first
    // packet to arrive from here on is one the server sent after its reply.
    if (m_udpRtp.Valid()) DrainUdp();
    m_lastReplyText = reply.text;
    if (rangeStartUs) {
        int64_t start = 0;
        std::string range = reply.Header("Range");
        if (!range.empty() && !RtspResponse::ParseRangeStart(range, &start)) start = 0;
        *rangeStartUs = start;
    }
    return &m_lastReplyText[0];
}

int RtspSession::AwaitOrigin() {
    if (!m_timeline.OriginPending()) return 0;
    // After the server's goodbye no packet comes any more.
    int rc = m_streamEnded ? AVERROR_EOF : Pump(Clock::now() + std::chrono::milliseconds(m_options.readTimeoutMs), nullptr, 0, nullptr, nullptr, Awaited::Origin);
    if (rc < 0 || m_timeline.OriginPending()) {
        HLOG_WARNING << "RTSP: no packet arrived after the range start of " << m_maskedUrl
                     << "; frame times count from the latest packet";
        m_timeline.SettleOriginOnLatest();
    }
    return rc;
}

int RtspSession::AwaitSenderReport(int timeoutMs, bool enoughWithOnvif) {
    const Awaited what = enoughWithOnvif ? Awaited::SenderReportOrOnvif : Awaited::SenderReport;
    if (Arrived(what)) return 0;
    if (m_streamEnded) return AVERROR_EOF;
    return Pump(Clock::now() + std::chrono::milliseconds(timeoutMs), nullptr, 0, nullptr, nullptr, what);
}

void RtspSession::SetPacketCallback(RtspPacketCallback callback, uint64_t* destination) {
    m_callback = callback;
    m_callbackDestination = destination;
    m_timeline.BindCallback(callback, destination);
}

void RtspSession::Teardown() {
    if (m_tornDown) return;
    m_tornDown = true;
    if (m_tcp.Valid() && !m_tcpClosed && !m_sessionId.empty()) {
        int cseq = 0;
        if (SendRequest("TEARDOWN", m_aggregateUrl, "", &cseq) == 0) {
            HLOG_DEBUG << "RTSP: TEARDOWN sent to " << m_maskedUrl;
        }
    }
    m_playing = false;
    m_tcp.Close();
    m_udpRtp.Close();
    m_udpRtcp.Close();
    m_queue.clear();
    if (m_reorder.Duplicates() || m_reorder.Late() || m_reorder.Missing()) {
        HLOG_INFO << "RTSP: " << m_maskedUrl << " over UDP: " << m_reorder.Duplicates() << " duplicate, "
                  << m_reorder.Late() << " late and " << m_reorder.Missing() << " missing RTP packets";
    }
    m_reorder.Clear();
}

}  // namespace Rtsp
}  // namespace RuvarEduzid
}  // namespace Halvora
