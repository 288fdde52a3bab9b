#include "Rtsp/SdpDescription.h"

#include "Common/StringUtility.h"

namespace Halvora {
namespace RuvarEduzid {
namespace Rtsp {

using Halvora::Common::StringUtility;

std::string SdpDescription::Parse(const std::string& text) {
    m_sessionLines.clear();
    m_sessionControl.clear();
    m_media.clear();
    size_t pos = 0;
    int lineCount = 0;
    bool sawVersion = false;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
        if (line.empty()) continue;
        if (++lineCount > 4096) return "SDP with more than 4096 lines";
        if (line.size() < 2 || line[1] != '=' || line[0] < 'a' || line[0] > 'z') continue;
        if (line[0] == 'v') sawVersion = true;
        if (line[0] == 'm') {
            if (m_media.size() >= 256) return "SDP with more than 256 media";
            Media media;
            size_t sp = line.find(' ', 2);
            media.type = StringUtility::ToLower(line.substr(2, sp == std::string::npos ? std::string::npos : sp - 2));
            media.lines.push_back(line);
            m_media.push_back(std::move(media));
            continue;
        }
        const bool isControl = line.compare(0, 10, "a=control:") == 0;
        if (m_media.empty()) {
            if (isControl) m_sessionControl = StringUtility::Trim(line.substr(10));
            else m_sessionLines.push_back(line);
        } else {
            if (isControl) m_media.back().control = StringUtility::Trim(line.substr(10));
            else m_media.back().lines.push_back(line);
        }
    }
    if (!sawVersion) return "SDP without a version line";
    if (m_media.empty()) return "SDP without media";
    return {};
}

int SdpDescription::FindMedia(const std::string& type) const {
    for (size_t i = 0; i < m_media.size(); ++i)
        if (m_media[i].type == type) return static_cast<int>(i);
    return -1;
}

int SdpDescription::PayloadType(int index) const {
    if (index < 0 || index >= static_cast<int>(m_media.size())) return -1;
    // m=<media> <port> <proto> <fmt> ...
    const std::string& line = m_media[index].lines.front();
    size_t at = 0;
    for (int field = 0; field < 3; ++field) {
        at = line.find(' ', at);
        if (at == std::string::npos) return -1;
        at = line.find_first_not_of(' ', at);
        if (at == std::string::npos) return -1;
    }
    int type = 0;
    size_t digits = 0;
    for (; at + digits < line.size() && line[at + digits] >= '0' && line[at + digits] <= '9' && digits < 4; ++digits)
        type = type * 10 + (line[at + digits] - '0');
    return digits > 0 && type <= 127 ? type : -1;
}

std::string SdpDescription::EncodingName(int index) const {
    if (index < 0 || index >= static_cast<int>(m_media.size())) return {};
    // FFmpeg's "sdp" demuxer takes the codec from the media's rtpmap line whatever payload type
    // number it names, so the first such line counts here too.
    const std::string prefix = "a=rtpmap:";
    for (const auto& line : m_media[index].lines) {
        if (line.compare(0, prefix.size(), prefix) != 0) continue;
        const size_t space = line.find(' ', prefix.size());
        if (space == std::string::npos) return {};
        std::string value = StringUtility::Trim(line.substr(space + 1));
        return value.substr(0, value.find_first_of("/ "));
    }
    return {};
}

std::string SdpDescription::SingleMediaSdp(int index) const {
    std::string out;
    bool hasConnection = false;
    for (const auto& line : m_sessionLines) {
        if (line[0] == 'c') hasConnection = true;
        out += line + "\r\n";
    }
    if (index < 0 || index >= static_cast<int>(m_media.size())) return out;
    for (const auto& line : m_media[index].lines)
        if (line[0] == 'c') hasConnection = true;
    if (!hasConnection) out += "c=IN IP4 0.0.0.0\r\n";
    for (const auto& line : m_media[index].lines) out += line + "\r\n";
    return out;
}

}  // namespace Rtsp
}  // namespace RuvarEduzid
}  // namespace Halvora
