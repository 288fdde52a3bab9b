#include "Rtsp/RtspSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace Halvora {
namespace RuvarEduzid {
namespace Rtsp {

RtspSocket& RtspSocket::operator=(RtspSocket&& other) noexcept {
    if (this != &other) {
        Close();
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

void RtspSocket::Close() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

int RtspSocket::StartConnect(const sockaddr_storage& address, socklen_t length) {
    Close();
    m_fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fd < 0) return errno;
    int one = 1;
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) return 0;
    return errno;
}

int RtspSocket::ConnectResult() const {
    int error = 0;
    socklen_t len = sizeof error;
    if (::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) return errno;
    return error;
}

int RtspSocket::OpenUdp(int family, uint16_t port, bool reuseAddress) {
    Close();
    m_fd = ::socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fd < 0) return errno;
    if (reuseAddress) {
        int one = 1;
        ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    }
    int bufferSize = 2 * 1024 * 1024;
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);
    sockaddr_storage local{};
    socklen_t length;
    if (family == AF_INET6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&local);
        a->sin6_family = AF_INET6;
        a->sin6_addr = in6addr_any;
        a->sin6_port = htons(port);
        length = sizeof(sockaddr_in6);
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&local);
        a->sin_family = AF_INET;
        a->sin_addr.s_addr = htonl(INADDR_ANY);
        a->sin_port = htons(port);
        length = sizeof(sockaddr_in);
    }
    if (::bind(m_fd, reinterpret_cast<sockaddr*>(&local), length) != 0) {
        int error = errno;
        Close();
        return error;
    }
    return 0;
}

uint16_t RtspSocket::LocalPort() const {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (::getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
    if (local.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&local)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in*>(&local)->sin_port);
}

int RtspSocket::Resolve(const std::string& host, uint16_t port, sockaddr_storage* address, socklen_t* length) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    const std::string service = std::to_string(port);
    int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &result);
    if (rc != 0 || !result) return EHOSTUNREACH;
    std::memcpy(address, result->ai_addr, result->ai_addrlen);
    *length = result->ai_addrlen;
    ::freeaddrinfo(result);
    return 0;
}

std::string RtspSocket::AddressText(const sockaddr_storage& address) {
    char text[INET6_ADDRSTRLEN] = {0};
    if (address.ss_family == AF_INET6)
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&address)->sin6_addr, text, sizeof text);
    else
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&address)->sin_addr, text, sizeof text);
    return text;
}

}  // namespace Rtsp
}  // namespace RuvarEduzid
}  // namespace Halvora
