#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>

namespace Halvora {
namespace RuvarEduzid {
namespace Rtsp {

// A non-blocking socket descriptor, closed when the object goes.
class RtspSocket {
public:
    RtspSocket() = default;
    explicit RtspSocket(int fd) : m_fd(fd) {}
    ~RtspSocket() { Close(); }
    RtspSocket(const RtspSocket&) = delete;
    RtspSocket& operator=(const RtspSocket&) = delete;
    RtspSocket(RtspSocket&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    RtspSocket& operator=(RtspSocket&& other) noexcept;

    int Fd() const { return m_fd; }
    bool Valid() const { return m_fd >= 0; }
    void Close();

    // Starts a non-blocking TCP connection; returns 0, EINPROGRESS, or another errno value.
    int StartConnect(const sockaddr_storage& address, socklen_t length);
    // The outcome of a connection once the socket is writable (0 or an errno value).
    int ConnectResult() const;
    // A UDP socket bound to `port` (0 for any) on all addresses; errno value on failure.
    int OpenUdp(int family, uint16_t port, bool reuseAddress);
    uint16_t LocalPort() const;

    // Resolves host and port (numeric or by name). Returns 0 or an errno-like value.
    static int Resolve(const std::string& host, uint16_t port, sockaddr_storage* address, socklen_t* length);
    static std::string AddressText(const sockaddr_storage& address);

private:
    int m_fd = -1;
};

}  // namespace Rtsp
}  // namespace RuvarEduzid
}  // namespace Halvora
