#pragma once

#include <cstdint>
#include <string>

namespace Halvora {
namespace RuvarEduzid {
namespace Rtsp {

// An rtsp:// address split into its parts. User and password are percent-decoded.
class RtspUrl {
public:
    // Returns false (and leaves the object unspecified) when the text is not an rtsp:// address
    // with a host.
    bool Parse(const std::string& text);

    const std::string& Host() const { return m_host; }
    uint16_t Port() const { return m_port; }
    const std::string& User() const { return m_user; }
    const std::string& Password() const { return m_password; }
    bool HasCredentials() const { return m_hasCredentials; }
    // The address without credentials: what goes on the wire in request lines.
    const std::string& WithoutCredentials() const { return m_plain; }

    // Resolves a control attribute against a base address: "*" or empty gives the base, an
    // absolute rtsp:// address stays, a relative one is appended to the base with one "/" between.
    static std::string ResolveControl(const std::string& base, const std::string& control);
    static std::string PercentDecode(const std::string& text);

private:
    std::string m_host;
    uint16_t m_port = 554;
    std::string m_user;
    std::string m_password;
    bool m_hasCredentials = false;
    std::string m_plain;
};

}  // namespace Rtsp
}  // namespace RuvarEduzid
}  // namespace Halvora
