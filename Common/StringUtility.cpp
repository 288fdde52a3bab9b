#include "Common/StringUtility.h"

#include <algorithm>
#include <cctype>

namespace Halvora {
namespace Common {

namespace {

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// "host", "host:554", "[::1]:554": what may follow the credentials.
bool IsHostAndPort(const std::string& text) {
    size_t portColon = std::string::npos;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos) return false;
        if (close + 1 < text.size()) {
            if (text[close + 1] != ':') return false;
            portColon = close + 1;
        }
    } else {
        if (text.empty() || text[0] == ':' || text.find_first_of("[]@") != std::string::npos) return false;
        portColon = text.find(':');
    }
    if (portColon == std::string::npos) return true;
    const std::string port = text.substr(portColon + 1);
    return port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos;
}

// Finds "scheme://" and the '@' ending the credentials; returns false when the address has none.
// Users type passwords as they are, '/', '?', '#', '@' and ':' included. Once "user:" comes before
// anything that would end the host, the password runs to the last '@' that a host (and port)
// follows, whatever lies between; a path holding '@' behind a port is then masked too: showing
// less is the safe side.
bool FindCredentials(const std::string& url, size_t& userStart, size_t& at, size_t& colon) {
    size_t scheme = url.find("://");
    userStart = scheme == std::string::npos ? 0 : scheme + 3;
    size_t hostEnd = url.find_first_of("/?#", userStart);
    if (hostEnd == std::string::npos) hostEnd = url.size();
    colon = url.find(':', userStart);
    if (colon < hostEnd && url.find('@', colon) != std::string::npos) {
        at = std::string::npos;
        for (size_t p = url.find('@', colon); p != std::string::npos; p = url.find('@', p + 1)) {
            const size_t end = url.find_first_of("/?#", p + 1);
            if (IsHostAndPort(url.substr(p + 1, end == std::string::npos ? std::string::npos : end - p - 1))) at = p;
        }
        // Nothing that looks like a host follows any '@': everything up to the last one is hidden.
        if (at == std::string::npos) at = url.rfind('@');
        return true;
    }
    at = url.rfind('@', hostEnd == 0 ? 0 : hostEnd - 1);
    if (at == std::string::npos || at < userStart || at >= hostEnd) return false;
    if (colon != std::string::npos && colon > at) colon = std::string::npos;
    return true;
}

}  // namespace

std::string StringUtility::WstringToString(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t wc : text) AppendUtf8(out, static_cast<char32_t>(wc));
    return out;
}

std::wstring StringUtility::StringToWstring(const std::string& text) {
    std::wstring out;
    out.reserve(text.size());
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    size_t n = text.size(), i = 0;
    while (i < n) {
        unsigned char c = s[i];
        char32_t cp;
        size_t len;
        if (c < 0x80) { cp = c; len = 1; }
        else if ((c & 0xE0) == 0xC0) { cp = c & 0x1F; len = 2; }
        else if ((c & 0xF0) == 0xE0) { cp = c & 0x0F; len = 3; }
        else if ((c & 0xF8) == 0xF0) { cp = c & 0x07; len = 4; }
        else { out.push_back(0xFFFD); ++i; continue; }
        if (i + len > n) { out.push_back(0xFFFD); break; }
        bool ok = true;
        for (size_t k = 1; k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) { ok = false; break; }
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        static const char32_t minimum[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (!ok || cp < minimum[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out.push_back(0xFFFD);
            i += ok ? len : 1;
            continue;
        }
        out.push_back(static_cast<wchar_t>(cp));
        i += len;
    }
    return out;
}

std::wstring StringUtility::CharPtrToWstring(const char* text) {
    return text ? StringToWstring(text) : std::wstring();
}

std::string StringUtility::HideRtspCreds(const std::string& url) {
    size_t userStart, at, colon;
    if (!FindCredentials(url, userStart, at, colon)) return url;
    return url.substr(0, userStart) + "***:***" + url.substr(at);
}

std::wstring StringUtility::HideRtspCreds(const std::wstring& url) {
    return StringToWstring(HideRtspCreds(WstringToString(url)));
}

std::string StringUtility::HideRtspPassword(const std::string& url) {
    size_t userStart, at, colon;
    if (!FindCredentials(url, userStart, at, colon)) return url;
    if (colon == std::string::npos) return url;  // user name only, no password to hide
    return url.substr(0, colon + 1) + "***" + url.substr(at);
}

std::wstring StringUtility::HideRtspPassword(const std::wstring& url) {
    return StringToWstring(HideRtspPassword(WstringToString(url)));
}

std::string StringUtility::ToLower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string StringUtility::Trim(const std::string& text) {
    size_t b = text.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return std::string();
    size_t e = text.find_last_not_of(" \t\r\n");
    return text.substr(b, e - b + 1);
}

}  // namespace Common
}  // namespace Halvora
