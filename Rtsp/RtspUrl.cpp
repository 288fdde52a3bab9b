#include "Rtsp/RtspUrl.h"

#include <cctype>
#include <cstdlib>

namespace Halvora {
namespace RuvarEduzid {
namespace Rtsp {

namespace {
bool StartsWithNoCase(const std::string& text, const char* prefix) {
    size_t i = 0;
    for (; prefix[i]; ++i) {
        if (i >= text.size() || std::tolower(static_cast<unsigned char>(text[i])) != prefix[i])
            return false;
    }
    return true;
}
int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

std::string RtspUrl::PercentDecode(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            int hi = HexValue(text[i + 1]);
            int lo = HexValue(text[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out.push_back(static_cast<char>(hi * 16 + lo));
                i += 2;
                continue;
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

bool RtspUrl::Parse(const std::string& text) {
    if (!StartsWithNoCase(text, "rtsp://")) return false;
    const size_t authorityStart = 7;
    size_t authorityEnd = text.find_first_of("/?#", authorityStart);
    if (authorityEnd == std::string::npos) authorityEnd = text.size();
    std::string authority = text.substr(authorityStart, authorityEnd - authorityStart);
    std::string rest = text.substr(authorityEnd);

    m_hasCredentials = false;
    m_user.clear();
    m_password.clear();
    // The last '@' ends the credentials: passwords may hold an unescaped '@'.
    size_t at = authority.rfind('@');
    std::string hostPort = authority;
    if (at != std::string::npos) {
        std::string creds = authority.substr(0, at);
        hostPort = authority.substr(at + 1);
        size_t colon = creds.find(':');
        m_user = PercentDecode(creds.substr(0, colon));
        if (colon != std::string::npos) m_password = PercentDecode(creds.substr(colon + 1));
        m_hasCredentials = true;
    }
    m_port = 554;
    if (!hostPort.empty() && hostPort[0] == '[') {
        size_t close = hostPort.find(']');
        if (close == std::string::npos) return false;
        m_host = hostPort.substr(1, close - 1);
        std::string after = hostPort.substr(close + 1);
        if (!after.empty()) {
            if (after[0] != ':') return false;
            hostPort = after;  // ":port"
        } else {
            hostPort.clear();
        }
        if (!hostPort.empty()) {
            std::string port = hostPort.substr(1);
            if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
                return false;
            long value = std::strtol(port.c_str(), nullptr, 10);
            if (value < 1 || value > 65535) return false;
            m_port = static_cast<uint16_t>(value);
        }
    } else {
        size_t colon = hostPort.rfind(':');
        m_host = hostPort.substr(0, colon);
        if (colon != std::string::npos) {
            std::string port = hostPort.substr(colon + 1);
            if (!port.empty()) {
                if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return false;
                long value = std::strtol(port.c_str(), nullptr, 10);
                if (value < 1 || value > 65535) return false;
                m_port = static_cast<uint16_t>(value);
            }
        }
    }
    if (m_host.empty()) return false;
    m_plain = "rtsp://" + authority.substr(at == std::string::npos ? 0 : at + 1) + rest;
    return true;
}

std::string RtspUrl::ResolveControl(const std::string& base, const std::string& control) {
    if (control.empty() || control == "*") return base;
    if (StartsWithNoCase(control, "rtsp://")) return control;
    if (!base.empty() && base.back() == '/') return base + control;
    return base + "/" + control;
}

}  // namespace Rtsp
}  // namespace RuvarEduzid
}  // namespace Halvora
